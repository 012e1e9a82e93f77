// The field editor's state machine, with what it writes shown on a real
// terminal emulator.
#include "OpenDoor.h"
#include "door_harness.h"
#include "editor.h"
#include "output.h"

#include <gtest/gtest.h>

namespace {

struct Field {
    std::string text;
    std::size_t cursor;
    int ended;
    std::string screen; // the screen's first row
    int col;            // where the terminal's cursor is
    std::string next;   // the second row
    int row;            // the cursor's row
};

// "<" Left, ">" Right, "H" Home, "E" End, "I" Insert, "X" Delete, "U" Up,
// "T" Shift-Tab; anything else is sent as it is. The field goes where
// `before` leaves the cursor, on a screen `cols` wide, sized as od_edit does.
Field edit(const std::string& start, int max_len, od::FieldEditor::Style style,
           const std::string& script, bool ansi = true, const std::string& before = "\r> ",
           int cols = 40) {
    od::Output out(ansi);
    out.text(before);
    if (int col = out.column(cols); col >= 0) style.room = cols - col;
    od::FieldEditor editor(start, max_len, style, ansi);
    editor.draw(out);
    od::KeyDecoder decoder;
    std::vector<od::Key> keys;
    for (char c : script) {
        const char* bytes = c == '<'   ? "\x1b[D"
                            : c == '>' ? "\x1b[C"
                            : c == 'H' ? "\x1b[H"
                            : c == 'E' ? "\x1bOF"
                            : c == 'I' ? "\x1b[2~"
                            : c == 'X' ? "\x1b[3~"
                            : c == 'U' ? "\x1b[A"
                                       : nullptr;
        std::string one = bytes ? bytes : std::string(1, c);
        if (c == 'T')
            keys.push_back(od::Key{od::Key::Other, 0, OD_KEY_SHIFT_TAB});
        else
            for (char b : one) decoder.feed(static_cast<unsigned char>(b), keys);
    }
    if (decoder.holds_partial()) decoder.give_up(keys); // nothing more comes
    int ended = 0;
    for (const auto& key : keys)
        if (!ended) ended = editor.apply(key, out);
    Screen screen(5, cols);
    screen.feed(out.pending());
    return {editor.text(), editor.cursor(),    ended, screen.row(0), screen.cursor_col(),
            screen.row(1), screen.cursor_row()};
}

TEST(FieldEditor, EditsWhereTheCursorIs) {
    const struct {
        const char* start;
        const char* script;
        const char* text;
        std::size_t cursor;
        int ended;
        const char* screen;
    } table[] = {
        {"", "abc\r", "abc", 3, '\r', "> abc"},
        {"hello", "<<X\r", "helo", 4, '\r', "> helo"},
        {"hello", "H\x05!\r", "hello!", 6, '\r', "> hello!"},         // Ctrl-E
        {"hello", "\x01>y\t", "hyello", 6, '\t', "> hyello"},         // Ctrl-A, Tab ends
        {"hello", "<<\b\bU", "hlo", 3, OD_KEY_UP, "> hlo"},           // Backspace twice
        {"hello", "H\x04\x04\x1b[B", "llo", 3, OD_KEY_DOWN, "> llo"}, // Ctrl-D
        {"hello", "HIJ>Y\r", "JeYlo", 5, '\r', "> JeYlo"},            // overwrite
        {"hello", "\x15new\r", "new", 3, '\r', "> new"},              // Ctrl-U
        {"hello", "xyz\x1b\x1b", "hello", 5, 27, "> hello"},          // Escape: the start again
        {"hello", "<<T", "hello", 5, OD_KEY_SHIFT_TAB, "> hello"},    // Shift-Tab ends
        {"abcdef", "gh\r", "abcdef", 6, '\r', "> abcdef"},            // full: nothing more goes in
        {"",
         "ab\x1b"
         "c\r",
         "abc", 3, '\r', "> abc"},                                   // Alt-c types c
        {"star", "xy\x1b\x1b[D\r", "starxy", 6, '\r', "> starxy"},   // urxvt's Alt-Left moves
        {"star", "x\x1b\x1bOD!\r", "star!x", 6, '\r', "> star!x"},   // and in application mode
        {"ab cd", "\x1b[1;5D!\r", "ab !cd", 6, '\r', "> ab !cd"},    // Ctrl-Left: a word back
        {"ab cd", "\x1bOd\x1bOd!\r", "!ab cd", 6, '\r', "> !ab cd"}, // urxvt's, to the start
        {"ab cd", "H\x1b[1;5C!\r", "ab! cd", 6, '\r', "> ab! cd"},   // Ctrl-Right: the word's end
        {"a  bc", "H\x1b[1;5C\x1b[1;5C!\r", "a  bc!", 6, '\r', "> a  bc!"},
        {"",
         "a\x01\x7f\x05\x7f"
         "b\r",
         "b", 1, '\r', "> b"},
    };
    for (const auto& row : table) {
        Field f = edit(row.start, 6, {}, row.script);
        SCOPED_TRACE(testing::PrintToString(std::string(row.script)));
        EXPECT_EQ(f.text, row.text);
        EXPECT_EQ(f.cursor, row.cursor);
        EXPECT_EQ(f.ended, row.ended);
        EXPECT_EQ(f.screen, row.screen);
        EXPECT_EQ(f.col, 2 + static_cast<int>(f.text.size())); // after the text on return
    }
}

TEST(FieldEditor, MaskAllowedWidthAndPlainScreens) {
    // A mask hides every character; only allowed ones go in.
    Field pin = edit("", 8, {0, '*', "0123456789"}, "12a3\r");
    EXPECT_EQ(pin.text, "123");
    EXPECT_EQ(pin.screen, "> ***");
    // Longer text scrolls inside a field of five columns, cursor included.
    Field wide = edit("", 20, {5, 0, nullptr}, "abcdefghij");
    EXPECT_EQ(wide.screen, "> ghij");
    EXPECT_EQ(wide.col, 6);
    Field back = edit("", 20, {5, 0, nullptr}, "abcdefghijHH");
    EXPECT_EQ(back.screen, "> abcde");
    EXPECT_EQ(back.col, 2);
    // A mask that is a control byte would act on the screen: the text shows.
    for (char control : {'\a', '\n', '\x1b', '\x7f'}) {
        Field bell = edit("", 8, {0, static_cast<unsigned char>(control), nullptr}, "ab\r");
        EXPECT_EQ(bell.screen, "> ab");
        EXPECT_EQ(bell.row, 0);
    }
    // Without ANSI: typing at the end and Backspace, no cursor movement.
    od::FieldEditor plain("ab", 10, {}, false);
    od::Output out(false);
    plain.draw(out);
    for (int code : {int{OD_KEY_LEFT}, int{'c'}, 8, 8, int{'x'}, 27})
        plain.apply(od::Key{od::Key::Other, 0, code}, out);
    EXPECT_EQ(plain.text(), "ab");
    EXPECT_EQ(plain.cursor(), 2u); // always at the end
    EXPECT_EQ(out.pending(), "abc\b \b\b \bx\b \b\b \bab");
    EXPECT_EQ(out.pending().find('\x1b'), std::string::npos);
}

TEST(FieldEditor, KeepsToTheColumnsLeftOnItsRow) {
    // No capitals: the script takes them as keys.
    const std::string fifty = "abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmn";
    const struct {
        const char* before; // what the door sent before the field
        int max_len, width;
        std::string script;
        const char* screen;
        int col; // the cursor's column, always on the first row
    } table[] = {
        // 38 columns left of 40: the text scrolls in 37 of them, the
        // cursor may stand on the last, which is never written.
        {"\r> ", 100, 0, fifty, "> opqrstuvwxyz0123456789abcdefghijklmn", 38},
        {"\r> ", 100, 0, fifty + "H", "> abcdefghijklmnopqrstuvwxyz0123456789a", 2},
        {"\r> ", 100, 0, fifty + "HE", "> opqrstuvwxyz0123456789abcdefghijklmn", 38},
        {"\r> ", 38, 0, fifty, "> cdefghijklmnopqrstuvwxyz0123456789ab", 38}, // just the room
        {"\r> ", 37, 0, fifty, "> abcdefghijklmnopqrstuvwxyz0123456789a", 39},
        {"\x1b[2J\x1b[1;31H", 20, 0, "0123456789", "                              23456789", 38},
        {"\x1b[2J\x1b[H\x1b[30C", 20, 5, "0123456789", "                              6789", 34},
        // After a probe's moves, which go to the far corner and back.
        {"\r\x1b[s\x1b"
         "7\x1b[999;999H\x1b[6n\x1b"
         "8\x1b[u> ",
         100, 0, fifty, "> opqrstuvwxyz0123456789abcdefghijklmn", 38},
        // A width of one still shows what is typed; at the row's end too.
        {"\r> ", 5, 1, "abc", "> c", 3},
        {"\r> ", 5, 1, "abc<", "> c", 2},
        {"\r> ", 5, 1, "abc<<\x7f", "> b", 2},
        {"\r\x1b[39C", 5, 0, "abc", "                                       c", 39},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::PrintToString(std::string(row.before) + "|" + row.script));
        Field f = edit("", row.max_len, {row.width, 0, nullptr}, row.script, true, row.before);
        EXPECT_EQ(f.screen, row.screen);
        EXPECT_EQ(f.next, "");
        EXPECT_EQ(f.row, 0);
        EXPECT_EQ(f.col, row.col);
    }
    // A screen that shrinks under the field: it keeps to the new room.
    {
        od::Output out(true);
        out.text("\r> ");
        od::FieldEditor editor("", 100, {0, 0, nullptr, 78}, true);
        editor.draw(out);
        for (char c : fifty) editor.apply({od::Key::Char, static_cast<unsigned char>(c), c}, out);
        Screen screen(5, 80);
        screen.feed(out.pending());
        out.discard();
        screen.resize(5, 30);
        editor.fit(2, 28, out);
        screen.feed(out.pending());
        EXPECT_EQ(screen.row(0), "> yz0123456789abcdefghijklmn");
        EXPECT_EQ(screen.row(1), "");
        EXPECT_EQ(screen.cursor_row(), 0);
        EXPECT_EQ(screen.cursor_col(), 28);
    }
    // A field at column 12 of 80, 70 wide, as od_goto(4, 12) leaves it:
    // column 80 stays as it was whatever is typed, and the cursor on row 4.
    {
        od::Output out(true);
        out.text("\x1b[2J\x1b[4;80H|\x1b[4;12H");
        od::FieldEditor editor("", 100, {70, 0, nullptr, 80 - out.column(80)}, true);
        editor.draw(out);
        Screen screen(24, 80);
        for (int i = 0; i < 75; ++i) {
            editor.apply({od::Key::Char, 'a', 'a'}, out);
            screen.feed(out.pending());
            out.discard();
            ASSERT_EQ(screen.row(3).substr(79), "|") << "after key " << i + 1;
            ASSERT_EQ(screen.cursor_row(), 3);
            ASSERT_LE(screen.cursor_col(), 79);
        }
        EXPECT_EQ(screen.row(3), std::string(11, ' ') + std::string(67, 'a') + " |");
        EXPECT_EQ(screen.cursor_col(), 78);
    }
    // Where the column is unknown the field takes its own width.
    Field unknown = edit("", 10, {}, "abc", true, "no line start ");
    EXPECT_EQ(unknown.text, "abc");
    EXPECT_EQ(unknown.screen, "no line start abc");
}

} // namespace
