#include "input.h"
#include "output.h"

#include <gtest/gtest.h>

namespace {

using Kind = od::Key::Kind;

// Feeds the bytes one at a time, as the slowest link would deliver them.
std::vector<od::Key> keys_of(const std::string& bytes) {
    od::KeyDecoder decoder;
    std::vector<od::Key> keys;
    for (char c : bytes) decoder.feed(static_cast<unsigned char>(c), keys);
    return keys;
}

std::string kinds(const std::string& bytes) {
    std::string out;
    for (const auto& k : keys_of(bytes)) {
        switch (k.kind) {
        case Kind::Char: out += static_cast<char>(k.byte); break;
        case Kind::Enter: out += '|'; break;
        case Kind::Backspace: out += '<'; break;
        case Kind::Escape: out += '^'; break;
        case Kind::Other: out += '~'; break;
        }
    }
    return out;
}

TEST(KeyDecoder, EveryFormOfEnterIsOnePress) {
    EXPECT_EQ(kinds("a\rb"), "a|b");
    EXPECT_EQ(kinds("a\nb"), "a|b");
    EXPECT_EQ(kinds("a\r\nb"), "a|b");
    EXPECT_EQ(std::string(1, '\0'), std::string(1, '\0'));
    EXPECT_EQ(kinds(std::string("a\r\0b", 4)), "a|b");
    EXPECT_EQ(kinds(std::string("a\n\0b", 4)), "a|b");
    EXPECT_EQ(kinds("\n\n"), "||"); // a pasted blank line is two presses
    EXPECT_EQ(kinds("\r\r"), "||");
    EXPECT_EQ(kinds("\n\r"), "||");
    EXPECT_EQ(kinds("\r\n\r\n"), "||");
}

TEST(KeyDecoder, EnterSplitAcrossReadsCountsOnce) {
    od::KeyDecoder decoder;
    std::vector<od::Key> first, second;
    decoder.feed('\r', first);
    decoder.feed('\n', second); // the next read
    EXPECT_EQ(first.size(), 1u);
    EXPECT_TRUE(second.empty());
}

TEST(KeyDecoder, EscapeSequencesAreSwallowedWhole) {
    EXPECT_EQ(kinds("\x1b[Aa"), "~a");        // cursor up
    EXPECT_EQ(kinds("\x1b[1;5Ca"), "~a");     // ctrl-right
    EXPECT_EQ(kinds("\x1b[15~a"), "~a");      // F5
    EXPECT_EQ(kinds("\x1bOPa"), "~a");        // F1 (SS3)
    EXPECT_EQ(kinds("\x1b[[Aa"), "~a");       // F1 on the Linux console
    EXPECT_EQ(kinds("\x1b[H\x1b[Fa"), "~~a"); // Home, End
    EXPECT_EQ(kinds("\x1bxa"), "^xa");        // an Escape glued to a key: both kept
    EXPECT_EQ(kinds("\x1b\x1b[Ax"), "^~x");   // Escape, then an arrow
    EXPECT_EQ(kinds("\x1b[12\r"), "|");       // a cut sequence gives up at a control byte
}

TEST(KeyDecoder, AnEscapeAloneIsAKeyAndLeavesWhatFollows) {
    od::KeyDecoder decoder;
    std::vector<od::Key> keys;
    decoder.feed(0x1b, keys);
    EXPECT_TRUE(decoder.holds_escape());
    EXPECT_TRUE(keys.empty());
    decoder.escape_alone(keys); // nothing came after it in time
    for (char c : std::string("[xy")) decoder.feed(static_cast<unsigned char>(c), keys);
    std::string got;
    for (const auto& k : keys) got += k.kind == Kind::Escape ? '^' : static_cast<char>(k.byte);
    EXPECT_EQ(got, "^[xy");
    // Split across reads, a sequence that continues in time is still one key.
    keys.clear();
    decoder.feed(0x1b, keys);
    decoder.feed('[', keys);
    EXPECT_FALSE(decoder.holds_escape());
    decoder.escape_alone(keys);
    decoder.feed('A', keys);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].kind, Kind::Other);
}

TEST(KeyDecoder, BackspaceAndDeleteAndUtf8) {
    EXPECT_EQ(kinds("a\bb\x7f"), "a<b<");
    EXPECT_EQ(kinds("\xc3\xa9x"), "~x");         // é in UTF-8 is one key
    EXPECT_EQ(kinds("\xe2\x94\x80x"), "~x");     // a box-drawing character
    EXPECT_EQ(kinds("\xf0\x9f\x98\x80x"), "~x"); // an emoji
    EXPECT_EQ(kinds("\xe2x"), "~x");             // a cut sequence keeps the key after it
}

struct Edited {
    std::string line;
    std::string echo;
    bool done;
};

Edited edit(const std::string& bytes, int max_len = 69, int min_code = 32, int max_code = 127) {
    od::LineEditor editor(max_len, min_code, max_code);
    od::Output echo(true);
    bool done = false;
    for (const auto& key : keys_of(bytes))
        if (!done) done = editor.apply(key, echo);
    return {editor.line(), echo.pending(), done};
}

TEST(LineEditor, StoresOnlyCodesInRangeUpToTheCount) {
    auto e = edit("hi there\r");
    EXPECT_EQ(e.line, "hi there");
    EXPECT_EQ(e.echo, "hi there\n\r");
    EXPECT_TRUE(e.done);
    EXPECT_EQ(edit("a\tb\x01\x1b[Dc\xc3\xa9\r").line, "abc");
    EXPECT_EQ(edit(std::string(100, 'x') + "\r").line, std::string(69, 'x'));
    EXPECT_EQ(edit(std::string(100, 'x') + "\r").echo, std::string(69, 'x') + "\n\r");
    EXPECT_EQ(edit("abc\r", 2).line, "ab");
    EXPECT_EQ(edit("aZz\r", 10, 'a', 'z').line, "az");
    EXPECT_FALSE(edit("abc").done);
}

TEST(LineEditor, BackspaceAsEightOrDeleteErases) {
    auto e = edit("abc\x7f\x7f"
                  "d\bX\r");
    EXPECT_EQ(e.line, "aX");
    EXPECT_EQ(e.echo, "abc\b \b\b \bd\b \bX\n\r");
    auto empty = edit("\x7f\b\r");
    EXPECT_EQ(empty.line, "");
    EXPECT_EQ(empty.echo, "\n\r"); // nothing to erase, nothing echoed
    // 127 is never stored, even when the range takes it in.
    EXPECT_EQ(edit("a\x7f\r", 69, 32, 127).line, "");
}

} // namespace
