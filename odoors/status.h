// The status line: the door's text on the screen's bottom row, with the
// time left and the library's warnings at its right end, kept there while
// the rows above it scroll.
#pragma once

#include "output.h"
#include "screen.h"

#include <string>
#include <string_view>

namespace od {

// What the right end of the line tells; the first that applies wins.
struct StatusClock {
    std::string final_words; // the library's own end of the call
    int idle_seconds = -1;   // an inactivity warning: seconds to press a key
    int warn_seconds = -1;   // a time warning: seconds left
    int seconds_left = -1;   // the time left, -1 with no limit
};

class StatusLine {
  public:
    static constexpr std::size_t max_text = 255;

    // The door's text (control characters shown as '?'); empty: none.
    void set(std::string_view text);
    bool active() const { return !text_.empty(); }

    // Draws the line where it changed since it was last drawn, and keeps
    // the rows above it as the scrolling region. Nothing for a screen
    // without ANSI, nor for one of a single row.
    void refresh(Output& out, Size screen, const StatusClock& clock);
    // The screen was cleared: the next refresh draws the line again.
    void invalidate() { drawn_.clear(); }
    // The line goes: the whole screen scrolls again, and with remove the
    // row is blanked. For the end of the call too, where the row stays.
    void release(Output& out, bool remove);

    // The row for a screen `cols` wide, never its last column: the door's
    // text, cut where the clock needs room, then the clock at the right.
    static std::string compose(std::string_view text, std::string_view clock, int cols);
    // The clock's words, and whether they are a warning.
    static std::string clock_words(const StatusClock& clock, bool& warning);

  private:
    std::string text_;
    std::string drawn_; // the row as last drawn, empty when it must be drawn
    Size region_;       // the screen the scrolling region was set for
};

} // namespace od
