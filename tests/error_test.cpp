// The error reporter, with od_printf replaced by one that records the text.
#include "od_error.h"

#include <cstdarg>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace {
std::string printed;
}

extern "C" void od_printf(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    printed += text;
}

namespace {

std::string report(int kind, int line, const char* file) {
    printed.clear();
    Error(kind, line, file);
    return printed;
}

TEST(Error, EveryKindInTheTable) {
    EXPECT_EQ(report(1, 12, "x"), "Help not available\n\r");
    EXPECT_EQ(report(1, 0, nullptr), "Help not available\n\r");
    EXPECT_EQ(report(10, 42, "valedict.dat"), "ERROR (42): Cannot open: valedict.dat\n\r");
    EXPECT_EQ(report(20, 43, "valedict.dat"), "ERROR (43): Cannot close valedict.dat\n\r");
    EXPECT_EQ(report(30, 44, "valedict.dat"), "ERROR (44): Cannot read valedict.dat\n\r");
    EXPECT_EQ(report(40, 45, "valedict.dat"), "ERROR (45): Cannot write valedict.dat\n\r");
    EXPECT_EQ(report(50, 46, "valedict.dat"), "ERROR (46): Seek error in valedict.dat\n\r");
    EXPECT_EQ(report(60, 47, nullptr), "ERROR (47): Cannot allocate memory\n\r");
}

TEST(Error, KindsOutsideTheTableAreInvalidInstructions) {
    for (int kind : {0, 2, 9, 11, 61, -10, 1000})
        EXPECT_EQ(report(kind, 7, "ignored"), "ERROR (7): Invalid instruction\n\r") << kind;
}

} // namespace
