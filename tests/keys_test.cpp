#include "OpenDoor.h"
#include "charset.h"
#include "editor.h"
#include "keys.h"
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
    EXPECT_EQ(kinds("\xc3\xa9x"), "\x82x");      // é in UTF-8 is CP437's é
    EXPECT_EQ(kinds("\xe2\x94\x80x"), "\xc4x");  // a box-drawing character
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

namespace {

std::vector<od::Key> decode(const std::string& bytes, od::Charset charset = od::Charset::Utf8) {
    od::KeyDecoder decoder(charset);
    std::vector<od::Key> keys;
    for (char c : bytes) decoder.feed(static_cast<unsigned char>(c), keys);
    return keys;
}

TEST(KeyDecoder, EveryKeyCodeTerminalsSend) {
    const struct {
        const char* bytes;
        int code;
    } table[] = {
        {"\x1b[A", OD_KEY_UP},
        {"\x1bOA", OD_KEY_UP},
        {"\x1b[B", OD_KEY_DOWN},
        {"\x1bOB", OD_KEY_DOWN},
        {"\x1b[C", OD_KEY_RIGHT},
        {"\x1bOC", OD_KEY_RIGHT},
        {"\x1b[D", OD_KEY_LEFT},
        {"\x1bOD", OD_KEY_LEFT},
        {"\x1b[1;5C", OD_KEY_RIGHT},
        {"\x1b[1~", OD_KEY_HOME},
        {"\x1b[2~", OD_KEY_INSERT},
        {"\x1b[3~", OD_KEY_DELETE},
        {"\x1b[4~", OD_KEY_END},
        {"\x1b[5~", OD_KEY_PGUP},
        {"\x1b[6~", OD_KEY_PGDN},
        {"\x1b[7~", OD_KEY_HOME},
        {"\x1b[8~", OD_KEY_END},
        {"\x1b[H", OD_KEY_HOME},
        {"\x1b[F", OD_KEY_END},
        {"\x1bOH", OD_KEY_HOME},
        {"\x1bOF", OD_KEY_END},
        {"\x1b[K", OD_KEY_END},
        {"\x1b[V", OD_KEY_PGUP},
        {"\x1b[U", OD_KEY_PGDN},
        {"\x1b[@", OD_KEY_INSERT},
        {"\x1bOP", OD_KEY_F1},
        {"\x1bOQ", OD_KEY_F2},
        {"\x1bOR", OD_KEY_F3},
        {"\x1bOS", OD_KEY_F4},
        {"\x1b[11~", OD_KEY_F1},
        {"\x1b[14~", OD_KEY_F4},
        {"\x1b[15~", OD_KEY_F5},
        {"\x1b[17~", OD_KEY_F6},
        {"\x1b[21~", OD_KEY_F10},
        {"\x1b[23~", OD_KEY_F11},
        {"\x1b[24~", OD_KEY_F12},
        {"\x1b[[A", OD_KEY_F1},
        {"\x1b[[E", OD_KEY_F5},
        {"\x1b[15;2~", OD_KEY_F5},
        {"\x1bOM", '\r'},
        {"\r\n", '\r'},
        {"\n", '\r'},
        {"\x7f", 8},
        {"\b", 8},
        {"\t", 9},
        {"q", 'q'},
        {"\x15", 21},
        {"\xc3\xa9", 0x82},
        {"\xe2\x96\x88", 0xdb},
        {"\xc2\xa0", 0xff},
        {"\x1b[200~", 0},
        {"\xf0\x9f\x98\x80", 0},
        {"\xe2\x82\xac", 0},
        {"\x1b[1;2R", 0},
    };
    for (const auto& row : table) {
        auto keys = decode(row.bytes);
        ASSERT_EQ(keys.size(), 1u) << testing::PrintToString(std::string(row.bytes));
        EXPECT_EQ(keys[0].code, row.code) << testing::PrintToString(std::string(row.bytes));
    }
}

TEST(KeyDecoder, CharacterSetsAndCursorReports) {
    // A CP437 caller's upper half is already CP437: two bytes, two keys.
    auto keys = decode("\xc3\xa9", od::Charset::Cp437);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].code, 0xc3);
    EXPECT_EQ(keys[1].code, 0xa9);
    // A report of the cursor's place is no key, and the keys around it stay.
    od::KeyDecoder decoder;
    std::vector<od::Key> got;
    for (char c : std::string("a\x1b[50;132Rb")) decoder.feed(static_cast<unsigned char>(c), got);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].code, 'a');
    EXPECT_EQ(got[1].code, 'b');
    int row = 0, col = 0;
    EXPECT_TRUE(decoder.take_report(row, col));
    EXPECT_EQ(row, 50);
    EXPECT_EQ(col, 132);
    EXPECT_FALSE(decoder.take_report(row, col));
}

TEST(Charset, TheCp437TableAgreesWithIconv) {
    for (int b = 0x80; b < 0x100; ++b) {
        auto byte = static_cast<char>(b);
        std::string expected = od::convert(std::string_view(&byte, 1), "CP437", "UTF-8");
        char32_t ch = od::cp437_to_unicode(static_cast<unsigned char>(b));
        EXPECT_EQ(od::utf8(ch), expected) << "byte " << b;
        EXPECT_EQ(od::unicode_to_cp437(ch), b);
    }
}

} // namespace
