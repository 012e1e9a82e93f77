#include "status.h"

#include <algorithm>
#include <string>

namespace od {
namespace {

constexpr Colour line_colour{0, 3};     // black on cyan
constexpr Colour warning_colour{15, 4}; // bright white on red

std::string seconds(int n) {
    return std::to_string(n) + (n == 1 ? " second" : " seconds");
}

std::string scroll_region(int rows) {
    return "\x1b[1;" + std::to_string(rows) + "r";
}

} // namespace

void StatusLine::set(std::string_view text) {
    text_.assign(text.substr(0, max_text));
    for (char& c : text_)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    drawn_.clear();
}

std::string StatusLine::clock_words(const StatusClock& clock, bool& warning) {
    warning = true;
    if (!clock.final_words.empty()) return clock.final_words;
    if (clock.idle_seconds >= 0) return "Press a key within " + seconds(clock.idle_seconds);
    if (clock.warn_seconds >= 0) return seconds(clock.warn_seconds) + " left";
    warning = false;
    if (clock.seconds_left < 0) return {};
    return std::to_string((clock.seconds_left + 59) / 60) + " min left";
}

std::string StatusLine::compose(std::string_view text, std::string_view clock, int cols) {
    auto width = static_cast<std::size_t>(std::max(cols - 1, 0));
    clock = clock.substr(0, width);
    std::size_t room = width - clock.size();
    // A blank on each side of the text, and one between it and the clock.
    std::string row = " " + std::string(text);
    if (!clock.empty()) row.resize(std::min(row.size(), room > 0 ? room - 1 : 0));
    row.resize(room, ' ');
    return row + std::string(clock);
}

void StatusLine::refresh(Output& out, Size screen, const StatusClock& clock) {
    if (!active() || !out.ansi() || screen.rows < 2) return;
    bool warning = false;
    std::string words = clock_words(clock, warning);
    std::string row = compose(text_, words, screen.cols);
    std::string key = row + (warning ? "!" : "");
    bool moved = screen.rows != region_.rows || screen.cols != region_.cols;
    if (!moved && key == drawn_) return;
    drawn_ = key;
    Colour before = out.colour();
    out.aside(before, [&] {
        // Setting the region homes the cursor on some terminals: it goes
        // inside the saved position.
        if (moved) out.raw(scroll_region(screen.rows - 1));
        region_ = screen;
        out.raw(goto_sequence(screen.rows, 1, screen));
        std::size_t clock_at = row.size() - std::min(words.size(), row.size());
        out.set_colour(line_colour);
        out.text(std::string_view(row).substr(0, clock_at));
        out.set_colour(warning ? warning_colour : line_colour);
        out.text(std::string_view(row).substr(clock_at));
        out.set_colour(line_colour);
        out.raw(clear_eol_sequence); // the last column, in the line's colour
    });
}

void StatusLine::release(Output& out, bool remove) {
    if (region_.rows > 0 && out.ansi()) {
        out.aside(out.colour(), [&] {
            out.raw("\x1b[r");
            if (remove) {
                out.raw(goto_sequence(region_.rows, 1, region_));
                out.set_colour({7, 0});
                out.raw(clear_eol_sequence);
            }
        });
    }
    region_ = {};
    drawn_.clear();
    if (remove) text_.clear();
}

} // namespace od
