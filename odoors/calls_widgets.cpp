// The public calls for the list and the status line.
#include "list.h"
#include "session.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

using od::next_key;
using od::session;

namespace {

constexpr int max_items = 100000;
constexpr std::size_t max_item_length = 1024;
constexpr int max_end_keys = 64;

// The bottom row a list may reach: the one above a status line.
int list_bottom(const tODSession& s) {
    return od_control.od_rows - (s.status.active() && s.output.ansi() ? 1 : 0);
}

od::Region region_for(const tODSession& s, const tODList* how) {
    tODList none{};
    const tODList& h = how ? *how : none;
    return od::list_region(h.top, h.left, h.rows, h.cols, {od_control.od_rows, od_control.od_cols},
                           list_bottom(s));
}

int pick_from_view(tODSession& s, const std::vector<std::string_view>& items, int& selected,
                   const std::vector<int>& keys, const tODList* how) {
    od::Colour normal = s.output.colour();
    od::ListView view(items, selected, region_for(s, how), keys, normal);
    s.output.sequence(od::cursor_sequence(false));
    view.draw(s.output);
    // A warning line of the library's stays up until the next key.
    bool stale = false;
    s.redraw = [&stale](od::Output&) { stale = true; };
    bool door_redraws = std::find(keys.begin(), keys.end(), OD_KEY_RESIZE) != keys.end();
    int ended = 0;
    while (!ended) {
        auto key = next_key(s);
        if (!key) { // input closed in the end callback
            ended = 27;
            break;
        }
        if (stale || (key->code == OD_KEY_RESIZE && !door_redraws)) {
            view.move_to(region_for(s, how), s.output);
            stale = false;
            if (key->code == OD_KEY_RESIZE && !door_redraws) continue;
        }
        ended = view.apply(*key, s.output);
    }
    s.redraw = nullptr;
    s.output.set_colour(normal);
    s.output.sequence(od::cursor_sequence(true));
    selected = view.selected();
    return ended;
}

int pick_by_number(tODSession& s, const std::vector<std::string_view>& items, int& selected,
                   const std::vector<int>& keys) {
    od::NumberedList numbered(items, selected, std::max(od_control.od_rows - 1, 1),
                              od_control.od_cols, keys);
    numbered.start(s.output);
    s.redraw = [&numbered](od::Output& out) { numbered.redraw(out); };
    int ended = 0;
    while (!ended) {
        auto key = next_key(s);
        if (!key) {
            ended = 27;
            break;
        }
        if (key->code != OD_KEY_RESIZE) ended = numbered.apply(*key, s.output);
    }
    s.redraw = nullptr;
    selected = numbered.selected();
    return ended;
}

} // namespace

extern "C" {

int od_list(const char* const* items, int count, int* selected, const tODList* how) {
    auto& s = session();
    std::vector<std::string_view> list;
    for (int i = 0; items && i < std::min(count, max_items); ++i)
        list.emplace_back(items[i] ? items[i] : "",
                          items[i] ? ::strnlen(items[i], max_item_length) : 0);
    std::vector<int> keys;
    for (int i = 0; how && how->keys && how->keys[i] && i < max_end_keys; ++i)
        keys.push_back(how->keys[i]);
    int pick = selected ? *selected : 0;
    int ended = s.output.ansi() ? pick_from_view(s, list, pick, keys, how)
                                : pick_by_number(s, list, pick, keys);
    if (selected) *selected = pick;
    return ended;
}

void od_status(const char* text) {
    auto& s = session();
    std::string_view line(text ? text : "", text ? ::strnlen(text, od::StatusLine::max_text) : 0);
    if (line.empty()) {
        if (s.status.active()) s.status.release(s.output, true);
        return;
    }
    s.status.set(line);
    od::refresh_status(s);
}

} // extern "C"
