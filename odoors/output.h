// Output: the buffer the caller's text collects in, colour state and mark-up.
#pragma once

#include "charset.h"

#include <cstdarg>
#include <functional>
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

// Follows the column the caller's cursor stands in, from the bytes sent: a
// field drawn at the cursor is kept to what is left of its row. Unknown at
// first and after a move it cannot follow, until a CR or an absolute move.
// A CR is taken as the row's start, also inside a (broken) sequence.
class CursorColumn {
  public:
    // utf8: a continuation byte takes no column.
    void feed(std::string_view bytes, bool utf8);
    // The column from 0 on a screen `cols` wide; -1 when unknown, or when
    // the text may have reached the row's end since it began.
    int column(int cols) const;

  private:
    void control(unsigned char byte);
    void final_byte(unsigned char byte);
    void place(int col);
    void advance(int by);
    enum class State { Text, Escape, Csi } state_ = State::Text;
    int col_ = -1, peak_ = -1; // peak: the furthest since the last placement
    int saved_ = -1, saved_peak_ = -1;
    int params_[2] = {0, 0};
    int count_ = 0;
};

class Output {
  public:
    explicit Output(bool ansi, const std::string& charset = {}) : ansi_(ansi), encoder_(charset) {}

    void text(std::string_view bytes);
    void put(unsigned char byte);
    void repeat(unsigned char byte, int times);
    void set_colour(Colour colour);
    void clear_screen();

    // Text in UTF-8, in the caller's set: as it is to a UTF-8 caller
    // (invalid bytes as '?'), else each character as CP437 has it, or '?'.
    void utf8_text(std::string_view bytes);

    // printf-style formatting; mark-up is honoured in the format text only.
    // utf8: the format and its values are UTF-8 text, not CP437.
    void vprintf(const char* format, va_list* args, bool utf8 = false);

    // Output goes out as it is made: once the buffer holds chunk_size bytes,
    // `send` (the session's flush) takes them, so that memory stays flat
    // whatever a door prints. Without it the buffer waits for the caller.
    static constexpr std::size_t chunk_size = 16384;
    void on_full(std::function<void()> send) { on_full_ = std::move(send); }

    // Bytes as they are, whatever the screen.
    void raw(std::string_view bytes) {
        buffer_ += bytes;
        full();
    }
    // Control sequences as they are, for an ANSI screen only.
    void sequence(std::string_view bytes) {
        if (ansi_) buffer_ += bytes;
    }
    // The colour in force; grey on black until one is set.
    Colour colour() const { return current_.fg < 0 ? Colour{7, 0} : current_; }
    // Sequences sent as they are may have changed the colour.
    void forget_colour() { current_ = {-1, -1}; }
    // Draws out of the way of what is on the screen: the cursor goes back
    // where it was afterwards, and the colour to `before`.
    void aside(Colour before, const std::function<void()>& draw);
    // A probe found that the terminal understands ANSI after all.
    void set_ansi(bool ansi) { ansi_ = ansi; }
    // A probe found that the terminal speaks UTF-8.
    void set_charset(const std::string& charset) { encoder_ = Encoder(charset); }
    Charset charset() const { return encoder_.charset(); }

    bool ansi() const { return ansi_; }
    const std::string& pending() const { return buffer_; }
    void discard() {
        follow();
        buffer_.clear();
        followed_ = 0;
    }
    // The cursor's column from 0, as CursorColumn gives it.
    int column(int cols) {
        follow();
        return cursor_.column(cols);
    }

  private:
    void literal(std::string_view text, bool utf8);
    void follow();
    void full();
    std::function<void()> on_full_;
    bool sending_ = false;
    bool ansi_;
    Encoder encoder_;
    Colour current_{-1, -1};
    std::string buffer_;
    CursorColumn cursor_;
    std::size_t followed_ = 0; // the bytes of buffer_ the cursor has followed
};

} // namespace od
