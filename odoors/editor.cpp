#include "editor.h"

#include "OpenDoor.h"
#include "output.h"

#include <algorithm>
#include <cstring>

namespace od {
namespace {

constexpr int ctrl_a = 1, ctrl_d = 4, ctrl_e = 5, ctrl_u = 21, tab = 9, esc = 27;

void erase_back(std::size_t n, Output& out) {
    for (std::size_t i = 0; i < n; ++i) out.text("\b \b");
}

bool blank(char c) {
    return c == ' ';
}

// Where Ctrl-Left lands: the start of the word before pos.
std::size_t word_before(const std::string& text, std::size_t pos) {
    while (pos > 0 && blank(text[pos - 1])) --pos;
    while (pos > 0 && !blank(text[pos - 1])) --pos;
    return pos;
}

// Where Ctrl-Right lands: the end of the word after pos.
std::size_t word_after(const std::string& text, std::size_t pos) {
    while (pos < text.size() && blank(text[pos])) ++pos;
    while (pos < text.size() && !blank(text[pos])) ++pos;
    return pos;
}

} // namespace

LineEditor::LineEditor(int max_len, int min_code, int max_code)
    : max_len_(static_cast<std::size_t>(std::max(max_len, 0))),
      // NUL would end the line early; Backspace and Delete always edit.
      min_code_(std::max(min_code, 1)), max_code_(std::min(max_code, 255)) {}

bool LineEditor::apply(const Key& key, Output& echo) {
    switch (key.kind) {
    case Key::Enter: echo.text("\n\r"); return true;
    case Key::Backspace:
        if (!line_.empty()) {
            line_.pop_back();
            erase_back(1, echo);
        }
        return false;
    case Key::Char:
        if (key.byte == 8 || key.byte == 127) return false;
        if (key.byte < min_code_ || key.byte > max_code_ || line_.size() >= max_len_) return false;
        line_ += static_cast<char>(key.byte);
        echo.put(key.byte);
        return false;
    case Key::Escape:
    case Key::Other: return false;
    }
    return false;
}

void LineEditor::redraw(Output& echo) const {
    echo.text(line_);
}

FieldEditor::FieldEditor(std::string start, int max_len, const Style& style, bool ansi)
    : start_(std::move(start)), max_len_(static_cast<std::size_t>(std::max(max_len, 0))),
      wanted_width_(style.width > 0 ? style.width : std::max(max_len, 1)), width_(wanted_width_),
      // A control byte as the mask would act on the caller's screen.
      mask_(style.mask >= 32 && style.mask != 127 ? style.mask : 0), allowed_(style.allowed),
      ansi_(ansi), at_edge_(false) {
    keep_to(style.room);
    if (start_.size() > max_len_) start_.resize(max_len_);
    text_ = start_;
    pos_ = text_.size();
}

bool FieldEditor::takes(int code) const {
    if (code < 32 || code > 254 || code == 127) return false;
    if (!allowed_) return true;
    return std::strchr(allowed_, code) != nullptr;
}

std::string FieldEditor::visible() const {
    std::string cells =
        text_.substr(std::min(scroll_, text_.size()), static_cast<std::size_t>(width_));
    if (mask_) std::fill(cells.begin(), cells.end(), static_cast<char>(mask_));
    cells.resize(static_cast<std::size_t>(width_), ' ');
    return cells;
}

// All the text fits, and the cursor may sit just past a full field.
bool FieldEditor::fits() const {
    auto width = static_cast<std::size_t>(width_);
    return max_len_ < width || (max_len_ == width && !at_edge_);
}

void FieldEditor::scroll_to_cursor() {
    auto width = static_cast<std::size_t>(width_);
    if (fits()) {
        scroll_ = 0;
        return;
    }
    if (width == 1) { // the one cell shows what was typed last
        scroll_ = pos_ == text_.size() && pos_ > 0 ? pos_ - 1 : pos_;
        return;
    }
    // Keep the field as full as the text allows, with the cursor inside it.
    scroll_ = std::min(scroll_, text_.size() + 1 > width ? text_.size() + 1 - width : 0);
    if (pos_ < scroll_) scroll_ = pos_;
    if (pos_ >= scroll_ + width) scroll_ = pos_ + 1 - width;
}

void FieldEditor::move_to(int col, Output& out) {
    int by = col - shown_col_;
    if (by < 0) out.text(by == -1 ? std::string("\b") : "\x1b[" + std::to_string(-by) + "D");
    if (by > 0) out.text("\x1b[" + std::to_string(by) + "C");
    shown_col_ = col;
}

// Writes only the cells that changed, then puts the cursor in its place.
void FieldEditor::render(Output& out) {
    scroll_to_cursor();
    std::string want = visible();
    std::size_t first = 0;
    while (first < want.size() && first < shown_.size() && want[first] == shown_[first]) ++first;
    if (first < want.size()) {
        std::size_t last = want.size();
        if (shown_.size() == want.size())
            while (last > first && want[last - 1] == shown_[last - 1]) --last;
        move_to(static_cast<int>(first), out);
        out.text(std::string_view(want).substr(first, last - first));
        shown_col_ = static_cast<int>(last);
        shown_ = want;
        if (at_edge_ && last == want.size()) {
            // The cursor waits on the row's last cell to wrap with the next
            // character; a move back ends that wait.
            out.text("\x1b[D");
            shown_col_ = width_ - 2;
        }
    }
    auto last_cell = static_cast<std::size_t>(at_edge_ ? width_ - 1 : width_);
    move_to(static_cast<int>(std::min(pos_ - scroll_, last_cell)), out);
}

// Text past the row's end would wrap onto the next one, and terminals
// disagree on where the cursor stands after the row's last column: the
// field keeps off it, but for one that starts there.
void FieldEditor::keep_to(int room) {
    at_edge_ = room == 1;
    width_ = room > 0 && wanted_width_ >= room ? std::max(room - 1, 1) : wanted_width_;
}

void FieldEditor::fit(int col, int room, Output& out) {
    if (!ansi_) return;
    // A terminal that shrank may have clamped the cursor: a relative move
    // would land short, so the field's start is sought by its column.
    keep_to(room);
    // What the field showed past its new end stays on a narrower row: a
    // field that reaches the edge clears what lies beyond it.
    if (col >= 0 && wanted_width_ >= room)
        out.sequence("\x1b[" + std::to_string(col + 1 + width_) + "G\x1b[K");
    if (col >= 0)
        out.sequence("\x1b[" + std::to_string(col + 1) + "G");
    else
        move_to(0, out);
    shown_col_ = 0;
    draw(out);
}

void FieldEditor::draw(Output& out) {
    if (!ansi_) {
        out.text(mask_ ? std::string(text_.size(), static_cast<char>(mask_)) : text_);
        return;
    }
    shown_.clear();
    shown_col_ = 0;
    render(out);
}

void FieldEditor::put_char(unsigned char ch) {
    if (overwrite_ && pos_ < text_.size()) {
        text_[pos_++] = static_cast<char>(ch);
    } else if (text_.size() < max_len_) {
        text_.insert(pos_++, 1, static_cast<char>(ch));
    }
}

int FieldEditor::apply_plain(int code, Output& out) {
    // Typing at the end only.
    switch (code) {
    case '\r':
    case tab:
    case OD_KEY_SHIFT_TAB:
    case OD_KEY_UP:
    case OD_KEY_DOWN: return code;
    case esc:
        erase_back(text_.size(), out);
        text_ = start_;
        draw(out);
        return esc;
    case 8:
        if (!text_.empty()) {
            text_.pop_back();
            erase_back(1, out);
        }
        return 0;
    case ctrl_u:
        erase_back(text_.size(), out);
        text_.clear();
        return 0;
    default:
        if (takes(code) && text_.size() < max_len_) {
            text_ += static_cast<char>(code);
            out.put(mask_ ? mask_ : static_cast<unsigned char>(code));
        }
        return 0;
    }
}

int FieldEditor::apply(const Key& key, Output& out) {
    int code = key.code;
    if (!ansi_) {
        int ended = apply_plain(code, out);
        pos_ = text_.size();
        return ended;
    }
    int ended = 0;
    switch (code) {
    case '\r':
    case tab:
    case OD_KEY_SHIFT_TAB:
    case OD_KEY_UP:
    case OD_KEY_DOWN: ended = code; break;
    case esc:
        text_ = start_;
        ended = esc;
        break;
    // Ctrl moves by words; a masked field keeps its words to itself.
    case OD_KEY_LEFT:
        if (key.mods & OD_MOD_CTRL)
            pos_ = mask_ ? 0 : word_before(text_, pos_);
        else if (pos_ > 0)
            --pos_;
        break;
    case OD_KEY_RIGHT:
        if (key.mods & OD_MOD_CTRL)
            pos_ = mask_ ? text_.size() : word_after(text_, pos_);
        else if (pos_ < text_.size())
            ++pos_;
        break;
    case OD_KEY_HOME:
    case ctrl_a: pos_ = 0; break;
    case OD_KEY_END:
    case ctrl_e: pos_ = text_.size(); break;
    case 8:
        if (pos_ > 0) text_.erase(--pos_, 1);
        break;
    case OD_KEY_DELETE:
    case ctrl_d:
        if (pos_ < text_.size()) text_.erase(pos_, 1);
        break;
    case ctrl_u:
        text_.clear();
        pos_ = 0;
        break;
    case OD_KEY_INSERT: overwrite_ = !overwrite_; break;
    default:
        if (takes(code)) put_char(static_cast<unsigned char>(code));
        break;
    }
    if (ended) pos_ = text_.size(); // the door's next output follows the text
    render(out);
    return ended;
}

} // namespace od
