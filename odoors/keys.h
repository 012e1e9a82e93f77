// Keys: bytes from the caller turned into keys, with the codes od_key gives.
#pragma once

#include "charset.h"

#include <vector>

namespace od {

struct Key {
    enum Kind { Char, Enter, Backspace, Escape, Other };
    Kind kind;
    unsigned char byte; // the CP437 character; for Enter the byte that brought it
    int code = 0;       // what od_key returns; 0 for a key it drops
};

// Enter arrives as CR, LF, CR LF, CR NUL or LF NUL: each is one press, also
// when its second byte comes in a later read. Cursor and function keys in
// the forms terminals send become one Other key with its OD_KEY_ code (or 0
// for one without). A UTF-8 caller's character becomes its CP437 byte, or an
// Other key with code 0. An Escape followed by a byte that starts no sequence
// is an Escape key.
class KeyDecoder {
  public:
    explicit KeyDecoder(Charset charset = Charset::Utf8) : utf8_(charset != Charset::Cp437) {}
    void feed(unsigned char byte, std::vector<Key>& keys);
    // An Escape has arrived with nothing after it yet: the caller decides,
    // after a short wait, that it was pressed alone.
    bool holds_escape() const { return state_ == State::Escape; }
    void escape_alone(std::vector<Key>& keys);
    // A cursor position report (ESC [ row ; col R) arrived since the last
    // look; it is no key.
    bool take_report(int& row, int& col);

  private:
    enum class State { Ground, AfterCr, AfterLf, Escape, Csi, CsiFirst, Ss3, LinuxFKey, Utf8 };
    void ground(unsigned char byte, std::vector<Key>& keys);
    void end_csi(unsigned char final, std::vector<Key>& keys);
    bool utf8_;
    State state_ = State::Ground;
    int utf8_left_ = 0;
    char32_t utf8_char_ = 0;
    int param_ = -1; // the sequence's first number, -1 while none
    int param2_ = 0;
    int separators_ = 0; // the ';' seen
    int report_row_ = 0, report_col_ = 0;
};

} // namespace od
