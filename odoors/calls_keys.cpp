// The public calls for keys and editing.
#include "editor.h"
#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>

using od::milliseconds_until;
using od::next_key;
using od::session;

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

void copy_out(char* buffer, const std::string& text) {
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
}

bool is_resize(const od::Key& key) {
    return key.code == OD_KEY_RESIZE;
}

} // namespace

extern "C" {

int od_key(int wait_ms) {
    auto& s = session();
    auto end = od::Clock::now() + std::chrono::milliseconds(std::max(wait_ms, 0));
    s.key_mods = 0;
    for (;;) {
        auto key = next_key(s, wait_ms < 0 ? -1 : milliseconds_until(end));
        if (!key) return 0;
        if (key->code == 0) continue; // keys without a code are dropped
        s.key_mods = key->mods;
        return key->code;
    }
}

int od_key_mods(void) {
    return session().key_mods;
}

char od_get_answer(const char* keys) {
    auto& s = session();
    std::string_view set(keys ? keys : "");
    if (set.empty()) return '\0';
    for (;;) {
        auto next = next_key(s);
        if (!next) return '\0'; // input closed in the end callback
        od::Key key = *next;
        if (key.kind == od::Key::Enter) {
            // Enter is found as whichever of CR and LF the set lists.
            if (set.find(static_cast<char>(key.byte)) != std::string_view::npos) return key.byte;
            char other = key.byte == '\r' ? '\n' : '\r';
            if (set.find(other) != std::string_view::npos) return other;
            continue;
        }
        if (key.kind != od::Key::Char || key.byte == 0) continue;
        for (char wanted : set)
            if (lower(wanted) == lower(static_cast<char>(key.byte))) return wanted;
    }
}

void od_input_str(char* buffer, int max_len, int min_code, int max_code) {
    auto& s = session();
    if (!buffer || max_len < 0) return;
    od::LineEditor editor(max_len, min_code, max_code);
    buffer[0] = '\0';
    if (s.in_warning) return; // no input inside the warning hook
    s.redraw = [&editor](od::Output& out) { editor.redraw(out); };
    for (auto key = next_key(s); key; key = next_key(s)) {
        if (is_resize(*key)) continue;
        if (editor.apply(*key, s.output)) break;
        copy_out(buffer, editor.line());
    }
    s.redraw = nullptr;
    copy_out(buffer, editor.line());
}

int od_edit(char* buffer, int max_len, const tODEdit* how) {
    auto& s = session();
    if (!buffer || max_len < 0 || s.in_warning) return 0; // no input inside the warning hook
    od::FieldEditor::Style style;
    if (how) style = {how->width, static_cast<unsigned char>(how->mask), how->allowed};
    // Where the column is unknown the field still keeps to the screen's width.
    int col = s.output.column(od_control.od_cols);
    style.room = col >= 0 ? od_control.od_cols - col : od_control.od_cols;
    std::string start(buffer, ::strnlen(buffer, static_cast<std::size_t>(max_len)));
    od::FieldEditor editor(start, max_len, style, s.output.ansi());
    editor.draw(s.output);
    s.redraw = [&editor](od::Output& out) { editor.draw(out); };
    int ended = 0;
    while (!ended) {
        auto key = next_key(s);
        if (!key) { // input closed in the end callback: as Escape
            copy_out(buffer, start);
            ended = 27;
            break;
        }
        if (is_resize(*key)) {
            editor.fit(col, col >= 0 ? std::max(od_control.od_cols - col, 1) : od_control.od_cols,
                       s.output);
            continue;
        }
        ended = editor.apply(*key, s.output);
        copy_out(buffer, editor.text()); // an end callback sees the field as it stands
    }
    s.redraw = nullptr;
    return ended;
}

} // extern "C"
