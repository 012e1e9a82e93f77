// Keys: bytes from the caller turned into keys, with the codes od_key gives.
#pragma once

#include "charset.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <vector>

namespace od {

struct Key {
    enum Kind { Char, Enter, Backspace, Escape, Other };
    Kind kind;
    unsigned char byte; // the CP437 character; for Enter the byte that brought it
    int code = 0;       // what od_key returns; 0 for a key it drops
    int mods = 0;       // OD_MOD_SHIFT, OD_MOD_ALT, OD_MOD_CTRL held with it
};

// Enter arrives as CR, LF, CR LF, CR NUL or LF NUL: each is one press, also
// when its second byte comes in a later read. Cursor and function keys in
// the forms terminals send become one Other key with its OD_KEY_ code (or 0
// for one without); modified keys give the plain key, the modifiers in mods.
// A UTF-8 caller's character becomes its CP437 byte, or an Other key with
// code 0. An Escape followed, before the give-up, by a printable byte is
// that byte with Alt (ESC a, as urxvt, st, PuTTY, kitty and tmux send
// Alt+a); one followed by another control byte is an Escape key; one
// followed at once by a whole cursor or editing sequence is that key with
// Alt, as urxvt and PuTTY send it.
class KeyDecoder {
  public:
    explicit KeyDecoder(Charset charset = Charset::Utf8);
    // The caller's character set by name: UTF-8, CP437 (the default for an
    // empty or unknown name), US-ASCII (read as UTF-8), or an 8-bit set
    // iconv knows, whose upper half is taken to CP437.
    explicit KeyDecoder(const std::string& charset, IconvOpen opener = ::iconv_open);
    void set_charset(const std::string& charset, IconvOpen opener = ::iconv_open);

    void feed(unsigned char byte, std::vector<Key>& keys);

    // Part of a sequence (or of a UTF-8 character) has arrived and waits for
    // the rest. When nothing more comes for a short while, the caller gives
    // it up: its bytes come out as the keys they are (a lone Escape, then
    // '[' and so on).
    bool holds_partial() const;
    void give_up(std::vector<Key>& keys);

    // Cursor position reports (ESC [ row ; col R), oldest first; they are no
    // keys. ESC [ 1 ; n R is Shift- or Ctrl-F3 unless reports are expected;
    // the count of those left unanswered stays, so a late answer is no key.
    void expect_reports(int count) { expected_reports_ = count; }
    bool take_report(int& row, int& col);
    int reports() const { return report_count_; }
    void drop_reports() { report_count_ = 0; }
    // A device-attributes answer (ESC [ ? ... c, ESC [ = ... c) arrived since
    // the last look; it is no key.
    bool take_attributes();
    // Whether such an answer counts now (the default); one that comes while
    // off is dropped, and changes nothing.
    void accept_attributes(bool accepted) { attributes_accepted_ = accepted; }

    // 0x7F is Delete for a caller whose Backspace is 0x08 (SyncTERM and
    // other CTerm-style terminals), else Backspace (xterm, PuTTY). Only the
    // terminal's device-attributes answer decides: a Ctrl-H typed on xterm
    // is 0x08 too, and must not turn its Backspace into Delete.
    bool del_is_delete() const;

    // The library has put the caller's cursor keys in normal mode (ESC [ A),
    // so an ESC O arrow is one sent with Ctrl (PuTTY).
    void set_cursor_normal(bool normal) { cursor_normal_ = normal; }

  private:
    enum class State { Ground, AfterCr, AfterLf, Escape, Csi, LinuxFKey, Utf8 };
    enum class Input { Cp437, Utf8, Table };
    enum class Answer { None, CTerm, Other };
    static constexpr std::size_t max_held = 16, max_params = 8, max_reports = 4;

    void ground(unsigned char byte, std::vector<Key>& keys);
    void upper_half(unsigned char byte, std::vector<Key>& keys);
    void start_sequence(unsigned char byte);
    void csi(unsigned char byte, std::vector<Key>& keys);
    void end_csi(unsigned char final, std::vector<Key>& keys);
    void end_ss3(unsigned char final, std::vector<Key>& keys);
    void escape(unsigned char byte, std::vector<Key>& keys);
    void push_sequence_key(Key key, std::vector<Key>& keys);
    void end_sequence();
    void attributes();
    void utf8(unsigned char byte, std::vector<Key>& keys);
    void release_utf8(std::vector<Key>& keys);
    void hold(unsigned char byte);
    int param(std::size_t i) const {
        return i < std::min(param_count_, max_params) ? params_[i] : 0;
    }

    Input input_ = Input::Utf8;
    std::array<unsigned char, 128> upper_{}; // Table: the caller's 0x80-0xFF in CP437, 0 for none
    State state_ = State::Ground;

    // The bytes of the partial sequence, kept to give it up; a longer one is
    // given up as one dropped key.
    std::array<unsigned char, max_held> held_{};
    std::size_t held_len_ = 0;
    bool held_cut_ = false;

    bool ss3_ = false;
    bool alt_ = false;         // an Escape came before the sequence's own
    unsigned char marker_ = 0; // '?', '=', '>' or '<' opening a terminal's answer
    std::array<int, max_params> params_{};
    std::size_t param_count_ = 0; // saturates one past max_params

    int utf8_left_ = 0;
    char32_t utf8_char_ = 0;
    unsigned char utf8_low_ = 0x80, utf8_high_ = 0xbf; // the next byte's range

    std::array<std::array<int, 2>, max_reports> reports_{};
    int report_count_ = 0;
    int expected_reports_ = 0;
    bool attributes_ = false;
    bool attributes_accepted_ = true;
    Answer answer_ = Answer::None;
    bool cursor_normal_ = false;
};

} // namespace od
