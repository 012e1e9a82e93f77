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

    // Bytes as they are, whatever the screen.
    void raw(std::string_view bytes) { buffer_ += bytes; }
    // Control sequences as they are, for an ANSI screen only.
    void sequence(std::string_view bytes) {
        if (ansi_) buffer_ += bytes;
    }
    // The colour in force; grey on black until one is set.
    Colour colour() const { return current_.fg < 0 ? Colour{7, 0} : current_; }
    // Sequences sent as they are may have changed the colour.
    void forget_colour() { current_ = {-1, -1}; }
    // A probe found that the terminal understands ANSI after all.
    void set_ansi(bool ansi) { ansi_ = ansi; }
    // A probe found that the terminal speaks UTF-8.
    void set_charset(const std::string& charset) { encoder_ = Encoder(charset); }
    Charset charset() const { return encoder_.charset(); }

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
