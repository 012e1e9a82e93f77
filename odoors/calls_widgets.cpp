// The public calls for the list and the status line.
#include "list.h"
#include "session.h"

#include <algorithm>
#include <chrono>
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
    return od_control.od_rows - (od::status_shown(s) ? 1 : 0);
}

od::Region region_for(const tODSession& s, const tODList* how) {
    tODList none{};
    const tODList& h = how ? *how : none;
    return od::list_region(h.top, h.left, h.rows, h.cols, {od_control.od_rows, od_control.od_cols},
                           list_bottom(s));
}

// The screen as od_list_wait left it: the same region, and nothing sent or
// printed since.
std::string moment(const tODSession& s, const od::Region& r) {
    return std::to_string(r.top) + "," + std::to_string(r.left) + "," + std::to_string(r.rows) +
           "," + std::to_string(r.cols) + "," + std::to_string(s.sends) + "," +
           std::to_string(s.output.pending().size());
}

int pick_from_view(tODSession& s, const std::vector<std::string_view>& items, int& selected,
                   const std::vector<int>& keys, const tODList* how, int wait_ms) {
    od::Colour normal = s.output.colour();
    od::Region region = region_for(s, how);
    od::ListView view(items, selected, region, keys, normal);
    if (!s.list_moment.empty() && s.list_moment == moment(s, region))
        view.assume_shown(std::move(s.list_rows));
    s.list_rows.clear();
    s.list_moment.clear();
    s.output.sequence(od::cursor_sequence(false));
    view.draw(s.output);
    auto until = od::Clock::now() + std::chrono::milliseconds(std::max(wait_ms, 0));
    // A warning line of the library's stays up until the next key.
    bool stale = false;
    s.redraw = [&stale](od::Output&) { stale = true; };
    bool door_redraws = std::find(keys.begin(), keys.end(), OD_KEY_RESIZE) != keys.end();
    int ended = 0;
    bool timed_out = false;
    while (!ended) {
        auto key = next_key(s, wait_ms < 0 ? -1 : od::milliseconds_until(until));
        if (!key && wait_ms >= 0 && !od::input_closed(s)) {
            timed_out = true;
            break;
        }
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
    if (timed_out) {
        s.list_rows = view.shown();
        s.list_moment = moment(s, region_for(s, how));
    }
    return ended;
}

int pick_by_number(tODSession& s, const std::vector<std::string_view>& items, int& selected,
                   const std::vector<int>& keys, const tODList* how) {
    // A page keeps to the list's rows, its prompt on the last, so that the
    // door's heading above it stays on the screen.
    od::Region region = region_for(s, how);
    od::NumberedList numbered(items, selected, std::max(region.rows - 1, 1), od_control.od_cols,
                              keys);
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
    return od_list_wait(items, count, selected, how, -1);
}

int od_list_wait(const char* const* items, int count, int* selected, const tODList* how,
                 int wait_ms) {
    auto& s = session();
    std::vector<std::string_view> list;
    for (int i = 0; items && i < std::min(count, max_items); ++i)
        list.emplace_back(items[i] ? items[i] : "",
                          items[i] ? ::strnlen(items[i], max_item_length) : 0);
    std::vector<int> keys;
    for (int i = 0; how && how->keys && how->keys[i] && i < max_end_keys; ++i)
        keys.push_back(how->keys[i]);
    int pick = selected ? *selected : 0;
    int ended = s.output.ansi() ? pick_from_view(s, list, pick, keys, how, wait_ms)
                                : pick_by_number(s, list, pick, keys, how);
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
