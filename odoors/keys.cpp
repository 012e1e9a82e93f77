#include "keys.h"

#include "OpenDoor.h"

#include <algorithm>

namespace od {
namespace {

constexpr unsigned char cr = '\r', lf = '\n', nul = 0, esc = 0x1b;

// Bytes that cut a sequence short: C0 controls, DEL and the upper half.
bool cuts_sequence(unsigned char b) {
    return b < 0x20 || b >= 0x7f;
}

// ESC [ n ~ as VT220, xterm, PuTTY and rxvt send it; rxvt's $, ^ and @
// finals (Shift, Ctrl, both) mean the same key.
int tilde_key(int n) {
    switch (n) {
    case 1:
    case 7: return OD_KEY_HOME;
    case 2: return OD_KEY_INSERT;
    case 3: return OD_KEY_DELETE;
    case 4:
    case 8: return OD_KEY_END;
    case 5: return OD_KEY_PGUP;
    case 6: return OD_KEY_PGDN;
    case 23: return OD_KEY_F11;
    case 24: return OD_KEY_F12;
    default: break;
    }
    if (n >= 11 && n <= 15) return OD_KEY_F1 + n - 11;
    if (n >= 17 && n <= 21) return OD_KEY_F6 + n - 17;
    return 0;
}

// xterm's modifier parameter (ESC [ 1 ; m C): m is 1 plus Shift 1, Alt 2,
// Ctrl 4 and Meta 8, which counts as Alt.
int xterm_mods(int m) {
    if (m < 2 || m > 16) return 0;
    int bits = m - 1;
    return (bits & (OD_MOD_SHIFT | OD_MOD_ALT | OD_MOD_CTRL)) | ((bits & 8) ? OD_MOD_ALT : 0);
}

// Finals that mean the same key after ESC [ and ESC O; lower-case a-d are
// rxvt's Shift (CSI) and Ctrl (SS3) arrows.
int arrow_or_home(unsigned char final) {
    switch (final) {
    case 'A':
    case 'a': return OD_KEY_UP;
    case 'B':
    case 'b': return OD_KEY_DOWN;
    case 'C':
    case 'c': return OD_KEY_RIGHT;
    case 'D':
    case 'd': return OD_KEY_LEFT;
    case 'H': return OD_KEY_HOME;
    case 'F': return OD_KEY_END;
    default: return 0;
    }
}

// The application keypad's ESC O finals and the characters they stand for.
char keypad_char(unsigned char final) {
    if (final >= 'p' && final <= 'y') return static_cast<char>('0' + final - 'p');
    switch (final) {
    case 'n': return '.';
    case 'j': return '*';
    case 'k': return '+';
    case 'm': return '-';
    case 'o': return '/';
    case 'X': return '=';
    case 'l': return ',';
    default: return 0;
    }
}

// Decodes a short UTF-8 text to its one character; 0 when it is not one.
char32_t only_character(const std::string& text) {
    if (text.empty()) return 0;
    auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = lead < 0x80    ? 1
                         : lead >= 0xf0 ? 4
                         : lead >= 0xe0 ? 3
                         : lead >= 0xc0 ? 2
                                        : 0;
    if (length == 0 || text.size() != length) return 0;
    char32_t ch = length == 1 ? lead : lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i)
        ch = (ch << 6) | (static_cast<unsigned char>(text[i]) & 0x3f);
    return ch;
}

} // namespace

KeyDecoder::KeyDecoder(Charset charset)
    : input_(charset == Charset::Cp437 ? Input::Cp437 : Input::Utf8) {}

KeyDecoder::KeyDecoder(const std::string& charset, IconvOpen opener) {
    set_charset(charset, opener);
}

void KeyDecoder::set_charset(const std::string& charset, IconvOpen opener) {
    switch (charset_by_name(charset)) {
    case Charset::Cp437: input_ = Input::Cp437; return;
    case Charset::Utf8:
    case Charset::Ascii: input_ = Input::Utf8; return;
    case Charset::Other: break;
    }
    // The table is built once, as the output's is; a set iconv does not know
    // is CP437, as it is for the output.
    iconv_t cd = open_iconv("UTF-8", charset.c_str(), opener);
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        input_ = Input::Cp437;
        return;
    }
    ::iconv_close(cd);
    input_ = Input::Table;
    for (int b = 0x80; b < 0x100; ++b) {
        char byte = static_cast<char>(b);
        std::string text = convert(std::string_view(&byte, 1), charset.c_str(), "UTF-8", opener);
        char32_t ch = text == "?" ? 0 : only_character(text); // '?': iconv had none
        upper_[b - 0x80] = ch >= 0x80 ? unicode_to_cp437(ch) : static_cast<unsigned char>(ch);
    }
}

void KeyDecoder::hold(unsigned char byte) {
    if (held_len_ < held_.size())
        held_[held_len_++] = byte;
    else
        held_cut_ = true;
}

// A byte from 0x80 up that is no part of a UTF-8 character.
void KeyDecoder::upper_half(unsigned char byte, std::vector<Key>& keys) {
    unsigned char cp437 = input_ == Input::Cp437   ? byte
                          : input_ == Input::Table ? upper_[byte - 0x80]
                                                   : 0;
    if (cp437)
        keys.push_back({Key::Char, cp437, cp437});
    else
        keys.push_back({Key::Other, byte, 0});
}

void KeyDecoder::ground(unsigned char byte, std::vector<Key>& keys) {
    end_sequence();
    if (byte == cr || byte == lf) {
        keys.push_back({Key::Enter, byte, '\r'});
        state_ = byte == cr ? State::AfterCr : State::AfterLf;
    } else if (byte == 8) {
        keys.push_back({Key::Backspace, byte, 8});
    } else if (byte == 127) {
        if (del_is_delete())
            keys.push_back({Key::Other, byte, OD_KEY_DELETE});
        else
            keys.push_back({Key::Backspace, byte, 8});
    } else if (byte == esc) {
        hold(byte);
        state_ = State::Escape;
    } else if (byte >= 0xc2 && byte <= 0xf4 && input_ != Input::Table) {
        // A UTF-8 lead; in CP437 it may also be a character of its own,
        // which the next byte tells.
        hold(byte);
        utf8_left_ = byte >= 0xf0 ? 3 : byte >= 0xe0 ? 2 : 1;
        utf8_char_ = byte & (byte >= 0xf0 ? 0x07 : byte >= 0xe0 ? 0x0f : 0x1f);
        // The second byte's range rules out overlong forms, surrogates and
        // characters past U+10FFFF.
        utf8_low_ = byte == 0xe0 ? 0xa0 : byte == 0xf0 ? 0x90 : 0x80;
        utf8_high_ = byte == 0xed ? 0x9f : byte == 0xf4 ? 0x8f : 0xbf;
        state_ = State::Utf8;
    } else if (byte >= 0x80) {
        upper_half(byte, keys);
    } else {
        keys.push_back({Key::Char, byte, byte});
    }
}

void KeyDecoder::utf8(unsigned char byte, std::vector<Key>& keys) {
    if (byte < utf8_low_ || byte > utf8_high_) {
        release_utf8(keys);
        ground(byte, keys);
        return;
    }
    hold(byte);
    utf8_char_ = (utf8_char_ << 6) | (byte & 0x3f);
    utf8_low_ = 0x80;
    utf8_high_ = 0xbf;
    if (--utf8_left_ > 0) return;
    unsigned char cp437 = unicode_to_cp437(utf8_char_);
    if (cp437 >= 0x80)
        keys.push_back({Key::Char, cp437, cp437});
    else
        keys.push_back({Key::Other, byte, 0}); // no CP437 form
    state_ = State::Ground;
    held_len_ = 0;
}

// A UTF-8 character that did not come whole: in CP437 its bytes are CP437
// characters; from a UTF-8 caller it is one dropped key.
void KeyDecoder::release_utf8(std::vector<Key>& keys) {
    if (input_ == Input::Cp437)
        for (std::size_t i = 0; i < held_len_; ++i) keys.push_back({Key::Char, held_[i], held_[i]});
    else
        keys.push_back({Key::Other, held_len_ ? held_[0] : nul, 0});
    state_ = State::Ground;
    held_len_ = 0;
}

void KeyDecoder::start_sequence(unsigned char byte) {
    hold(byte);
    ss3_ = byte == 'O';
    marker_ = 0;
    params_ = {};
    param_count_ = 0;
    state_ = State::Csi;
}

void KeyDecoder::end_sequence() {
    state_ = State::Ground;
    held_len_ = 0;
    held_cut_ = false;
    alt_ = false;
}

// The byte after an Escape.
void KeyDecoder::escape(unsigned char byte, std::vector<Key>& keys) {
    if (byte == '[' || byte == 'O') {
        start_sequence(byte);
    } else if (byte == esc) {
        // Alt's prefix, or Escape pressed twice: what follows tells. Of three
        // in a row, the first is a press.
        if (alt_)
            keys.push_back({Key::Escape, esc, esc});
        else
            hold(byte);
        alt_ = true;
    } else if (byte >= 0x20 && byte < 0x7f) {
        // Alt+letter as most terminals send it; an Escape typed by hand
        // comes alone, given up before the letter.
        if (alt_) keys.push_back({Key::Escape, esc, esc});
        end_sequence();
        keys.push_back({Key::Char, byte, byte, OD_MOD_ALT});
    } else {
        if (alt_) keys.push_back({Key::Escape, esc, esc});
        keys.push_back({Key::Escape, esc, esc});
        ground(byte, keys); // a further Escape may start a sequence
    }
}

// A sequence's key; after Alt's Escape prefix, a cursor or editing key
// takes Alt, and any other stays apart from the Escape pressed before it.
void KeyDecoder::push_sequence_key(Key key, std::vector<Key>& keys) {
    if (alt_ && key.code > 255)
        key.mods |= OD_MOD_ALT;
    else if (alt_)
        keys.push_back({Key::Escape, esc, esc});
    end_sequence();
    keys.push_back(key);
}

void KeyDecoder::csi(unsigned char byte, std::vector<Key>& keys) {
    if (cuts_sequence(byte)) { // what came so far is dropped; the byte counts
        if (alt_) keys.push_back({Key::Escape, esc, esc});
        ground(byte, keys);
        return;
    }
    bool first = held_len_ == (alt_ ? 3u : 2u) && !held_cut_;
    hold(byte);
    if (first && byte == '[' && !ss3_) { // the Linux console's F1 to F5: ESC [ [ A
        state_ = State::LinuxFKey;
    } else if (byte >= '0' && byte <= '9') {
        if (param_count_ == 0) param_count_ = 1;
        if (param_count_ <= max_params) {
            int& p = params_[param_count_ - 1];
            p = std::min(p * 10 + (byte - '0'), 99999); // saturates, however long
        }
    } else if (byte == ';') {
        if (param_count_ == 0) param_count_ = 1;
        if (param_count_ <= max_params) ++param_count_;
    } else if (first && byte >= '<' && byte <= '?' && !ss3_) {
        marker_ = byte;
    } else if (byte == '$' && !ss3_) { // rxvt's Shift-Home and the like: ESC [ 7 $
        end_csi(byte, keys);
    } else if (byte >= 0x40) {
        if (ss3_)
            end_ss3(byte, keys);
        else
            end_csi(byte, keys);
    }
    // other intermediate bytes change nothing we read
}

void KeyDecoder::attributes() {
    if (!attributes_accepted_) return;
    attributes_ = true;
    // SyncTERM and other CTerm-style terminals: ESC [ = 67;84;101;114;109;... c ("CTerm").
    bool cterm = marker_ == '=' && param_count_ >= 5 && param(0) == 'C' && param(1) == 'T' &&
                 param(2) == 'e' && param(3) == 'r' && param(4) == 'm';
    answer_ = cterm ? Answer::CTerm : Answer::Other;
}

void KeyDecoder::end_csi(unsigned char final, std::vector<Key>& keys) {
    // Shift-F3 on xterm is ESC [ 1 ; 2 R; a report from the top row only
    // while one is expected (also late, after the probe gave up waiting).
    // No key has modifier 1.
    bool report = final == 'R' && param_count_ == 2 && param(0) > 0 && param(1) > 0 &&
                  (param(0) > 1 || param(1) == 1 || expected_reports_ > 0);
    if (marker_ || report) { // a terminal's answer, never a key
        if (alt_) keys.push_back({Key::Escape, esc, esc});
        end_sequence();
        if (marker_ && final == 'c') attributes();
        if (!marker_ && report_count_ < static_cast<int>(max_reports))
            reports_[report_count_++] = {param(0), param(1)};
        if (!marker_ && expected_reports_ > 0) --expected_reports_;
        return;
    }
    Key key{Key::Other, final, 0, param_count_ >= 2 ? xterm_mods(param(1)) : 0};
    int& code = key.code;
    bool numbered = param_count_ > 0;
    int only = param_count_ == 1 ? param(0) : 0; // the one number, 0 with none
    switch (final) {
    case '~': code = tilde_key(param(0)); break;
    case '$': // rxvt's finals: $ Shift, ^ Ctrl, @ both
        code = tilde_key(param(0));
        key.mods |= OD_MOD_SHIFT;
        break;
    case '^':
        code = tilde_key(param(0));
        key.mods |= OD_MOD_CTRL;
        break;
    case '@':
        code = numbered ? tilde_key(param(0)) : OD_KEY_INSERT;
        if (numbered) key.mods |= OD_MOD_SHIFT | OD_MOD_CTRL;
        break;
    case 'P': code = numbered ? OD_KEY_F1 : OD_KEY_DELETE; break; // st's Delete is ESC [ P
    case 'Q':
    case 'R':
    case 'S': code = numbered ? OD_KEY_F1 + final - 'P' : 0; break;
    case 'h': code = only == 4 ? OD_KEY_INSERT : 0; break; // st's Insert
    case 'Z': code = OD_KEY_SHIFT_TAB; break;
    // The ANSI-BBS forms, as SyncTERM sends them; st's forms with a
    // modifier (ESC [ J is its Ctrl-End, ESC [ 2 J its Shift-Home).
    case 'K': // a CTerm's End; st's Shift-End
        code = only == 2 ? OD_KEY_DELETE : numbered ? 0 : OD_KEY_END;
        if (only == 2 || (!numbered && answer_ != Answer::CTerm)) key.mods |= OD_MOD_SHIFT;
        break;
    case 'V': code = OD_KEY_PGUP; break;
    case 'U': code = OD_KEY_PGDN; break;
    case 'J':
        code = only == 2 ? OD_KEY_HOME : numbered ? 0 : OD_KEY_END;
        key.mods |= only == 2 ? OD_MOD_SHIFT : OD_MOD_CTRL;
        break;
    case 'L': // st's Ctrl-Insert, Ctrl-Delete and Shift-Insert
    case 'M':
        code = numbered ? 0 : final == 'L' ? OD_KEY_INSERT : OD_KEY_DELETE;
        key.mods |= OD_MOD_CTRL;
        break;
    case 'l':
        code = only == 4 ? OD_KEY_INSERT : 0;
        key.mods |= OD_MOD_SHIFT;
        break;
    default:
        code = arrow_or_home(final);
        if (final >= 'a' && final <= 'd') key.mods |= OD_MOD_SHIFT;
        break;
    }
    if (code == 0) key.mods = 0;
    push_sequence_key(key, keys);
}

void KeyDecoder::end_ss3(unsigned char final, std::vector<Key>& keys) {
    // Old xterms put the modifier alone: ESC O 2 P.
    int mods = xterm_mods(param(param_count_ >= 2 ? 1 : 0));
    if (final == 'M') {
        push_sequence_key({Key::Enter, cr, '\r'}, keys); // the keypad's Enter
    } else if (char c = keypad_char(final)) {
        push_sequence_key({Key::Char, static_cast<unsigned char>(c), c}, keys);
    } else if (final >= 'P' && final <= 'S') {
        push_sequence_key({Key::Other, final, OD_KEY_F1 + final - 'P', mods}, keys);
    } else if (int code = arrow_or_home(final)) {
        // With the cursor keys in normal mode, a bare ESC O A is PuTTY's Ctrl-Up.
        bool ctrl = final >= 'a' || (cursor_normal_ && param_count_ == 0 && final <= 'D');
        push_sequence_key({Key::Other, final, code, mods | (ctrl ? OD_MOD_CTRL : 0)}, keys);
    } else {
        push_sequence_key({Key::Other, final, 0}, keys);
    }
}

bool KeyDecoder::take_report(int& row, int& col) {
    if (report_count_ == 0) return false;
    row = reports_[0][0];
    col = reports_[0][1];
    std::copy(reports_.begin() + 1, reports_.end(), reports_.begin());
    --report_count_;
    return true;
}

bool KeyDecoder::take_attributes() {
    bool was = attributes_;
    attributes_ = false;
    return was;
}

bool KeyDecoder::del_is_delete() const {
    return answer_ == Answer::CTerm;
}

void KeyDecoder::feed(unsigned char byte, std::vector<Key>& keys) {
    switch (state_) {
    case State::Ground: ground(byte, keys); return;
    case State::AfterCr:
        state_ = State::Ground;
        if (byte == lf || byte == nul) return;
        ground(byte, keys);
        return;
    case State::AfterLf:
        state_ = State::Ground;
        if (byte == nul) return;
        ground(byte, keys);
        return;
    case State::Escape: escape(byte, keys); return;
    case State::Csi: csi(byte, keys); return;
    case State::LinuxFKey:
        if (cuts_sequence(byte)) {
            if (alt_) keys.push_back({Key::Escape, esc, esc});
            ground(byte, keys);
            return;
        }
        push_sequence_key(
            {Key::Other, byte, byte >= 'A' && byte <= 'E' ? OD_KEY_F1 + byte - 'A' : 0}, keys);
        return;
    case State::Utf8: utf8(byte, keys); return;
    }
}

bool KeyDecoder::holds_partial() const {
    return state_ == State::Escape || state_ == State::Csi || state_ == State::LinuxFKey ||
           state_ == State::Utf8;
}

void KeyDecoder::give_up(std::vector<Key>& keys) {
    if (state_ == State::Utf8) {
        release_utf8(keys);
        return;
    }
    if (!holds_partial()) return;
    // ESC [ or ESC O with nothing after it in time: Alt with that key.
    std::size_t prefix = alt_ ? 2 : 1;
    if (!held_cut_ && held_len_ == prefix + 1 && (held_[prefix] == '[' || held_[prefix] == 'O')) {
        if (alt_) keys.push_back({Key::Escape, esc, esc});
        keys.push_back({Key::Char, held_[prefix], held_[prefix], OD_MOD_ALT});
        end_sequence();
        return;
    }
    if (held_cut_) {
        if (alt_) keys.push_back({Key::Escape, esc, esc});
        keys.push_back({Key::Other, esc, 0}); // too long to be anyone's key
    } else {
        for (std::size_t i = 0; i < held_len_; ++i)
            keys.push_back(held_[i] == esc ? Key{Key::Escape, esc, esc}
                                           : Key{Key::Char, held_[i], held_[i]});
    }
    end_sequence();
}

} // namespace od
