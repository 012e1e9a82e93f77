#include "session.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace od {
namespace {

const char* reason_name(int reason) {
    switch (reason) {
    case OD_END_HANGUP: return "hang-up";
    case OD_END_TIME: return "time up";
    case OD_END_INACTIVE: return "inactivity";
    case OD_END_SIGNAL: return "signal";
    default: return "door";
    }
}

// The door's callback runs once, whatever ends the call after it.
void begin_end(tODSession& s, int reason) {
    if (s.end_reason) return;
    s.end_reason = reason;
    if (od_control.od_on_end) od_control.od_on_end(reason);
}

// The library ends the call itself. A BBS clears the screen or redraws its
// menu the moment the door is gone, so the reason stays up for a while; a key
// ends the pause, a hang-up ends the door at once.
[[noreturn]] void end_call(tODSession& s, int reason, const char* why) {
    begin_end(s, reason);
    s.output.set_colour({7, 0});
    s.output.text(why);
    flush(s);
    auto end = Clock::now() + std::chrono::seconds(3);
    std::string bytes;
    for (;;) {
        int left = milliseconds_until(end);
        if (left == 0) break;
        bytes.clear();
        auto event = s.connection.receive(bytes, left);
        if (event == Connection::Event::HangUp) hang_up(s);
        if (event == Connection::Event::TimedOut || !bytes.empty()) break;
    }
    log_end(s, 10);
    s.connection.restore();
    std::exit(10);
}

// The door draws the warning itself. On an ANSI screen the cursor and the
// colour go back to where the door's wait left them; a plain caller's line
// being typed is shown again after whatever the door printed.
void warn_through_door(tODSession& s, int reason, int seconds) {
    flush(s);
    Colour before = s.output.colour();
    od_control.od_on_warn(reason, seconds);
    if (s.output.pending().empty()) return;
    if (!s.output.ansi()) {
        if (s.redraw) s.redraw(s.output);
        return;
    }
    std::string drawn = s.output.pending();
    s.output.discard();
    s.output.raw(save_cursor_sequence);
    s.output.raw(drawn);
    s.output.raw(restore_cursor_sequence);
    s.output.forget_colour(); // the restore may or may not have brought the colour back
    s.output.set_colour(before);
}

void warn(tODSession& s, Timers::Expired which) {
    s.timers.warned(which);
    bool time = which == Timers::Expired::WarnTimeLeft;
    int seconds = time ? s.timers.seconds_left() : s.timers.seconds_idle_left();
    if (od_control.od_on_warn) {
        warn_through_door(s, time ? OD_END_TIME : OD_END_INACTIVE, seconds);
        return;
    }
    char line[96];
    if (time)
        (void)std::snprintf(line, sizeof line, "\n\rYou have %d seconds left in this call.\n\r",
                            seconds);
    else
        (void)std::snprintf(line, sizeof line,
                            "\n\rPress a key within %d seconds, or the call ends.\n\r", seconds);
    s.output.text(line);
    if (s.redraw) s.redraw(s.output);
}

void on_deadline(tODSession& s) {
    if (s.timers.escape_due()) {
        s.timers.drop_escape();
        std::vector<Key> decoded;
        s.decoder.escape_alone(decoded);
        s.keys.insert(s.keys.end(), decoded.begin(), decoded.end());
        return;
    }
    switch (auto which = s.timers.expired()) {
    case Timers::Expired::TimeLeft:
        end_call(s, OD_END_TIME, "\n\rYour time is up; back to the BBS.\n\r");
    case Timers::Expired::Inactivity:
        end_call(s, OD_END_INACTIVE, "\n\rNo key pressed for too long; back to the BBS.\n\r");
    case Timers::Expired::WarnTimeLeft:
    case Timers::Expired::WarnInactivity: warn(s, which); break;
    case Timers::Expired::None: break;
    }
}

// Keys go to the queue; a cursor report tells the screen's size.
bool take_bytes(tODSession& s, const std::string& bytes) {
    std::vector<Key> decoded;
    for (char c : bytes) s.decoder.feed(static_cast<unsigned char>(c), decoded);
    s.keys.insert(s.keys.end(), decoded.begin(), decoded.end());
    if (s.decoder.holds_escape())
        s.timers.hold_escape(); // the last byte so far: alone, or a sequence's start
    else
        s.timers.drop_escape();
    int rows = 0, cols = 0;
    if (!s.decoder.take_report(rows, cols)) return false;
    od_control.od_rows = rows;
    od_control.od_cols = cols;
    od_control.user_ansi = true;
    s.output.set_ansi(true);
    return true;
}

} // namespace

tODSession& session() {
    if (!od_control.od_session) od_init();
    return *od_control.od_session;
}

void log_end(tODSession& s, int level, int signo) {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - s.started);
    std::string why = reason_name(s.end_reason);
    if (signo) why += " " + std::to_string(signo);
    s.log.write("end: " + why + ", exit level " + std::to_string(level) + ", after " +
                std::to_string(seconds.count()) + " s");
}

[[noreturn]] void hang_up(tODSession& s) {
    int signo = s.connection.signalled() ? s.connection.ending_signal() : 0;
    s.output.discard();
    begin_end(s, signo && signo != SIGHUP ? OD_END_SIGNAL : OD_END_HANGUP);
    s.output.discard(); // what the callback printed goes nowhere
    bool ends_as_hang_up = signo == 0 || signo == SIGHUP || signo == SIGTERM || signo == SIGINT;
    log_end(s, ends_as_hang_up ? 10 : 128 + signo, signo);
    if (!ends_as_hang_up) s.connection.end_by_signal(signo);
    s.connection.restore();
    std::exit(10);
}

void flush(tODSession& s) {
    if (s.output.pending().empty()) return;
    if (s.end_reason == OD_END_HANGUP || s.end_reason == OD_END_SIGNAL) {
        s.output.discard();
        return;
    }
    if (!s.connection.send(s.output.pending())) hang_up(s);
    s.output.discard();
}

void follow_size(tODSession& s) {
    auto size = changed_size({od_control.od_rows, od_control.od_cols}, s.connection.window());
    if (!size) return;
    od_control.od_rows = size->rows;
    od_control.od_cols = size->cols;
    // One redraw serves any number of changes the door has not seen yet.
    bool queued = std::any_of(s.keys.begin(), s.keys.end(),
                              [](const Key& key) { return key.code == OD_KEY_RESIZE; });
    if (!queued) s.keys.push_back({Key::Other, 0, OD_KEY_RESIZE});
}

void update_size(tODSession& s) {
    Size size = choose_size(s.connection.window(), s.drop_size);
    od_control.od_rows = size.rows;
    od_control.od_cols = size.cols;
}

bool wait_once(tODSession& s, std::optional<Clock::time_point> until, bool& report) {
    flush(s);
    s.timers.set_warning(od_control.od_warn_seconds);
    int timeout = s.timers.poll_timeout();
    if (until) {
        int left = milliseconds_until(*until);
        timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    std::string bytes;
    switch (s.connection.receive(bytes, timeout)) {
    case Connection::Event::HangUp: hang_up(s);
    case Connection::Event::Resized: follow_size(s); break;
    case Connection::Event::TimedOut: on_deadline(s); break;
    case Connection::Event::Data:
        if (s.connection.take_resized()) follow_size(s);
        if (bytes.empty()) break; // telnet commands alone are no key press
        s.timers.key_pressed();
        report = take_bytes(s, bytes) || report;
        break;
    }
    return !until || Clock::now() < *until;
}

std::optional<Key> next_key(tODSession& s, int wait_ms) {
    // Warnings are given while the door waits for a key, and only then.
    struct WarningsGiven {
        Timers& timers;
        bool held = timers.warnings_held();
        explicit WarningsGiven(Timers& t) : timers(t) { timers.hold_warnings(false); }
        ~WarningsGiven() { timers.hold_warnings(held); }
        WarningsGiven(const WarningsGiven&) = delete;
        WarningsGiven& operator=(const WarningsGiven&) = delete;
    } given(s.timers);
    std::optional<Clock::time_point> until;
    if (wait_ms >= 0) until = Clock::now() + std::chrono::milliseconds(wait_ms);
    bool report = false;
    bool looked = false;
    while (s.keys.empty()) {
        if (looked && until && Clock::now() >= *until) return std::nullopt;
        looked = true;
        wait_once(s, until, report);
    }
    Key key = s.keys.front();
    s.keys.pop_front();
    return key;
}

} // namespace od
