// The public calls for keys and editing.
#include "editor.h"
#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>
#include <vector>

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

constexpr int max_fields = 64;

// The columns from a field's start to the row's end.
int room_at(int col) {
    return std::max(od_control.od_cols - std::clamp(col, 1, od_control.od_cols) + 1, 1);
}

// The fields of od_form, each its own editor, and the caller's way between them.
struct Form {
    tODSession& s;
    tODField* fields;
    std::vector<std::string> starts;
    std::vector<od::FieldEditor> editors;
    int at = 0;

    void place(int i) {
        s.output.sequence(od::goto_sequence(fields[i].row, fields[i].col,
                                            {od_control.od_rows, od_control.od_cols}));
    }
    // Shows field i with the cursor in it; a plain caller gets its label on
    // a line of its own.
    void enter(int i) {
        at = i;
        if (!s.output.ansi()) {
            if (fields[i].label) s.output.text(fields[i].label);
        } else {
            place(i);
        }
        editors[static_cast<std::size_t>(i)].draw(s.output);
    }
    void draw_all() {
        for (std::size_t i = 0; i < editors.size(); ++i) {
            place(static_cast<int>(i));
            editors[i].fit(fields[i].col - 1, room_at(fields[i].col), s.output);
        }
        place(at);
        editors[static_cast<std::size_t>(at)].fit(fields[at].col - 1, room_at(fields[at].col),
                                                  s.output);
    }
    void move(int to) {
        if (!s.output.ansi()) s.output.text("\n\r");
        enter((to + static_cast<int>(editors.size())) % static_cast<int>(editors.size()));
    }
    void restore() {
        for (std::size_t i = 0; i < editors.size(); ++i) copy_out(fields[i].buffer, starts[i]);
    }
};

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
        if (key.kind == od::Key::Escape && set.find('\x1b') != std::string_view::npos)
            return '\x1b';
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

int od_form(tODField* fields, int count, int* current) {
    auto& s = session();
    if (!fields || count < 1 || count > max_fields || s.in_warning) return 0;
    for (int i = 0; i < count; ++i)
        if (!fields[i].buffer || fields[i].max_len < 0) return 0;
    Form form{s, fields, {}, {}, 0};
    form.editors.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const tODField& f = fields[i];
        form.starts.emplace_back(f.buffer,
                                 ::strnlen(f.buffer, static_cast<std::size_t>(f.max_len)));
        od::FieldEditor::Style style{f.how.width, static_cast<unsigned char>(f.how.mask),
                                     f.how.allowed, room_at(f.col)};
        form.editors.emplace_back(form.starts.back(), f.max_len, style, s.output.ansi());
    }
    int first = current ? std::clamp(*current, 0, count - 1) : 0;
    if (s.output.ansi()) {
        for (int i = 0; i < count; ++i) form.enter(i);
    }
    form.enter(first);
    s.redraw = [&form](od::Output&) { form.enter(form.at); };
    int ended = 0;
    while (!ended) {
        auto key = next_key(s);
        if (!key) { // input closed in the end callback: as Escape
            form.restore();
            ended = 27;
            break;
        }
        if (is_resize(*key)) {
            if (s.output.ansi()) form.draw_all();
            continue;
        }
        auto& editor = form.editors[static_cast<std::size_t>(form.at)];
        int done = editor.apply(*key, s.output);
        copy_out(fields[form.at].buffer, editor.text());
        switch (done) {
        case 0: break;
        case 27:
            form.restore();
            ended = 27;
            break;
        case '\r':
            if (form.at == count - 1)
                ended = '\r';
            else
                form.move(form.at + 1);
            break;
        case 9:
        case OD_KEY_DOWN: form.move(form.at + 1); break;
        default: form.move(form.at - 1); break; // Shift-Tab, Up
        }
    }
    if (!s.output.ansi()) s.output.text("\n\r");
    s.redraw = nullptr;
    if (current) *current = form.at;
    return ended;
}

} // extern "C"
