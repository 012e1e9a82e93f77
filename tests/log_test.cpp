// The sysop log: one whole line per entry, whatever the text holds.
#include "door_harness.h"
#include "log.h"

#include <gtest/gtest.h>

namespace {

TEST(Log, EveryEntryIsOneLine) {
    TempDir dir;
    {
        od::Log log;
        log.open(dir.file("door.log"), "door");
        ASSERT_TRUE(log.is_open());
        log.write("start: user " + od::log_value("Ann \"A\"\nB"), 0);
        log.write("refused: line 3 'x\r\ny'", 0);
    }
    std::string text = dir.read("door.log");
    std::string pid = std::to_string(::getpid());
    EXPECT_EQ(text, "1970-01-01T00:00:00Z door[" + pid + "]: start: user \"Ann 'A'?B\"\n" +
                        "1970-01-01T00:00:00Z door[" + pid + "]: refused: line 3 'x??y'\n");
    EXPECT_EQ(od::log_value("plain"), "plain");
    EXPECT_EQ(od::log_value(""), "\"\"");
}

} // namespace
