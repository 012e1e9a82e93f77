// Input: bytes from the caller turned into keys, and the line editor.
#pragma once

#include <string>
#include <vector>

namespace od {

class Output;

struct Key {
    enum Kind { Char, Enter, Backspace, Escape, Other };
    Kind kind;
    unsigned char byte; // the character; for Enter the byte that brought it
};

// Enter arrives as CR, LF, CR LF, CR NUL or LF NUL: each is one press, also
// when its second byte comes in a later read. Escape sequences from cursor and
// function keys and whole UTF-8 sequences each become one Other key. An
// Escape followed by a byte that starts no sequence is an Escape key.
class KeyDecoder {
  public:
    void feed(unsigned char byte, std::vector<Key>& keys);
    // An Escape has arrived with nothing after it yet: the caller decides,
    // after a short wait, that it was pressed alone.
    bool holds_escape() const { return state_ == State::Escape; }
    void escape_alone(std::vector<Key>& keys);

  private:
    enum class State { Ground, AfterCr, AfterLf, Escape, Csi, CsiFirst, Ss3, LinuxFKey, Utf8 };
    void ground(unsigned char byte, std::vector<Key>& keys);
    State state_ = State::Ground;
    int utf8_left_ = 0;
};

// Collects one line of at most max_len characters whose codes lie within
// [min_code, max_code]; echoes what it takes.
class LineEditor {
  public:
    LineEditor(int max_len, int min_code, int max_code);
    // Returns true once Enter has ended the line.
    bool apply(const Key& key, Output& echo);
    const std::string& line() const { return line_; }

  private:
    std::size_t max_len_;
    int min_code_, max_code_;
    std::string line_;
};

} // namespace od
