// The field editor: any keys on any field keep the text within its length
// and its allowed characters, the cursor within the text, Escape brings the
// start back, and a screen without ANSI never gets an escape byte.
#include "OpenDoor.h"
#include "editor.h"
#include "output.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    int max_len = data[0] % 40;
    od::FieldEditor::Style style{data[1] % 50,
                                 static_cast<unsigned char>(data[2] & 1 ? '*' : data[1]),
                                 data[2] & 2 ? "abc123" : nullptr, data[2] >> 3};
    bool ansi = data[2] & 4;
    std::string start(reinterpret_cast<const char*>(data + 3),
                      std::min<std::size_t>(data[3] % 8, size - 4));
    std::size_t at = 4 + start.size();
    od::FieldEditor editor(start, max_len, style, ansi);
    od::Output out(ansi);
    editor.draw(out);
    std::string first = editor.text();
    for (; at + 1 < size; at += 2) {
        int code = data[at] | (data[at + 1] & 1) << 8; // characters and OD_KEY_ codes
        od::Key key{od::Key::Other, data[at], code};
        int ended = editor.apply(key, out);
        if (editor.text().size() > static_cast<std::size_t>(max_len)) std::abort();
        if (editor.cursor() > editor.text().size()) std::abort();
        if (ended == 27 && editor.text() != first) std::abort();
        if (ended) break;
    }
    if (style.allowed)
        for (std::size_t i = 0; i < editor.text().size(); ++i)
            if (!std::strchr(style.allowed, editor.text()[i]) &&
                first.find(editor.text()[i]) == std::string::npos)
                std::abort();
    if (!ansi && out.pending().find('\x1b') != std::string::npos) std::abort();
    return 0;
}
