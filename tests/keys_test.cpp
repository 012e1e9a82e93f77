#include "OpenDoor.h"
#include "charset.h"
#include "editor.h"
#include "keys.h"
#include "output.h"
#include "screen.h"

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
        case Kind::Char:
            if (k.mods & OD_MOD_ALT) out += '@';
            out += static_cast<char>(k.byte);
            break;
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
    EXPECT_EQ(kinds("\x1bxa"), "@xa");        // an Escape glued to a letter: Alt with it
    EXPECT_EQ(kinds("\x1b\x1b[Ax"), "~x");    // Alt with an Escape prefix: one key
    EXPECT_EQ(kinds("\x1b\x1bx"), "^@x");     // Escape, then Alt with a letter
    EXPECT_EQ(kinds("\x1b\tx"), "^\tx");      // an Escape glued to a control: both kept
    EXPECT_EQ(kinds("\x1b[12\r"), "|");       // a cut sequence gives up at a control byte
}

TEST(KeyDecoder, AnEscapeAloneIsAKeyAndLeavesWhatFollows) {
    od::KeyDecoder decoder;
    std::vector<od::Key> keys;
    decoder.feed(0x1b, keys);
    EXPECT_TRUE(decoder.holds_partial());
    EXPECT_TRUE(keys.empty());
    decoder.give_up(keys); // nothing came after it in time
    for (char c : std::string("[xy")) decoder.feed(static_cast<unsigned char>(c), keys);
    std::string got;
    for (const auto& k : keys) got += k.kind == Kind::Escape ? '^' : static_cast<char>(k.byte);
    EXPECT_EQ(got, "^[xy");
    // Split across reads, a sequence that continues in time is still one key.
    keys.clear();
    decoder.feed(0x1b, keys);
    decoder.feed('[', keys);
    EXPECT_TRUE(decoder.holds_partial());
    decoder.feed('A', keys);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].kind, Kind::Other);
}

TEST(KeyDecoder, BackspaceAndDeleteAndUtf8) {
    EXPECT_EQ(kinds("a\x7f"
                    "b\b"),
              "a<b<");
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
    constexpr int shift = OD_MOD_SHIFT, alt = OD_MOD_ALT, ctrl = OD_MOD_CTRL;
    const struct {
        const char* bytes;
        int code;
        int mods = 0;
    } table[] = {
        {"\x1b[A", OD_KEY_UP},
        {"\x1bOA", OD_KEY_UP},
        {"\x1b[B", OD_KEY_DOWN},
        {"\x1bOB", OD_KEY_DOWN},
        {"\x1b[C", OD_KEY_RIGHT},
        {"\x1bOC", OD_KEY_RIGHT},
        {"\x1b[D", OD_KEY_LEFT},
        {"\x1bOD", OD_KEY_LEFT},
        {"\x1b[1;5C", OD_KEY_RIGHT, ctrl},        // xterm 379: Ctrl-Right
        {"\x1b[1;3D", OD_KEY_LEFT, alt},          // Alt-Left
        {"\x1b[1;2A", OD_KEY_UP, shift},          // Shift-Up
        {"\x1b[1;6H", OD_KEY_HOME, shift | ctrl}, // Ctrl-Shift-Home
        {"\x1b[1;5F", OD_KEY_END, ctrl},          // Ctrl-End
        {"\x1b[3;5~", OD_KEY_DELETE, ctrl},       // Ctrl-Delete
        {"\x1b[1;9D", OD_KEY_LEFT, alt},          // Meta-Left counts as Alt
        {"\x1b\x1b[A", OD_KEY_UP, alt},           // urxvt 9.30 and PuTTY 0.78: Alt-Up
        {"\x1b\x1b[B", OD_KEY_DOWN, alt},
        {"\x1b\x1b[C", OD_KEY_RIGHT, alt},
        {"\x1b\x1b[D", OD_KEY_LEFT, alt},
        {"\x1b\x1bOA", OD_KEY_UP, alt}, // in application cursor mode
        {"\x1b\x1bOD", OD_KEY_LEFT, alt},
        {"\x1b\x1b[7~", OD_KEY_HOME, alt}, // urxvt: Alt-Home, Alt-End
        {"\x1b\x1b[8~", OD_KEY_END, alt},
        {"\x1b\x1b[a", OD_KEY_UP, alt | shift}, // urxvt: Alt-Shift-Up
        {"\x1b\x1b[3~", OD_KEY_DELETE, alt},
        {"\x1b[J", OD_KEY_END, ctrl},      // st 0.9: Ctrl-End
        {"\x1b[2J", OD_KEY_HOME, shift},   // Shift-Home
        {"\x1b[2K", OD_KEY_DELETE, shift}, // Shift-Delete
        {"\x1b[M", OD_KEY_DELETE, ctrl},   // Ctrl-Delete
        {"\x1b[L", OD_KEY_INSERT, ctrl},   // Ctrl-Insert
        {"\x1b[4l", OD_KEY_INSERT, shift}, // Shift-Insert
        {"\x1b[1J", 0},
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
        {"\x1b[K", OD_KEY_END, shift}, // st 0.9: Shift-End (a CTerm's End, below)
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
        {"\x1b[15;2~", OD_KEY_F5, shift},
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
        {"\x1b[1;2R", OD_KEY_F3, shift}, // Shift-F3, not a report from the top row
        {"\x1b[1;2P", OD_KEY_F1, shift},
        {"\x1b[1;5Q", OD_KEY_F2, ctrl},
        {"\x1b[1;2S", OD_KEY_F4, shift},
        {"\x1bO2P", OD_KEY_F1, shift},
        {"\x1b[4h", OD_KEY_INSERT}, // st
        {"\x1b[P", OD_KEY_DELETE},
        {"\x1b[Z", OD_KEY_SHIFT_TAB},
        {"\x1b[a", OD_KEY_UP, shift}, // rxvt's Shift and Ctrl arrows
        {"\x1b[b", OD_KEY_DOWN, shift},
        {"\x1b[c", OD_KEY_RIGHT, shift},
        {"\x1b[d", OD_KEY_LEFT, shift},
        {"\x1bOa", OD_KEY_UP, ctrl},
        {"\x1bOb", OD_KEY_DOWN, ctrl},
        {"\x1bOc", OD_KEY_RIGHT, ctrl},
        {"\x1bOd", OD_KEY_LEFT, ctrl},
        {"\x1b[7$", OD_KEY_HOME, shift},
        {"\x1b[8^", OD_KEY_END, ctrl},
        {"\x1b[15^", OD_KEY_F5, ctrl},
        {"\x1b[3@", OD_KEY_DELETE, shift | ctrl},
        {"\x1b[5;5~", OD_KEY_PGUP, ctrl},
        {"\x1b[10015~", 0}, // no number wraps round to a key
        {"\x1bOp", '0'},    // the application keypad
        {"\x1bOq", '1'},
        {"\x1bOu", '5'},
        {"\x1bOy", '9'},
        {"\x1bOn", '.'},
        {"\x1bOj", '*'},
        {"\x1bOk", '+'},
        {"\x1bOm", '-'},
        {"\x1bOo", '/'},
        {"\x1bOX", '='},
        {"\x1bOl", ','},
        // Alt with a printable key as urxvt 9.30, st 0.9, PuTTY 0.78, kitty
        // 0.26, tmux 3.3a and xfce4-terminal 1.0 (menu bar hidden) send it.
        {"\x1b"
         "a",
         'a', alt},
        {"\x1b"
         "c",
         'c', alt},
        {"\x1bZ", 'Z', alt}, // Alt-Shift-z
        {"\x1b"
         "7",
         '7', alt},
        {"\x1b ", ' ', alt},
        {"\x1b~", '~', alt},
    };
    for (const auto& row : table) {
        auto keys = decode(row.bytes);
        ASSERT_EQ(keys.size(), 1u) << testing::PrintToString(std::string(row.bytes));
        EXPECT_EQ(keys[0].code, row.code) << testing::PrintToString(std::string(row.bytes));
        EXPECT_EQ(keys[0].mods, row.mods) << testing::PrintToString(std::string(row.bytes));
    }
}

// Each key as its code, '^' for Escape, '~' for a key without a code, '<'
// for Backspace; `gaps` gives the decoder up between the reads, as the
// session does when nothing more comes in time.
std::string codes(const std::vector<std::string>& reads, od::KeyDecoder decoder = od::KeyDecoder(),
                  bool gaps = true) {
    std::vector<od::Key> keys;
    for (const auto& read : reads) {
        for (char c : read) decoder.feed(static_cast<unsigned char>(c), keys);
        if (gaps && decoder.holds_partial()) decoder.give_up(keys);
    }
    std::string out;
    for (const auto& k : keys) {
        if (k.kind == Kind::Char && (k.mods & OD_MOD_ALT)) out += '@';
        out += k.kind == Kind::Escape      ? '^'
               : k.kind == Kind::Backspace ? '<'
               : k.code == 0               ? '~'
               : k.code == OD_KEY_DELETE   ? 'D'
               : k.code > 255              ? '#'
                                           : static_cast<char>(k.code);
    }
    return out;
}

TEST(KeyDecoder, ASequenceCutByAGapIsGivenUpAsItsKeys) {
    const struct {
        std::vector<std::string> reads;
        const char* keys;
    } table[] = {
        {{"\x1b[", "x"}, "@[x"}, // Alt-[ alone in its read
        {{"\x1b[1", "hello"}, "^[1hello"},
        {{"\x1b", "[A"}, "^[A"},
        {{"\x1b", "a"}, "^a"}, // Escape, then a letter after a pause
        {{"\x1b"
          "a"},
         "@a"},                  // Alt-a in one read
        {{"\x1bO", "A"}, "@OA"}, // Alt-Shift-o
        {{"\x1b[[", "A"}, "^[[A"},
        {{"\x1b[?", "1"}, "^[?1"},
        {{"\x1b[" + std::string(40, '1'), "x"}, "~x"}, // too long to give back
        {{"\xe2\x94", "x"}, "~x"},                     // half a UTF-8 character
        {{"a\x1b[1;5", "C"}, "a^[1;5C"},
        {{"\x1b\x1b", "[A"}, "^^[A"}, // Escape pressed twice, then typed text
        {{"\x1b\x1b[", "A"}, "^@[A"},
        {{"\x1b\x1bx"}, "^@x"},     // Escape, then Alt-x
        {{"\x1b\x1b\x1b[A"}, "^#"}, // an Escape, then Alt-Up
        {{"\x1b\x1bOp"}, "^0"},     // only cursor and editing keys take Alt
        {{"\x1b\x1b[?1;2c"}, "^"},  // nor is a terminal's answer a key
        {{"\x1b\x1b[1\r"}, "^\r"},  // a sequence cut short keeps the Escape
    };
    for (const auto& row : table)
        EXPECT_EQ(codes(row.reads), row.keys) << testing::PrintToString(row.reads);
    // With no gap between the reads, each is one key as before.
    EXPECT_EQ(codes({"\x1b", "[", "1", ";5", "C", "\x1bO", "P"}, od::KeyDecoder(), false), "##");
    EXPECT_EQ(codes({"\xe2", "\x94", "\x80"}, od::KeyDecoder(), false), "\xc4");
}

TEST(KeyDecoder, DeleteOrBackspaceFor0x7fDependsOnTheCaller) {
    const struct {
        const char* bytes;
        const char* keys;
        bool answered;
    } table[] = {
        {"\x7f", "<", false},               // xterm, PuTTY
        {"ab\bc\x7f\x7f", "ab<c<<", false}, // Ctrl-H on xterm leaves its Backspace alone
        {"\x1b[=67;84;101;114;109;1;19c\x7f", "D", true},         // SyncTERM's answer
        {"\x1b[=67;84;101;114;109;1;19c\b\x7f\x7f", "<DD", true}, // and its Backspace
        {"\x1b[?1;2c\x7f", "<", true},                            // an xterm-like answer
        {"\x1b[?62;22c\b\x7f", "<<", true},                       // it decides over Ctrl-H
        {"\x1b[>0;95;0c\x7f", "<", true},
    };
    for (const auto& row : table) {
        od::KeyDecoder decoder;
        std::vector<od::Key> keys;
        for (const char* b = row.bytes; *b; ++b) decoder.feed(static_cast<unsigned char>(*b), keys);
        EXPECT_EQ(decoder.take_attributes(), row.answered) << row.bytes;
        EXPECT_FALSE(decoder.take_attributes());
        EXPECT_EQ(codes({row.bytes}), row.keys) << testing::PrintToString(std::string(row.bytes));
    }
    // SyncTERM's End is ESC [ K, which is Shift-End from st.
    auto end = decode("\x1b[=67;84;101;114;109;1;19c\x1b[K");
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0].code, OD_KEY_END);
    EXPECT_EQ(end[0].mods, 0);
    // SyncTERM's Delete is a Delete key, not a Backspace, to the editors.
    auto keys = decode("\x1b[=67;84;101;114;109;1;19c\b\x7f");
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[1].kind, Kind::Other);
    EXPECT_EQ(keys[1].code, OD_KEY_DELETE);
}

TEST(KeyDecoder, CtrlArrowsAsPuttySendsThemOnceCursorKeysAreNormal) {
    od::KeyDecoder decoder;
    decoder.set_cursor_normal(true);
    const struct {
        const char* bytes;
        int code, mods;
    } table[] = {
        {"\x1bOA", OD_KEY_UP, OD_MOD_CTRL}, // PuTTY 0.78: Ctrl-Up
        {"\x1bOD", OD_KEY_LEFT, OD_MOD_CTRL},
        {"\x1b[A", OD_KEY_UP, 0}, // its plain Up
        {"\x1b[1;5D", OD_KEY_LEFT, OD_MOD_CTRL},
        {"\x1bOH", OD_KEY_HOME, 0},
        {"\x1bOP", OD_KEY_F1, 0},
        {"\x1b\x1bOA", OD_KEY_UP, OD_MOD_CTRL | OD_MOD_ALT},
    };
    for (const auto& row : table) {
        std::vector<od::Key> keys;
        for (const char* b = row.bytes; *b; ++b) decoder.feed(static_cast<unsigned char>(*b), keys);
        ASSERT_EQ(keys.size(), 1u) << testing::PrintToString(std::string(row.bytes));
        EXPECT_EQ(keys[0].code, row.code) << testing::PrintToString(std::string(row.bytes));
        EXPECT_EQ(keys[0].mods, row.mods) << testing::PrintToString(std::string(row.bytes));
    }
}

TEST(KeyDecoder, InvalidUtf8GivesNoKeyWithACode) {
    for (const std::string bytes : {"\xc0\x81", "\xe0\x83\x87", "\xf0\x80\x83\x87", "\xed\xa0\x80",
                                    "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xc3\xc3"}) {
        std::string got = codes({bytes + "x"});
        EXPECT_EQ(got.back(), 'x') << testing::PrintToString(bytes);
        EXPECT_EQ(got.find_first_not_of('~'), got.size() - 1) << testing::PrintToString(bytes);
    }
    EXPECT_EQ(codes({"\xf4\x8f\xbf\xbf\xed\x9f\xbf"}),
              "~~"); // the highest are fine, without CP437 form
}

TEST(KeyDecoder, Utf8TypedToACp437Door) {
    od::KeyDecoder cp437(od::Charset::Cp437);
    const struct {
        std::vector<std::string> reads;
        const char* keys;
    } table[] = {
        {{"\xc3\xa9"}, "\x82"},             // é typed in UTF-8 is one é
        {{"\x82"}, "\x82"},                 // é sent in CP437 stays é
        {{"\xe2\x94\x80x"}, "\xc4x"},       // a box-drawing character
        {{"\xe2\x82\xac"}, "~"},            // €: one key, dropped
        {{"\xf0\x9f\x98\x80!"}, "~!"},      // an emoji
        {{"\xc3x"}, "\xc3x"},               // CP437's ├ before a letter
        {{"\xc3\xc3\xa9"}, "\xc3\x82"},     // ├ then é
        {{"\xe0\x83\x87"}, "\xe0\x83\x87"}, // overlong: three CP437 characters
        {{"\xed\xa0\x80"}, "\xed\xa0\x80"}, // a surrogate, likewise
        {{"\xc3", "\xa9"}, "\xc3\xa9"},     // a gap after the lead: two CP437 keys
        {{"\xe2\x94", "\x80"}, "\xe2\x94\x80"},
    };
    for (const auto& row : table)
        EXPECT_EQ(codes(row.reads, cp437), row.keys) << testing::PrintToString(row.reads);
    // Split across reads with no gap, still one character.
    EXPECT_EQ(codes({"\xc3", "\xa9"}, cp437, false), "\x82");
}

TEST(KeyDecoder, EightBitCallersTypeInTheirOwnSet) {
    EXPECT_EQ(codes({"caf\xe9 \xfc\xe7\xc9"}, od::KeyDecoder("ISO-8859-1")),
              "caf\x82 \x81\x87\x90");
    EXPECT_EQ(codes({"\xa4\xb1"}, od::KeyDecoder("ISO-8859-1")), "~\xf1"); // ¤ has no CP437 form
    EXPECT_EQ(codes({"\xa4"}, od::KeyDecoder("ISO-8859-15")), "~");        // nor has €
    EXPECT_EQ(codes({"\xc4\xd1\xc3\xa9"}, od::KeyDecoder("ISO-8859-1")), "\x8e\xa5~~"); // Ä Ñ Ã ©
    EXPECT_EQ(codes({"\x82"}, od::KeyDecoder("no-such-charset")), "\x82"); // CP437, as the output
    // A probe that finds a UTF-8 terminal switches the input too.
    od::KeyDecoder decoder("");
    EXPECT_EQ(codes({"\x82"}, decoder), "\x82");
    decoder.set_charset("UTF-8");
    EXPECT_EQ(codes({"\x82\xc3\xa9"}, decoder), "~\x82");
}

TEST(KeyDecoder, LongSequencesStayBounded) {
    // Parameters and separators saturate; the sequence is one key.
    EXPECT_EQ(codes({"\x1b[" + std::string(1000000, ';') + "5~x"}), "~x");
    EXPECT_EQ(codes({"\x1b[" + std::string(100000, '9') + "~x"}), "~x");
    EXPECT_EQ(codes({"\x1b[1" + std::string(20, ';') + "5C"}), "#");
}

TEST(KeyDecoder, CharacterSetsAndCursorReports) {
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
    // A probe's reports come in order, the top row's too while they are
    // expected, and only a few are kept.
    decoder.expect_reports(2);
    got.clear();
    for (char c : std::string("\x1b[1;5R\x1b[1;6R\x1b[1;2R\x1b[3;4R\x1b[5;6R\x1b[7;8R\x1b[9;9R"))
        decoder.feed(static_cast<unsigned char>(c), got);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].code, OD_KEY_F3);
    EXPECT_EQ(decoder.reports(), 4);
    for (int want : {5, 6, 4, 6}) {
        ASSERT_TRUE(decoder.take_report(row, col));
        EXPECT_EQ(col, want);
    }
    EXPECT_FALSE(decoder.take_report(row, col));
    // A report with modifier 1, which no key has, is never a key; nor is a
    // late answer to a probe that gave up waiting.
    got.clear();
    for (char c : std::string("\x1b[1;1R")) decoder.feed(static_cast<unsigned char>(c), got);
    EXPECT_TRUE(got.empty());
    decoder.drop_reports();
    decoder.expect_reports(3);
    got.clear();
    for (char c : std::string("\x1b[24;80R.")) decoder.feed(static_cast<unsigned char>(c), got);
    decoder.drop_reports(); // the probe ends here with two answers outstanding
    for (char c : std::string("\x1b[1;1R\x1b[1;2R\x1b[1;2R"))
        decoder.feed(static_cast<unsigned char>(c), got);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].code, '.');
    EXPECT_EQ(got[1].code, OD_KEY_F3); // the answers are in: Shift-F3 again
}

TEST(Screen, Utf8IsDecidedFromWhereTheCursorWent) {
    EXPECT_EQ(od::speaks_utf8(5, 6, 80), true);
    EXPECT_EQ(od::speaks_utf8(1, 2, 80), true);
    EXPECT_EQ(od::speaks_utf8(5, 7, 80), false);
    EXPECT_EQ(od::speaks_utf8(78, 79, 80), true);
    EXPECT_EQ(od::speaks_utf8(79, 80, 80), std::nullopt); // two cells, the second at the margin
    EXPECT_EQ(od::speaks_utf8(80, 80, 80), std::nullopt);
    EXPECT_EQ(od::speaks_utf8(80, 2, 80), std::nullopt); // wrapped
    EXPECT_EQ(od::speaks_utf8(5, 9, 80), std::nullopt);
    EXPECT_EQ(od::speaks_utf8(0, 1, 80), std::nullopt);
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
