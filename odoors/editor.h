// Editors: the plain line of od_input_str and the field of od_edit, each a
// state machine that takes keys and writes what the screen needs.
#pragma once

#include "keys.h"

#include <string>

namespace od {

class Output;

// Collects one line of at most max_len characters whose codes lie within
// [min_code, max_code]; echoes what it takes.
class LineEditor {
  public:
    LineEditor(int max_len, int min_code, int max_code);
    // Returns true once Enter has ended the line.
    bool apply(const Key& key, Output& echo);
    // Shows the line so far again, at the start of a fresh line.
    void redraw(Output& echo) const;
    const std::string& line() const { return line_; }

  private:
    std::size_t max_len_;
    int min_code_, max_code_;
    std::string line_;
};

// A field of `width` columns at the cursor holding at most max_len
// characters, kept to the columns left on the row. On an ANSI screen the
// cursor moves freely and longer text scrolls within the field; without
// ANSI, keys go at the end and Backspace erases.
class FieldEditor {
  public:
    struct Style {
        int width = 0;                 // 0: max_len
        unsigned char mask = 0;        // shown for each character; 0 or a control: the text
        const char* allowed = nullptr; // NULL: printable CP437
        int room = 0;                  // columns from the cursor to the row's end; 0: unknown
    };
    FieldEditor(std::string start, int max_len, const Style& style, bool ansi);

    // Shows the field; the screen's cursor is where the field begins.
    void draw(Output& out);
    // The screen changed size: the field, which starts at screen column
    // `col` (from 0; -1 unknown), keeps to the `room` now left on its row and
    // is drawn again, the cursor kept in the text.
    void fit(int col, int room, Output& out);
    // Returns 0 while editing goes on, else the key that ended it.
    int apply(const Key& key, Output& out);

    const std::string& text() const { return text_; }
    std::size_t cursor() const { return pos_; }
    bool overwrite() const { return overwrite_; }

  private:
    bool takes(int code) const;
    int apply_plain(int code, Output& out);
    void put_char(unsigned char ch);
    void render(Output& out);
    std::string visible() const;
    bool fits() const;
    void scroll_to_cursor();
    void move_to(int col, Output& out);
    void keep_to(int room);

    std::string start_, text_;
    std::size_t max_len_;
    int wanted_width_; // as the door asked, before the row's room cut it
    int width_;
    unsigned char mask_;
    const char* allowed_;
    bool ansi_;
    bool at_edge_; // no cell past the field for the cursor
    bool overwrite_ = false;
    std::size_t pos_ = 0, scroll_ = 0;
    std::string shown_; // what the field's cells show now
    int shown_col_ = 0; // the screen cursor, counted from the field's first cell
};

} // namespace od
