#include "keys.h"

#include "OpenDoor.h"

namespace od {
namespace {

constexpr unsigned char cr = '\r', lf = '\n', nul = 0, esc = 0x1b;

bool is_control(unsigned char b) {
    return b < 0x20;
}

// ESC [ n ~ as VT220, xterm, PuTTY and rxvt send it.
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

// The final byte of ESC [ or ESC O alone; the ANSI-BBS forms (SyncTERM's
// End, Page Up and Down, Insert) are among them.
int final_key(unsigned char final, bool ss3) {
    switch (final) {
    case 'A': return OD_KEY_UP;
    case 'B': return OD_KEY_DOWN;
    case 'C': return OD_KEY_RIGHT;
    case 'D': return OD_KEY_LEFT;
    case 'H': return OD_KEY_HOME;
    case 'F': return OD_KEY_END;
    case 'P': return ss3 ? OD_KEY_F1 : 0;
    case 'Q': return ss3 ? OD_KEY_F2 : 0;
    case 'R': return ss3 ? OD_KEY_F3 : 0;
    case 'S': return ss3 ? OD_KEY_F4 : 0;
    case 'K': return ss3 ? 0 : OD_KEY_END;
    case 'V': return ss3 ? 0 : OD_KEY_PGUP;
    case 'U': return ss3 ? 0 : OD_KEY_PGDN;
    case '@': return ss3 ? 0 : OD_KEY_INSERT;
    case 'M': return ss3 ? '\r' : 0; // the keypad's Enter
    default: return 0;
    }
}

} // namespace

void KeyDecoder::ground(unsigned char byte, std::vector<Key>& keys) {
    state_ = State::Ground;
    if (byte == cr || byte == lf) {
        keys.push_back({Key::Enter, byte, '\r'});
        state_ = byte == cr ? State::AfterCr : State::AfterLf;
    } else if (byte == 8 || byte == 127) {
        keys.push_back({Key::Backspace, byte, 8});
    } else if (byte == esc) {
        state_ = State::Escape;
    } else if (utf8_ && byte >= 0xc2 && byte <= 0xf4) {
        utf8_left_ = byte >= 0xf0 ? 3 : byte >= 0xe0 ? 2 : 1;
        utf8_char_ = byte & (byte >= 0xf0 ? 0x07 : byte >= 0xe0 ? 0x0f : 0x1f);
        state_ = State::Utf8;
    } else if (utf8_ && byte >= 0x80) {
        keys.push_back({Key::Other, byte, 0}); // no UTF-8 starts so
    } else {
        keys.push_back({Key::Char, byte, byte});
    }
}

void KeyDecoder::end_csi(unsigned char final, std::vector<Key>& keys) {
    state_ = State::Ground;
    // Shift-F3 on xterm is ESC [ 1 ; 2 R; a report from a far corner is not.
    if (final == 'R' && separators_ == 1 && param_ > 1 && param2_ > 0) {
        report_row_ = param_;
        report_col_ = param2_;
        return;
    }
    int code = final == '~' ? tilde_key(param_) : final_key(final, false);
    keys.push_back({Key::Other, final, code});
}

bool KeyDecoder::take_report(int& row, int& col) {
    if (report_row_ == 0) return false;
    row = report_row_;
    col = report_col_;
    report_row_ = report_col_ = 0;
    return true;
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
    case State::Escape:
        param_ = -1;
        param2_ = 0;
        separators_ = 0;
        if (byte == '[')
            state_ = State::CsiFirst;
        else if (byte == 'O')
            state_ = State::Ss3;
        else if (byte == esc)
            keys.push_back({Key::Escape, esc, esc}); // the second may start a sequence
        else {
            keys.push_back({Key::Escape, esc, esc});
            ground(byte, keys);
        }
        return;
    case State::CsiFirst:
        if (byte == '[') { // the Linux console's F1 to F5: ESC [ [ A
            state_ = State::LinuxFKey;
            return;
        }
        state_ = State::Csi;
        [[fallthrough]];
    case State::Csi:
        if (is_control(byte)) {
            ground(byte, keys);
        } else if (byte >= '0' && byte <= '9') {
            if (separators_ == 0) param_ = (param_ < 0 ? 0 : param_ % 1000 * 10) + (byte - '0');
            if (separators_ == 1) param2_ = param2_ % 1000 * 10 + (byte - '0');
        } else if (byte == ';') {
            ++separators_; // modifiers (Shift, Ctrl) do not change the key
        } else if (byte >= 0x40 && byte <= 0x7e) {
            end_csi(byte, keys);
        } else if (byte > 0x7e) {
            state_ = State::Ground;
        }
        return;
    case State::Ss3:
    case State::LinuxFKey:
        if (is_control(byte)) {
            ground(byte, keys);
            return;
        }
        if (state_ == State::LinuxFKey)
            keys.push_back(
                {Key::Other, byte, byte >= 'A' && byte <= 'E' ? OD_KEY_F1 + byte - 'A' : 0});
        else if (int code = final_key(byte, true); code == '\r')
            keys.push_back({Key::Enter, cr, code});
        else
            keys.push_back({Key::Other, byte, code});
        state_ = State::Ground;
        return;
    case State::Utf8:
        if (byte >= 0x80 && byte <= 0xbf) {
            utf8_char_ = (utf8_char_ << 6) | (byte & 0x3f);
            if (--utf8_left_ == 0) {
                unsigned char cp437 = unicode_to_cp437(utf8_char_);
                if (cp437 >= 0x80)
                    keys.push_back({Key::Char, cp437, cp437});
                else
                    keys.push_back({Key::Other, byte, 0}); // no CP437 form (or an overlong form)
                state_ = State::Ground;
            }
            return;
        }
        keys.push_back({Key::Other, byte, 0}); // a cut sequence still counts as one key
        ground(byte, keys);
        return;
    }
}

void KeyDecoder::escape_alone(std::vector<Key>& keys) {
    if (state_ != State::Escape) return;
    keys.push_back({Key::Escape, esc, esc});
    state_ = State::Ground;
}

} // namespace od
