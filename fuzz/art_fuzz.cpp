// The file reader: whatever the file holds, what is shown is a prefix of it
// without its SAUCE, the renderer ends, a line's columns stay within its
// bytes, and a caller without ANSI never gets an escape byte.
#include "art.h"
#include "output.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view file(reinterpret_cast<const char*>(data), size);
    std::string_view shown = od::without_sauce(file);
    if (shown.size() > file.size() || file.substr(0, shown.size()) != shown) std::abort();
    if (shown.find('\x1a') != std::string_view::npos) std::abort();
    // Building an ASCII encoder asks iconv 128 times: once is enough.
    static od::Output ansi_out(true, "UTF-8"), plain_out(false, "US-ASCII");
    for (bool ansi : {true, false}) {
        od::Output& out = ansi ? ansi_out : plain_out;
        out.discard();
        out.forget_colour();
        od::TextRenderer text(shown);
        std::size_t lines = 0;
        for (;;) {
            // A tab is the widest byte: eight columns.
            std::size_t columns = text.next_line_columns();
            if (columns > 8 * shown.size() || od::screen_rows(columns, 80) < 1) std::abort();
            if (!text.line(out)) break;
            if (++lines > shown.size() + 1) std::abort(); // no line without a byte
        }
        (void)out.column(80); // the cursor's column follows any bytes
        if (!ansi && out.pending().find('\x1b') != std::string::npos) std::abort();
    }
    return 0;
}
