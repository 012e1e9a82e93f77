#include "list.h"

#include "OpenDoor.h"
#include "output.h"

#include <algorithm>
#include <cctype>

namespace od {
namespace {

constexpr Colour bar{15, 1}; // bright white on blue

// What one item shows in `width` columns: a blank, its text with control
// characters as '?', and with pad blanks to the end.
std::string cell_text(std::string_view item, int width, bool pad = true) {
    std::string text = " " + std::string(item.substr(0, static_cast<std::size_t>(width)));
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    if (pad || text.size() > static_cast<std::size_t>(std::max(width, 0)))
        text.resize(static_cast<std::size_t>(std::max(width, 0)), ' ');
    return text;
}

char lower(unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// The door's key that `code` is, letters in either case, as the door wrote
// it; 0 for none.
int listed(const std::vector<int>& keys, int code) {
    for (int key : keys)
        if (code != 0 && (key == code || (code < 128 && key < 128 && std::isalpha(code) &&
                                          lower(static_cast<unsigned char>(key)) ==
                                              lower(static_cast<unsigned char>(code)))))
            return key;
    return 0;
}

// The region is already on the screen: moves within it need no clipping.
constexpr Size unclipped{9999, 9999};

int digits(int n) {
    int count = 1;
    for (; n >= 10; n /= 10) ++count;
    return count;
}

int item_count(const std::vector<std::string_view>& items) {
    return static_cast<int>(items.size());
}

} // namespace

Region list_region(int top, int left, int rows, int cols, Size screen, int bottom) {
    Region r;
    bottom = std::clamp(bottom, 1, screen.rows);
    r.top = std::clamp(top > 0 ? top : 1, 1, bottom);
    r.left = std::clamp(left > 0 ? left : 1, 1, std::max(screen.cols - 1, 1));
    int rows_left = bottom - r.top + 1, cols_left = std::max(screen.cols - r.left, 1);
    r.rows = rows > 0 ? std::min(rows, rows_left) : rows_left;
    r.cols = cols > 0 ? std::min(cols, cols_left) : cols_left;
    r.to_edge = r.cols == cols_left;
    return r;
}

ListView::ListView(std::vector<std::string_view> items, int selected, const Region& region,
                   std::vector<int> end_keys, Colour normal)
    : items_(std::move(items)), end_keys_(std::move(end_keys)), region_(region), normal_(normal),
      current_(items_.empty() ? -1 : std::clamp(selected, 0, item_count(items_) - 1)) {}

int ListView::view_rows() const {
    return region_.rows >= 2 ? region_.rows - 1 : region_.rows;
}

int ListView::item_at(int row) const {
    int item = first_ + row;
    return row >= 0 && row < view_rows() && item < item_count(items_) ? item : -1;
}

void ListView::scroll_to_current() {
    int view = view_rows();
    if (current_ < first_) first_ = current_;
    if (current_ >= first_ + view) first_ = current_ - view + 1;
    first_ = std::clamp(first_, 0, std::max(item_count(items_) - view, 0));
}

void ListView::draw_row(int row, Output& out) {
    int item = item_at(row);
    bool on_bar = item >= 0 && item == current_;
    std::string key =
        (on_bar ? "*" : " ") + std::string(item >= 0 ? items_[static_cast<std::size_t>(item)] : "");
    auto at = static_cast<std::size_t>(row);
    if (shown_.size() <= at) shown_.resize(at + 1);
    if (shown_[at] == key && !key.empty()) return;
    shown_[at] = key;
    out.sequence(goto_sequence(region_.top + row, region_.left, unclipped));
    out.set_colour(on_bar ? bar : normal_);
    // A row that reaches the edge is cleared rather than padded: a screen
    // the caller claims is 9999 wide costs a few bytes a row, not 9999.
    bool clear = region_.to_edge;
    out.text(
        cell_text(item >= 0 ? items_[static_cast<std::size_t>(item)] : "", region_.cols, !clear));
    if (clear) out.sequence(clear_eol_sequence);
}

void ListView::draw_position(Output& out) {
    if (region_.rows < 2) return;
    std::string where =
        items_.empty() ? "no items"
                       : std::to_string(current_ + 1) + " of " + std::to_string(item_count(items_));
    auto width = static_cast<std::size_t>(region_.cols);
    if (where.size() > width) where.resize(width);
    auto at = static_cast<std::size_t>(view_rows());
    if (shown_.size() <= at) shown_.resize(at + 1);
    if (shown_[at] == where) return;
    shown_[at] = where;
    int row = region_.top + view_rows();
    out.sequence(goto_sequence(row, region_.left, unclipped));
    out.set_colour(normal_);
    if (region_.to_edge) {
        out.sequence(clear_eol_sequence);
        out.sequence(
            goto_sequence(row, region_.left + static_cast<int>(width - where.size()), unclipped));
        out.text(where);
        return;
    }
    out.text(std::string(width - where.size(), ' ') + where);
}

void ListView::park(Output& out) {
    int row = current_ >= 0 ? current_ - first_ : 0;
    out.sequence(goto_sequence(region_.top + row, region_.left, unclipped));
    out.set_colour(normal_);
}

void ListView::draw(Output& out) {
    scroll_to_current();
    for (int row = 0; row < view_rows(); ++row) draw_row(row, out);
    draw_position(out);
    park(out);
}

void ListView::move_to(const Region& region, Output& out) {
    region_ = region;
    shown_.clear();
    draw(out);
}

int ListView::next_starting_with(unsigned char byte) const {
    int count = item_count(items_);
    for (int step = 1; step <= count; ++step) {
        int item = (current_ + step) % count;
        std::string_view text = items_[static_cast<std::size_t>(item)];
        if (!text.empty() && lower(static_cast<unsigned char>(text[0])) == lower(byte)) return item;
    }
    return current_;
}

int ListView::apply(const Key& key, Output& out) {
    if (int door_key = listed(end_keys_, key.code)) return door_key;
    bool digit = key.kind == Key::Char && key.byte >= '0' && key.byte <= '9';
    if (!digit) number_ = 0;
    if (key.kind == Key::Enter) return '\r';
    if (key.kind == Key::Escape) return 27;
    if (items_.empty()) return 0;
    int last = item_count(items_) - 1, page = view_rows(), moved = current_;
    switch (key.code) {
    case OD_KEY_UP: moved = current_ - 1; break;
    case OD_KEY_DOWN: moved = current_ + 1; break;
    case OD_KEY_PGUP: moved = current_ - page; break;
    case OD_KEY_PGDN: moved = current_ + page; break;
    case OD_KEY_HOME: moved = 0; break;
    case OD_KEY_END: moved = last; break;
    default:
        if (digit) {
            // A number typed picks that item; a digit that would run past
            // the count starts a new number.
            number_ = number_ * 10 + (key.byte - '0');
            if (number_ > last + 1) number_ = key.byte - '0';
            if (number_ > 0) moved = number_ - 1;
        } else if (key.kind == Key::Char && key.byte > ' ') {
            moved = next_starting_with(key.byte);
        }
        break;
    }
    moved = std::clamp(moved, 0, last);
    if (moved == current_) return 0;
    int was = current_, first = first_;
    current_ = moved;
    scroll_to_current();
    if (first_ != first) {
        draw(out);
        return 0;
    }
    draw_row(was - first_, out);
    draw_row(current_ - first_, out);
    draw_position(out);
    park(out);
    return 0;
}

NumberedList::NumberedList(std::vector<std::string_view> items, int selected, int page_rows,
                           int cols, std::vector<int> end_keys)
    : items_(std::move(items)), end_keys_(std::move(end_keys)),
      selected_(items_.empty() ? -1 : std::clamp(selected, 0, item_count(items_) - 1)),
      page_rows_(std::max(page_rows, 1)), cols_(std::max(cols, 2)),
      line_(digits(item_count(items_)), '0', '9') {}

void NumberedList::start(Output& out) {
    first_ = std::max(selected_, 0) / page_rows_ * page_rows_;
    show_page(out);
}

void NumberedList::show_page(Output& out) {
    int count = item_count(items_), width = digits(count);
    for (int item = first_; item < std::min(first_ + page_rows_, count); ++item) {
        std::string number = std::to_string(item + 1);
        std::string line = std::string(static_cast<std::size_t>(width) - number.size(), ' ') +
                           number + "." +
                           cell_text(items_[static_cast<std::size_t>(item)], cols_ - 2 - width);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out.text(line + "\n\r");
    }
    prompt(out);
}

void NumberedList::prompt(Output& out) const {
    int count = item_count(items_);
    if (count == 0) {
        out.text("No items. Q quits: ");
        return;
    }
    out.text("Pick 1-" + std::to_string(count) + (count > page_rows_ ? ", Enter for more" : "") +
             ", Q quits: ");
}

void NumberedList::redraw(Output& out) const {
    prompt(out);
    line_.redraw(out);
}

int NumberedList::take_line(Output& out) {
    std::string typed = line_.line();
    line_ = LineEditor(digits(item_count(items_)), '0', '9');
    if (typed.empty()) {
        first_ += page_rows_;
        if (first_ >= item_count(items_)) first_ = 0;
        show_page(out);
        return 0;
    }
    int number = std::stoi(typed); // at most as many digits as the count
    if (number >= 1 && number <= item_count(items_)) {
        selected_ = number - 1;
        return '\r';
    }
    out.text("No such item.\n\r");
    prompt(out);
    return 0;
}

int NumberedList::apply(const Key& key, Output& out) {
    bool fresh = line_.line().empty();
    bool digit = key.kind == Key::Char && key.byte >= '0' && key.byte <= '9';
    if (int door_key = fresh && !digit ? listed(end_keys_, key.code) : 0) {
        if (key.kind == Key::Char) out.put(key.byte);
        out.text("\n\r");
        return door_key;
    }
    bool quit = fresh && key.kind == Key::Char && (key.byte == 'q' || key.byte == 'Q');
    if (key.kind == Key::Escape || quit) {
        if (quit) out.put(key.byte);
        out.text("\n\r");
        return 27;
    }
    if (!line_.apply(key, out)) return 0;
    return take_line(out);
}

} // namespace od
