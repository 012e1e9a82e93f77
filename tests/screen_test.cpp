#include "door_harness.h"
#include "screen.h"

#include <gtest/gtest.h>

namespace {

TEST(Screen, OnlyAKnownWindowOfAnotherSizeChangesIt) {
    struct Case {
        od::Size in_use, link;
        bool changes;
    };
    const Case cases[] = {
        {{25, 80}, {30, 100}, true}, // a new window
        {{25, 80}, {25, 100}, true}, // one side is enough
        {{25, 80}, {25, 80}, false}, // SIGWINCH or NAWS again with the same size
        {{25, 80}, {0, 0}, false},   // a window the link cannot tell keeps a probed size
        {{25, 80}, {30, 0}, false},
    };
    for (const auto& c : cases) {
        auto size = od::changed_size(c.in_use, c.link);
        EXPECT_EQ(size.has_value(), c.changes) << c.link.rows << "x" << c.link.cols;
        if (size) {
            EXPECT_EQ(size->rows, c.link.rows);
            EXPECT_EQ(size->cols, c.link.cols);
        }
    }
}

TEST(Screen, TheProbesPutTheCursorBackWhereItWas) {
    // libvterm, like xterm with side margins on, takes CSI s as a margin
    // setting that homes the cursor: the saves and restores nest around it.
    ::Screen screen(25, 80, false);
    screen.feed("\x1b[3;5Habc");
    screen.feed(od::probe_sequence);
    screen.feed(od::utf8_probe_sequence);
    EXPECT_EQ(screen.cursor_row(), 2);
    EXPECT_EQ(screen.cursor_col(), 7);
    EXPECT_EQ(screen.row(2), "    abc"); // what the probe drew is blank again
    EXPECT_NE(screen.take_replies().find("R"), std::string::npos);
}

} // namespace
