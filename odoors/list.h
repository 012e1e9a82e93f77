// The list of od_list: on an ANSI screen a region of rows with a highlight
// bar, scrolled by the keys; for any other caller numbered lines, a page at
// a time, picked by number. Both are state machines fed keys.
#pragma once

#include "editor.h"
#include "keys.h"
#include "output.h"
#include "screen.h"

#include <string>
#include <string_view>
#include <vector>

namespace od {

// Rows and columns on the screen, from 1.
struct Region {
    int top = 1, left = 1, rows = 1, cols = 1;
    bool to_edge = false; // it ends next to the screen's last column
};

// The region a list takes: what the door asked (0: from the first row or
// column, or to the bottom row, `bottom`, or the screen's edge), clipped to
// the screen, and never its last column.
Region list_region(int top, int left, int rows, int cols, Size screen, int bottom);

class ListView {
  public:
    // end_keys: the door's keys that end the list besides Enter and Escape.
    // normal: the colour of the items that are not selected.
    ListView(std::vector<std::string_view> items, int selected, const Region& region,
             std::vector<int> end_keys, Colour normal);

    // Draws the whole region.
    void draw(Output& out);
    // The screen changed: the list takes its new region and draws again.
    void move_to(const Region& region, Output& out);
    // 0 while the list goes on, else the key that ended it.
    int apply(const Key& key, Output& out);
    int selected() const { return current_; }
    // The row of item shown at `row` of the region (from 0), -1 for none.
    int item_at(int row) const;
    // What each row of the region shows, so that a list drawn again over
    // the same rows draws only those that changed.
    const std::vector<std::string>& shown() const { return shown_; }
    void assume_shown(std::vector<std::string> rows) { shown_ = std::move(rows); }

  private:
    int view_rows() const;
    void scroll_to_current();
    void draw_row(int row, Output& out);
    void draw_position(Output& out);
    void park(Output& out);
    int next_starting_with(unsigned char byte) const;

    std::vector<std::string_view> items_;
    std::vector<int> end_keys_;
    Region region_;
    Colour normal_;
    int current_, first_ = 0;
    int number_ = 0; // the item number being typed, 0 for none
    std::vector<std::string> shown_;
};

// Numbered lines for a caller without ANSI: a page of `page_rows`, then a
// prompt that takes a number, Enter for the next page, Q or Escape to leave.
class NumberedList {
  public:
    NumberedList(std::vector<std::string_view> items, int selected, int page_rows, int cols,
                 std::vector<int> end_keys);

    // Shows the page that holds the selected item, and the prompt.
    void start(Output& out);
    // 0 while the list goes on, else the key that ended it.
    int apply(const Key& key, Output& out);
    // The prompt and what is typed, again on a fresh line.
    void redraw(Output& out) const;
    int selected() const { return selected_; }

  private:
    void show_page(Output& out);
    void prompt(Output& out) const;
    int take_line(Output& out);

    std::vector<std::string_view> items_;
    std::vector<int> end_keys_;
    int selected_, page_rows_, cols_, first_ = 0;
    LineEditor line_;
};

} // namespace od
