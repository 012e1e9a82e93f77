// The caller's screen: its size from the first source that knows it, and the
// sequences that move and show the cursor.
#pragma once

#include <optional>
#include <string>

namespace od {

struct Size {
    int rows = 0, cols = 0; // 0: not known
    bool known() const { return rows > 0 && cols > 0; }
};

// What the link reports (telnet's NAWS, or the terminal's window), else the
// drop file (which may know only the rows), else 24 by 80.
Size choose_size(Size link, Size drop_file);

// The size the screen takes after the link reports a new window: the
// link's, when it knows one that differs from the size in use. A window
// the link cannot tell keeps the size in use (a probe may have found it).
std::optional<Size> changed_size(Size in_use, Size link);

// The terminal's window size on a pty or console; unknown elsewhere.
Size terminal_size(int fd);

// Cursor to row and col (from 1), clipped to the screen.
std::string goto_sequence(int row, int col, Size screen);
inline constexpr const char* clear_eol_sequence = "\x1b[K";
// The keypad sends its digits and operators, never ESC O p and the like,
// and the cursor keys ESC [ A, whatever the door or a program before it
// set: an ESC O arrow is then one with Ctrl.
inline constexpr const char* keypad_numeric_sequence = "\x1b>\x1b[?1l";
inline const char* cursor_sequence(bool shown) {
    return shown ? "\x1b[?25h" : "\x1b[?25l";
}

// Saves the cursor, moves it as far as the screen allows, asks where it is
// and puts it back: the answer is the screen's size. Then asks the
// terminal's device attributes, which tell a CTerm-style one.
inline constexpr const char* probe_sequence = "\x1b"
                                              "7\x1b[s\x1b[999;999H\x1b[6n\x1b[u\x1b"
                                              "8\x1b[c";
// After the probe: asks where the cursor is before and after one two-byte
// UTF-8 character (U+00E9), then blanks what it drew and puts the cursor back.
inline constexpr const char* utf8_probe_sequence = "\x1b[6n\xc3\xa9\x1b[6n\x1b[u\x1b"
                                                   "8  \x1b[u\x1b"
                                                   "8";
// What the cursor did over that character on a screen `cols` wide: one
// column on for a UTF-8 terminal, two for one that shows each byte; nothing
// known otherwise. At the right margin the cursor stops short, so a move
// that ends there tells nothing either.
inline std::optional<bool> speaks_utf8(int column_before, int column_after, int cols) {
    if (column_before <= 0 || column_after >= cols) return std::nullopt;
    if (column_after == column_before + 1) return true;
    if (column_after == column_before + 2) return false;
    return std::nullopt;
}

// Around what a door draws in the middle of another drawing: the cursor
// (and, where the terminal keeps it, the colour) goes back afterwards. Both
// forms, as terminals know one or the other; the DEC pair outermost, since
// some terminals take CSI s for a margin setting that homes the cursor.
inline constexpr const char* save_cursor_sequence = "\x1b"
                                                    "7\x1b[s";
inline constexpr const char* restore_cursor_sequence = "\x1b[u\x1b"
                                                       "8";

} // namespace od
