#include "output.h"

#include <gtest/gtest.h>

namespace {

std::string printed(bool ansi, const char* format, ...) {
    od::Output out(ansi);
    va_list args;
    va_start(args, format);
    out.vprintf(format, &args);
    va_end(args);
    return out.pending();
}

std::string printed_utf8(const std::string& charset, const char* format, ...) {
    od::Output out(true, charset);
    va_list args;
    va_start(args, format);
    out.vprintf(format, &args, true);
    va_end(args);
    return out.pending();
}

TEST(Printf, Utf8TextGoesOutInTheCallersSet) {
    const char* cafe = "caf\xc3\xa9 \xe2\x82\xac"; // café €
    EXPECT_EQ(printed_utf8("", "[%s]", cafe), "[caf\x82 ?]");
    EXPECT_EQ(printed_utf8("UTF-8", "[%s]", cafe), std::string("[") + cafe + "]");
    // The format is UTF-8 too, mark-up included; bytes that are no UTF-8 are '?'.
    EXPECT_EQ(printed_utf8("", "Zo\xc3\xab`bright red`!%s",
                           "a\xff"
                           "b"),
              "Zo\x89\x1b[0;1;31m!a?b");
    EXPECT_EQ(printed_utf8("UTF-8", "%s", "a\xc3\x28\xe2\x82"), "a?(?");
}

TEST(Colours, AllSixteenNamesInAnyCase) {
    const char* names[16] = {"black",      "blue",           "green",        "cyan",
                             "red",        "magenta",        "brown",        "grey",
                             "dark grey",  "bright blue",    "bright green", "bright cyan",
                             "bright red", "bright magenta", "yellow",       "bright white"};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(od::colour_by_name(names[i]).fg, i) << names[i];
        EXPECT_EQ(od::colour_by_name(names[i]).bg, 0);
    }
    EXPECT_EQ(od::colour_by_name("Bright CYAN").fg, 11);
    EXPECT_EQ(od::colour_by_name("yellow on blue").fg, 14);
    EXPECT_EQ(od::colour_by_name("yellow on blue").bg, 1);
    EXPECT_LT(od::colour_by_name("mauve").fg, 0);
    EXPECT_LT(od::colour_by_name("").fg, 0);
}

TEST(Colours, ShortestSgrForEachChange) {
    const od::Colour unknown{-1, -1};
    EXPECT_EQ(od::sgr_change(unknown, {7, 0}), "\x1b[m");
    EXPECT_EQ(od::sgr_change(unknown, {11, 0}), "\x1b[0;1;36m");
    EXPECT_EQ(od::sgr_change({7, 0}, {11, 0}), "\x1b[1;36m");
    EXPECT_EQ(od::sgr_change({11, 0}, {15, 0}), "\x1b[37m");
    EXPECT_EQ(od::sgr_change({9, 0}, {7, 0}), "\x1b[m"); // leaving bright needs a reset
    EXPECT_EQ(od::sgr_change({7, 0}, {3, 0}), "\x1b[36m");
    EXPECT_EQ(od::sgr_change({3, 0}, {12, 0}), "\x1b[1;31m");
    EXPECT_EQ(od::sgr_change({12, 0}, {3, 0}), "\x1b[0;36m");
    EXPECT_EQ(od::sgr_change({7, 0}, {7, 1}), "\x1b[44m");
    EXPECT_EQ(od::sgr_change({7, 0}, {7, 0}), "");
}

TEST(Markup, WorksInTheFormatOnly) {
    EXPECT_EQ(printed(true, "`bright cyan`Hi %s!", "`grey`x"), "\x1b[0;1;36mHi `grey`x!");
    EXPECT_EQ(printed(true, "a`grey`b`grey`c"), "a\x1b[mbc"); // no escape when nothing changes
    EXPECT_EQ(printed(true, "`mauve`x"), "`mauve`x");         // unknown: as typed
    EXPECT_EQ(printed(true, "it`s `cyan`ok"), "it`s \x1b[0;36mok");
    EXPECT_EQ(printed(true, "lone ` tick"), "lone ` tick");
    EXPECT_EQ(printed(false, "`bright red`No current.\n\r"), "No current.\n\r");
}

TEST(Markup, CallerWithoutAnsiGetsNoEscapeByte) {
    od::Output out(false);
    out.set_colour({9, 0});
    out.text("a\x1b[2Jb");
    out.clear_screen();
    EXPECT_EQ(out.pending().find('\x1b'), std::string::npos);
    EXPECT_EQ(out.pending(), "a[2Jb\r\f"); // column 1 after the clear, also where FF is LF
}

TEST(Printf, ConversionsFormatLikePrintf) {
    EXPECT_EQ(printed(false, "%d|%5d|%-3d|%03d", 7, 42, 1, 5), "7|   42|1  |005");
    EXPECT_EQ(printed(false, "%*d|%.*s", 4, 9, 2, "abcdef"), "   9|ab");
    EXPECT_EQ(printed(false, "%*d|%.*s|", -4, 9, -3, "abc"), "9   |abc|");
    EXPECT_EQ(printed(false, "[%*.*s]", -5, -1, "ab"), "[ab   ]");
    EXPECT_EQ(printed(false, "%ld %lld %u %x %c", 1L, 2LL, 3u, 255u, 'z'), "1 2 3 ff z");
    EXPECT_EQ(printed(false, "%.2f%%", 12.345), "12.35%");
    EXPECT_EQ(printed(false, "%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(printed(false, "%zu", static_cast<std::size_t>(12)), "12");
    std::string big(5000, 'q');
    EXPECT_EQ(printed(false, "[%s]", big.c_str()), "[" + big + "]");
}

TEST(Output, ByteFfIsNeverSent) {
    od::Output out(true);
    out.put(0xff);
    out.repeat(0xcd, 3);
    EXPECT_EQ(out.pending(), " \xcd\xcd\xcd");
}

} // namespace
