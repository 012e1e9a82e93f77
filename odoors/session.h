// The session: the library's state for one call, the one wait for input
// with its deadlines, and the ways a call ends. The public calls in the
// calls_*.cpp files and control.cpp are built on it.
#pragma once

#include "OpenDoor.h"
#include "connection.h"
#include "keys.h"
#include "log.h"
#include "output.h"
#include "screen.h"
#include "status.h"
#include "timer.h"

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct tODSession {
    od::Connection connection;
    od::Output output{true};
    od::StatusLine status;
    od::KeyDecoder decoder;
    std::deque<od::Key> keys;
    od::Timers timers;
    od::Log log;
    od::Size drop_size;
    od::Clock::time_point started = od::Clock::now();
    std::function<void(od::Output&)> redraw; // the line being edited, shown again after a warning
    int end_reason = 0;                      // set once the library has begun to end the call
    bool charset_named = false;              // by the sysop or the drop file: the probe keeps it
    bool probing = false;                    // od_probe waits: only now is a cursor report taken
    bool in_on_end = false;                  // the door's end callback runs
    bool gone = false; // the caller is gone or a signal ends the call: nothing more in or out
    od::Clock::time_point grace_end{}; // input inside the end callback works until then
    int linger_seconds = 0;            // ODOORS_LINGER: the last screen stays up this long
    bool first_sent = false;           // keys typed before the first screen are dropped there
    bool in_warning = false;           // the od_on_warn hook runs: input calls return at once
    unsigned long sends = 0;           // flushes that sent something
    int key_mods = 0;                  // of the last key od_key returned
    std::string charset_name;          // as named, for an 8-bit set other than CP437
    // What od_list_wait's rows showed when it timed out, and the moment
    // (region, sends, pending output) they are good for.
    std::vector<std::string> list_rows;
    std::string list_moment;
};

namespace od {

// The session, with od_init() run first when the door has not.
tODSession& session();

// Sends what is pending; a caller who is gone ends the door.
void flush(tODSession& s);

// The caller is gone, or a signal ends the door: nothing more is written,
// the terminal is put back.
[[noreturn]] void hang_up(tODSession& s);

// At a normal end, with ODOORS_LINGER, the last screen stays up for its
// seconds (never past the time left or the inactivity limit) or until a key
// pressed after it showed; never once the caller is gone, a signal has come
// or the library ends the call itself. False when a hang-up or a signal
// ended the hold: end_reason then says which.
bool hold_last_screen(tODSession& s);

// The library's own line as it ends a call: on an ANSI screen the bottom
// row, cleared, never scrolling; on a plain one a line of its own. The one
// place that decides where it goes, a status line included.
void say_at_end(tODSession& s, std::string_view text);

// What an ANSI screen gets back at the end of any call: the cursor, which
// the door may have hidden, the whole screen as the scrolling region, and
// plain grey on black, so that the BBS's next text is not in the door's
// colour.
void end_screen(tODSession& s);

// SIGHUP, SIGTERM, SIGINT (or none: the line dropped) end a call as a
// hang-up, with exit level 10; other signals end it as they would have.
bool ends_as_hang_up(int signo);

// The log's line for the end of the call (level < 0: the door ended
// without od_exit).
void log_end(tODSession& s, int level, int signo = 0);

// How long input calls inside the end callback work after a time or
// inactivity end.
inline constexpr auto end_grace = std::chrono::seconds(60);

// Inside the end callback, input calls return at once after a hang-up or a
// signal, and once the grace has passed.
bool input_closed(const tODSession& s);

// od_rows and od_cols from the first source that knows them.
void update_size(tODSession& s);

// The link reports a new window: od_rows and od_cols follow it, and when
// they change an OD_KEY_RESIZE key is queued (one at a time).
void follow_size(tODSession& s);

// The status line as it should stand now: the time left, a warning
// counting down.
void refresh_status(tODSession& s);

// A status line is set and the screen can show it: ANSI, two rows or more.
// Where it cannot, warnings and the end line go out as without one.
bool status_shown(const tODSession& s);

// One wait for input; false when `until` has passed. The call's own
// deadlines act inside it; `report` turns true when the terminal told its
// size.
bool wait_once(tODSession& s, std::optional<Clock::time_point> until, bool& report);

// The next key, waiting at most wait_ms (negative: as long as the call
// lasts); none once input is closed.
std::optional<Key> next_key(tODSession& s, int wait_ms = -1);

} // namespace od
