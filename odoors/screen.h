// The caller's screen: its size from the first source that knows it, and the
// sequences that move and show the cursor.
#pragma once

#include <string>

namespace od {

struct Size {
    int rows = 0, cols = 0; // 0: not known
    bool known() const { return rows > 0 && cols > 0; }
};

// What the link reports (telnet's NAWS, or the terminal's window), else the
// drop file (which may know only the rows), else 24 by 80.
Size choose_size(Size link, Size drop_file);

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

} // namespace od
