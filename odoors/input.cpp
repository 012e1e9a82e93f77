#include "input.h"

#include "output.h"

#include <algorithm>

namespace od {
namespace {

constexpr unsigned char cr = '\r', lf = '\n', nul = 0, esc = 0x1b;

bool is_control(unsigned char b) {
    return b < 0x20;
}

} // namespace

void KeyDecoder::ground(unsigned char byte, std::vector<Key>& keys) {
    state_ = State::Ground;
    if (byte == cr || byte == lf) {
        keys.push_back({Key::Enter, byte});
        state_ = byte == cr ? State::AfterCr : State::AfterLf;
    } else if (byte == 8 || byte == 127) {
        keys.push_back({Key::Backspace, byte});
    } else if (byte == esc) {
        state_ = State::Escape;
    } else if (byte >= 0xc2 && byte <= 0xf4) {
        utf8_left_ = byte >= 0xf0 ? 3 : byte >= 0xe0 ? 2 : 1;
        state_ = State::Utf8;
    } else {
        keys.push_back({Key::Char, byte});
    }
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
        if (byte == '[')
            state_ = State::CsiFirst;
        else if (byte == 'O')
            state_ = State::Ss3;
        else if (byte == esc)
            keys.push_back({Key::Escape, esc}); // the second may start a sequence
        else {
            keys.push_back({Key::Escape, esc});
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
        } else if (byte >= 0x40 && byte <= 0x7e) {
            keys.push_back({Key::Other, byte});
            state_ = State::Ground;
        } else if (byte > 0x7e) {
            state_ = State::Ground;
        }
        return;
    case State::Ss3:
    case State::LinuxFKey:
        if (is_control(byte)) {
            ground(byte, keys);
        } else {
            keys.push_back({Key::Other, byte});
            state_ = State::Ground;
        }
        return;
    case State::Utf8:
        if (byte >= 0x80 && byte <= 0xbf) {
            if (--utf8_left_ == 0) {
                keys.push_back({Key::Other, byte});
                state_ = State::Ground;
            }
            return;
        }
        keys.push_back({Key::Other, byte}); // a cut sequence still counts as one key
        ground(byte, keys);
        return;
    }
}

void KeyDecoder::escape_alone(std::vector<Key>& keys) {
    if (state_ != State::Escape) return;
    keys.push_back({Key::Escape, esc});
    state_ = State::Ground;
}

LineEditor::LineEditor(int max_len, int min_code, int max_code)
    : max_len_(static_cast<std::size_t>(std::max(max_len, 0))),
      // NUL would end the line early; Backspace and Delete always edit.
      min_code_(std::max(min_code, 1)), max_code_(std::min(max_code, 255)) {}

bool LineEditor::apply(const Key& key, Output& echo) {
    switch (key.kind) {
    case Key::Enter: echo.text("\n\r"); return true;
    case Key::Backspace:
        if (!line_.empty()) {
            line_.pop_back();
            echo.text("\b \b");
        }
        return false;
    case Key::Char:
        if (key.byte == 8 || key.byte == 127) return false;
        if (key.byte < min_code_ || key.byte > max_code_ || line_.size() >= max_len_) return false;
        line_ += static_cast<char>(key.byte);
        echo.put(key.byte);
        return false;
    case Key::Escape:
    case Key::Other: return false;
    }
    return false;
}

} // namespace od
