#include "output.h"

#include "screen.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace od {
namespace {

constexpr unsigned char esc = 0x1b;
constexpr int max_column = 1 << 20;

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), lower);
    return out;
}

struct Named {
    std::string_view name;
    int colour;
};

constexpr Named names[] = {
    {"black", 0},
    {"blue", 1},
    {"green", 2},
    {"cyan", 3},
    {"red", 4},
    {"magenta", 5},
    {"brown", 6},
    {"grey", 7},
    {"gray", 7},
    {"dark grey", 8},
    {"dark gray", 8},
    {"bright black", 8},
    {"bright blue", 9},
    {"bright green", 10},
    {"bright cyan", 11},
    {"bright red", 12},
    {"bright magenta", 13},
    {"yellow", 14},
    {"bright yellow", 14},
    {"bright brown", 14},
    {"bright white", 15},
    {"bright grey", 15},
    {"bright gray", 15},
};

int single_colour(std::string_view name) {
    std::string key = lowered(name);
    for (const auto& n : names)
        if (n.name == key) return n.colour;
    return -1;
}

// PC palette order (blue is 1) to ANSI order (red is 1).
int ansi_index(int pc) {
    static constexpr int table[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    return table[pc & 7];
}

// A width or precision beyond this is taken as this: wider than any screen,
// and one conversion never needs more memory than a few of them.
constexpr long long max_field = 1 << 16;

// One printf conversion, taken from the format and the argument list.
struct Conversion {
    std::string directive; // the conversion, with '*' already replaced by the numbers it took
    char length = 0;       // 'H' hh, 'h', 'l', 'q' ll, 'j', 'z', 't', 'L'
    char kind = 0;
    long long width = 0, precision = -1; // as bounded; precision -1: none
    bool left = false;                   // '-': padded on the right
};

template <typename T> std::string format_one(const std::string& directive, T value) {
    int size = std::snprintf(nullptr, 0, directive.c_str(), value);
    if (size <= 0) return {};
    std::string out(static_cast<std::size_t>(size) + 1, '\0');
    (void)std::snprintf(out.data(), out.size(), directive.c_str(), value);
    out.resize(static_cast<std::size_t>(size));
    return out;
}

std::string signed_value(const Conversion& c, va_list* args) {
    switch (c.length) {
    case 'l': return format_one(c.directive, va_arg(*args, long));
    case 'q': return format_one(c.directive, va_arg(*args, long long));
    case 'j': return format_one(c.directive, va_arg(*args, intmax_t));
    case 'z':
    case 't': return format_one(c.directive, va_arg(*args, std::ptrdiff_t));
    default: return format_one(c.directive, va_arg(*args, int));
    }
}

std::string unsigned_value(const Conversion& c, va_list* args) {
    switch (c.length) {
    case 'l': return format_one(c.directive, va_arg(*args, unsigned long));
    case 'q': return format_one(c.directive, va_arg(*args, unsigned long long));
    case 'j': return format_one(c.directive, va_arg(*args, uintmax_t));
    case 'z':
    case 't': return format_one(c.directive, va_arg(*args, std::size_t));
    default: return format_one(c.directive, va_arg(*args, unsigned));
    }
}

std::string convert(const Conversion& c, va_list* args) {
    switch (c.kind) {
    case 'd':
    case 'i': return signed_value(c, args);
    case 'o':
    case 'u':
    case 'x':
    case 'X': return unsigned_value(c, args);
    case 'c': return format_one(c.directive, va_arg(*args, int));
    case 's':
        if (c.length == 'l') {
            const wchar_t* wide = va_arg(*args, const wchar_t*);
            return format_one(c.directive, wide ? wide : L"(null)");
        } else {
            const char* text = va_arg(*args, const char*);
            return format_one(c.directive, text ? text : "(null)");
        }
    case 'p': return format_one(c.directive, va_arg(*args, void*));
    case 'n': (void)va_arg(*args, void*); return {}; // never written through
    default:
        if (c.length == 'L') return format_one(c.directive, va_arg(*args, long double));
        return format_one(c.directive, va_arg(*args, double));
    }
}

// Reads one conversion starting after '%'; returns the characters it used, or
// 0 when what follows is not a conversion (it is then shown as typed).
std::size_t parse_conversion(std::string_view rest, va_list* args, Conversion& c) {
    std::size_t i = 0;
    c.directive = "%";
    // A '*' takes an int: as printf does, a negative width left-justifies
    // and a negative precision counts as none. Either is bounded.
    auto take_number = [&](bool precision) -> long long {
        long long value = 0;
        if (i < rest.size() && rest[i] == '*') {
            value = va_arg(*args, int);
            ++i;
            if (value < 0 && precision) {
                c.directive.pop_back(); // the '.'
                return -1;
            }
            if (value < 0) {
                c.directive += '-';
                c.left = true;
                value = -value;
            }
        } else if (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') {
            while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9')
                value = std::min(value * 10 + (rest[i++] - '0'), max_field);
        } else {
            return 0; // none given; "." alone is a precision of 0
        }
        value = std::min(value, max_field);
        c.directive += std::to_string(value);
        return value;
    };
    while (i < rest.size() && std::string_view("-+ #0'").find(rest[i]) != std::string_view::npos) {
        c.left = c.left || rest[i] == '-';
        c.directive += rest[i++];
    }
    c.width = take_number(false);
    if (i < rest.size() && rest[i] == '.') {
        c.directive += rest[i++];
        c.precision = take_number(true);
    }
    auto length_start = i;
    while (i < rest.size() && std::string_view("hljztL").find(rest[i]) != std::string_view::npos)
        ++i;
    auto length = rest.substr(length_start, i - length_start);
    if (length == "hh")
        c.length = 'H';
    else if (length == "ll")
        c.length = 'q';
    else if (length.size() == 1)
        c.length = length[0];
    else if (!length.empty())
        return 0;
    if (i >= rest.size()) return 0;
    c.kind = rest[i];
    if (std::string_view("diouxXcspneEfFgGaA").find(c.kind) == std::string_view::npos) return 0;
    c.directive += length;
    c.directive += c.kind;
    return i + 1;
}

} // namespace

Colour colour_by_name(std::string_view name) {
    std::string key = lowered(name);
    auto on = key.find(" on ");
    if (on == std::string::npos) return Colour{single_colour(key), 0};
    int fg = single_colour(std::string_view(key).substr(0, on));
    int bg = single_colour(std::string_view(key).substr(on + 4));
    if (fg < 0 || bg < 0) return Colour{-1, 0};
    return Colour{fg, bg};
}

std::string sgr_change(Colour from, Colour to) {
    bool bright = to.fg >= 8, blink = to.bg >= 8;
    bool reset =
        from.fg < 0 || from.bg < 0 || (from.fg >= 8 && !bright) || (from.bg >= 8 && !blink);
    // After a reset the terminal shows grey on black, as ANSI.SYS did.
    Colour base = reset ? Colour{7, 0} : from;
    std::string params;
    auto add = [&](int p) {
        if (!params.empty()) params += ';';
        params += std::to_string(p);
    };
    if (reset) add(0);
    if (bright && base.fg < 8) add(1);
    if (blink && base.bg < 8) add(5);
    if ((to.fg & 7) != (base.fg & 7)) add(30 + ansi_index(to.fg));
    if ((to.bg & 7) != (base.bg & 7)) add(40 + ansi_index(to.bg));
    if (params.empty()) return {};
    if (params == "0") params.clear();
    return "\x1b[" + params + "m";
}

void CursorColumn::place(int col) {
    col_ = peak_ = col;
}

void CursorColumn::advance(int by) {
    if (col_ < 0) return;
    col_ = std::clamp(col_ + by, 0, max_column);
    peak_ = std::max(peak_, col_);
}

void CursorColumn::control(unsigned char byte) {
    switch (byte) {
    case '\r':
    case '\f': place(0); break; // a form feed clears a plain screen
    case '\b': advance(-1); break;
    case '\t': advance(col_ < 0 ? 0 : 8 - col_ % 8); break;
    default: break; // LF, BEL and the rest leave the column
    }
}

void CursorColumn::final_byte(unsigned char byte) {
    int first = count_ > 0 ? params_[0] : 0, second = count_ > 1 ? params_[1] : 0;
    switch (byte) {
    case 'C': advance(std::max(first, 1)); break;
    case 'D': advance(-std::max(first, 1)); break;
    case 'G': place(std::max(first, 1) - 1); break;
    case 'H':
    case 'f': place(std::max(second, 1) - 1); break;
    case 'E':
    case 'F': place(0); break;
    case 's':
        saved_ = col_;
        saved_peak_ = peak_;
        break;
    case 'u':
        col_ = saved_;
        peak_ = saved_peak_;
        break;
    case 'J': // some terminals home the cursor on clearing the screen, some do not
        if (first == 2) col_ = -1;
        break;
    case 'A':
    case 'B':
    case 'K':
    case 'm':
    case 'n':
    case 'h':
    case 'l': break;
    default: col_ = -1; break;
    }
}

// Runs of text and of parameters go at once: an art file is mostly both.
void CursorColumn::feed(std::string_view bytes, bool utf8) {
    // Nothing before a CR moves the cursor after it, save a position saved
    // before it and restored after: a big output is followed from its last CR.
    if (auto cr = bytes.rfind('\r'); cr != std::string_view::npos) {
        state_ = State::Text;
        place(0);
        saved_ = saved_peak_ = -1;
        bytes.remove_prefix(cr + 1);
    }
    std::size_t i = 0, n = bytes.size();
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
    while (i < n) {
        unsigned char byte = 0;
        switch (state_) {
        case State::Text: {
            std::size_t cells = 0;
            for (; i < n && at(i) >= 0x20 && at(i) != 0x7f; ++i)
                cells += utf8 && (at(i) & 0xc0) == 0x80 ? 0 : 1;
            if (cells > 0) advance(static_cast<int>(std::min<std::size_t>(cells, max_column)));
            if (i == n) return;
            byte = at(i++);
            if (byte == esc)
                state_ = State::Escape;
            else
                control(byte);
            break;
        }
        case State::Escape:
            byte = at(i++);
            state_ = State::Text;
            if (byte == '[') {
                state_ = State::Csi;
                params_[0] = params_[1] = count_ = 0;
            } else if (byte == '7') {
                saved_ = col_;
                saved_peak_ = peak_;
            } else if (byte == '8') {
                col_ = saved_;
                peak_ = saved_peak_;
            } else {
                col_ = -1;
            }
            break;
        case State::Csi:
            for (; i < n; ++i) {
                byte = at(i);
                if (byte >= '0' && byte <= '9') {
                    if (count_ == 0) count_ = 1;
                    if (count_ <= 2)
                        params_[count_ - 1] =
                            std::min(params_[count_ - 1] * 10 + (byte - '0'), 9999);
                } else if (byte == ';') {
                    count_ = std::min(std::max(count_, 1) + 1, 3);
                } else {
                    break;
                }
            }
            if (i == n) return;
            byte = at(i++);
            if (byte < 0x20) {
                control(byte); // a terminal acts on it inside the sequence
            } else if (byte >= 0x40 && byte < 0x7f) {
                state_ = State::Text;
                if (byte != 'm') final_byte(byte);
            } else if (byte >= 0x7f) {
                state_ = State::Text;
                col_ = -1;
            } // private markers and intermediates change nothing here
            break;
        }
    }
}

int CursorColumn::column(int cols) const {
    return col_ < 0 || peak_ >= cols ? -1 : col_;
}

void Output::follow() {
    cursor_.feed(std::string_view(buffer_).substr(followed_), encoder_.charset() == Charset::Utf8);
    followed_ = buffer_.size();
}

void Output::put(unsigned char byte) {
    if (byte == esc && !ansi_) return;
    encoder_.append(byte, buffer_);
    if (buffer_.size() >= chunk_size) full();
}

void Output::full() {
    if (!on_full_ || sending_ || buffer_.size() < chunk_size) return;
    sending_ = true;
    on_full_();
    sending_ = false;
}

void Output::text(std::string_view bytes) {
    for (char c : bytes) put(static_cast<unsigned char>(c));
}

void Output::repeat(unsigned char byte, int times) {
    for (int i = 0; i < times; ++i) put(byte);
}

void Output::set_colour(Colour colour) {
    colour.fg = std::clamp(colour.fg, 0, 15);
    colour.bg = std::clamp(colour.bg, 0, 15);
    if (!ansi_) return;
    buffer_ += sgr_change(current_, colour);
    current_ = colour;
}

void Output::clear_screen() {
    if (ansi_) {
        buffer_ += "\x1b[2J\x1b[H";
    } else {
        // A VT-style terminal takes the form feed as a line feed: the carriage
        // return first leaves the cursor at column 1 there too.
        buffer_ += "\r\f";
    }
}

void Output::utf8_text(std::string_view bytes) {
    if (encoder_.charset() != Charset::Utf8) {
        text(convert(bytes, "UTF-8", "CP437"));
        return;
    }
    for (char c : convert(bytes, "UTF-8", "UTF-8"))
        if (c != esc || ansi_) buffer_ += c;
}

void Output::literal(std::string_view text, bool utf8) {
    auto emit = [&](std::string_view part) { utf8 ? utf8_text(part) : this->text(part); };
    for (;;) {
        auto open = text.find('`');
        auto close = open == std::string_view::npos ? open : text.find('`', open + 1);
        if (close == std::string_view::npos) {
            emit(text);
            return;
        }
        emit(text.substr(0, open));
        Colour named = colour_by_name(text.substr(open + 1, close - open - 1));
        if (named.fg < 0) {
            // Not a colour: the backquote is text, and the next one may open a name.
            put('`');
            text.remove_prefix(open + 1);
            continue;
        }
        set_colour(named);
        text.remove_prefix(close + 1);
    }
}

void Output::vprintf(const char* format, va_list* args, bool utf8) {
    if (!format) return;
    std::string_view rest(format);
    while (!rest.empty()) {
        auto percent = rest.find('%');
        literal(rest.substr(0, percent), utf8);
        if (percent == std::string_view::npos) return;
        rest.remove_prefix(percent + 1);
        if (!rest.empty() && rest.front() == '%') {
            put('%');
            rest.remove_prefix(1);
            continue;
        }
        Conversion c;
        std::size_t used = parse_conversion(rest, args, c);
        if (used == 0) {
            put('%');
            continue;
        }
        if (c.kind == 's' && c.length != 'l') {
            // A door's string goes out as it is, however long: never copied.
            const char* value = va_arg(*args, const char*);
            std::string_view shown(value ? value : "(null)");
            if (c.precision >= 0 && value)
                shown = std::string_view(value,
                                         ::strnlen(value, static_cast<std::size_t>(c.precision)));
            auto pad = static_cast<int>(std::max<long long>(
                c.width - static_cast<long long>(std::min<std::size_t>(shown.size(), max_field)),
                0));
            if (!c.left) repeat(' ', pad);
            if (utf8)
                utf8_text(shown);
            else
                text(shown);
            if (c.left) repeat(' ', pad);
        } else {
            std::string value = convert(c, args);
            if (utf8)
                utf8_text(value);
            else
                text(value);
        }
        rest.remove_prefix(used);
    }
}

void Output::aside(Colour before, const std::function<void()>& draw) {
    raw(save_cursor_sequence);
    draw();
    raw(restore_cursor_sequence);
    forget_colour(); // the restore may or may not have brought the colour back
    set_colour(before);
}

} // namespace od
