// Output: the buffer the caller's text collects in, colour state and mark-up.
#pragma once

#include "charset.h"

#include <cstdarg>
#include <string>
#include <string_view>

namespace od {

// Colour numbers are the PC text-mode palette: 0-7 dark, 8-15 bright.
struct Colour {
    int fg;
    int bg;
};

// A mark-up name ("bright cyan", "yellow on blue"), any case; nullopt-like -1
// foreground when the name is unknown.
Colour colour_by_name(std::string_view name);

// The shortest SGR sequence that takes the terminal from `from` to `to`;
// from.fg < 0 means the terminal's colour is not known yet.
std::string sgr_change(Colour from, Colour to);

class Output {
  public:
    explicit Output(bool ansi, const std::string& charset = {}) : ansi_(ansi), encoder_(charset) {}

    void text(std::string_view bytes);
    void put(unsigned char byte);
    void repeat(unsigned char byte, int times);
    void set_colour(Colour colour);
    void clear_screen();

    // printf-style formatting; mark-up is honoured in the format text only.
    void vprintf(const char* format, va_list* args);

    bool ansi() const { return ansi_; }
    const std::string& pending() const { return buffer_; }
    void discard() { buffer_.clear(); }

  private:
    void literal(std::string_view text);
    bool ansi_;
    Encoder encoder_;
    Colour current_{-1, -1};
    std::string buffer_;
};

} // namespace od
