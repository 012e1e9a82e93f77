// The public call for art and text files.
#include "art.h"
#include "session.h"

#include <algorithm>
#include <string>
#include <string_view>

using od::flush;
using od::next_key;
using od::session;

namespace {

// The More prompt between screenfuls; false when the caller stops.
bool more(tODSession& s) {
    static constexpr std::string_view prompt = "-- More: Enter or Space goes on, Q stops --";
    s.output.text(prompt);
    bool go_on = true;
    for (;;) {
        auto key = next_key(s);
        int code = key ? key->code : 'q'; // none once input is closed in the end callback
        if (code == '\r' || code == ' ') break;
        if (code == 'q' || code == 'Q' || code == 'n' || code == 'N' || code == 27) {
            go_on = false;
            break;
        }
    }
    if (s.output.ansi()) {
        s.output.text("\r");
        s.output.sequence(od::clear_eol_sequence);
    } else {
        s.output.text("\r" + std::string(prompt.size(), ' ') + "\r");
    }
    return go_on;
}

} // namespace

extern "C" {

int od_show_file(const char* name, bool paged) {
    auto& s = session();
    auto path = od::pick_file(name ? name : "", s.output.ansi());
    if (!path) return -1;
    auto content = od::read_file(*path);
    if (!content) return -1;
    od::TextRenderer text(od::without_sauce(*content));
    // A long line wraps: the page counts screen rows, the prompt taking the last.
    int used = 0;
    while (!text.at_end()) {
        int rows = paged ? od::screen_rows(text.next_line_columns(), od_control.od_cols) : 0;
        if (paged && used > 0 && used + rows > std::max(od_control.od_rows - 1, 1)) {
            if (!more(s)) return 1;
            used = 0;
        }
        text.line(s.output);
        used += rows;
        if (s.output.pending().size() >= 65536) flush(s); // a big file goes out as it is made
    }
    return 0;
}

} // extern "C"
