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
};

// "<" Left, ">" Right, "H" Home, "E" End, "I" Insert, "X" Delete, "U" Up;
// anything else is sent as it is.
Field edit(const std::string& start, int max_len, od::FieldEditor::Style style,
           const std::string& script, bool ansi = true) {
    od::FieldEditor editor(start, max_len, style, ansi);
    od::Output out(ansi);
    out.text("> ");
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
        for (char b : one) decoder.feed(static_cast<unsigned char>(b), keys);
    }
    int ended = 0;
    for (const auto& key : keys)
        if (!ended) ended = editor.apply(key, out);
    Screen screen(5, 40);
    screen.feed(out.pending());
    return {editor.text(), editor.cursor(), ended, screen.row(0), screen.cursor_col()};
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
        {"abcdef", "gh\r", "abcdef", 6, '\r', "> abcdef"},            // full: nothing more goes in
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

} // namespace
