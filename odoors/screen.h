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
inline const char* cursor_sequence(bool shown) {
    return shown ? "\x1b[?25h" : "\x1b[?25l";
}

// Saves the cursor, moves it as far as the screen allows, asks where it is
// and puts it back: the answer is the screen's size.
inline constexpr const char* probe_sequence = "\x1b[s\x1b"
                                              "7\x1b[999;999H\x1b[6n\x1b"
                                              "8\x1b[u";

// Around what a door draws in the middle of another drawing: the cursor
// (and, where the terminal keeps it, the colour) goes back afterwards. Both
// forms, as terminals know one or the other; the DEC pair outermost, since
// some terminals take CSI s for a margin setting that homes the cursor.
inline constexpr const char* save_cursor_sequence = "\x1b"
                                                    "7\x1b[s";
inline constexpr const char* restore_cursor_sequence = "\x1b[u\x1b"
                                                       "8";

} // namespace od
