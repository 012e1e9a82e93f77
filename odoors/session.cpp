#include "session.h"

#include "input.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>
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

// A signal as a sysop knows it: the numbers differ between systems.
std::string signal_name(int signo) {
    switch (signo) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGQUIT: return "SIGQUIT";
    case SIGUSR1: return "SIGUSR1";
    case SIGUSR2: return "SIGUSR2";
    case SIGALRM: return "SIGALRM";
    case SIGVTALRM: return "SIGVTALRM";
    case SIGPROF: return "SIGPROF";
    case SIGXCPU: return "SIGXCPU";
    default: return "signal " + std::to_string(signo);
    }
}

// The door's callback runs once, whatever ends the call after it. Its input
// calls work for a grace of their own after a time or inactivity end, and
// return at once after a hang-up or a signal; a second SIGHUP, SIGTERM or
// SIGINT meanwhile ends the door at once.
void begin_end(tODSession& s, int reason) {
    if (s.end_reason) return;
    s.end_reason = reason;
    s.gone = s.gone || reason == OD_END_HANGUP || reason == OD_END_SIGNAL;
    if (!od_control.od_on_end) return;
    s.grace_end = Clock::now() + end_grace;
    s.in_on_end = true;
    // Ready before it is needed: a signal handler can only write it.
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - s.started);
    std::string last_line =
        s.log.line(std::string("end: ") + reason_name(reason) +
                   ", then a second signal in the end callback, exit level 10, after " +
                   std::to_string(seconds.count()) + " s");
    s.connection.end_callback_runs(true, s.log.fd(), &last_line);
    od_control.od_on_end(reason);
    s.connection.end_callback_runs(false);
    s.in_on_end = false;
}

// What is on the screen stays up for `seconds` or until a key (telnet
// commands and window changes are none); false when the caller hangs up or
// a signal ends the wait.
bool hold_screen(tODSession& s, int seconds) {
    auto end = Clock::now() + std::chrono::seconds(seconds);
    std::string bytes;
    for (;;) {
        int left = milliseconds_until(end);
        if (left == 0) return true;
        bytes.clear();
        auto event = s.connection.receive(bytes, left);
        if (event == Connection::Event::HangUp) return false;
        if (event == Connection::Event::TimedOut || !bytes.empty()) return true;
    }
}

constexpr const char* time_up_notice = "Your time is up; back to the BBS.";
constexpr const char* inactive_notice = "No key pressed for too long; back to the BBS.";

// The library ends the call itself. A BBS clears the screen or redraws its
// menu the moment the door is gone, so the reason stays up for a while; a key
// ends the pause, a hang-up ends the door at once.
[[noreturn]] void end_call(tODSession& s, int reason, std::string_view why) {
    begin_end(s, reason);
    say_at_end(s, why);
    flush(s);
    if (!hold_screen(s, 3)) hang_up(s);
    log_end(s, 10);
    s.connection.restore();
    std::exit(10);
}

// The door draws the warning itself. On an ANSI screen the cursor and the
// colour go back to where the door's wait left them; a plain caller's line
// being typed is shown again after whatever the door printed.
// Input calls inside the hook return at once (a key of 0), and no warning
// nests in it: the door's wait, its field and its redraw stay as they were.
// What the hook draws may go out in several flushes, so the cursor is saved
// before it starts, and the save dropped when it drew nothing.
void warn_through_door(tODSession& s, int reason, int seconds) {
    flush(s);
    Colour before = s.output.colour();
    bool ansi = s.output.ansi();
    if (ansi) s.output.raw(save_cursor_sequence);
    auto sends = s.sends;
    bool held = s.timers.warnings_held();
    s.timers.hold_warnings(true);
    s.in_warning = true;
    od_control.od_on_warn(reason, seconds);
    s.in_warning = false;
    s.timers.hold_warnings(held);
    if (s.sends == sends && s.output.pending() == (ansi ? save_cursor_sequence : "")) {
        s.output.discard();
        return;
    }
    if (!ansi) {
        if (s.redraw) s.redraw(s.output);
        return;
    }
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
    if (status_shown(s)) return; // it counts down in the status line
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

// A sequence (or an Escape alone) that stopped arriving for a moment is
// given up: its bytes are the keys they are.
bool take_lone_escape(tODSession& s) {
    if (!s.timers.escape_due()) return false;
    s.timers.drop_escape();
    std::vector<Key> decoded;
    s.decoder.give_up(decoded);
    if (s.keys.size() + decoded.size() <= max_queued_keys)
        s.keys.insert(s.keys.end(), decoded.begin(), decoded.end());
    return true;
}

void on_deadline(tODSession& s) {
    if (take_lone_escape(s)) return;
    switch (auto which = s.timers.expired()) {
    case Timers::Expired::TimeLeft: end_call(s, OD_END_TIME, time_up_notice);
    case Timers::Expired::Inactivity: end_call(s, OD_END_INACTIVE, inactive_notice);
    case Timers::Expired::WarnTimeLeft:
    case Timers::Expired::WarnInactivity: warn(s, which); break;
    case Timers::Expired::None: break;
    }
}

// Keys go to the queue; cursor reports wait in the decoder only while
// od_probe asks for them.
bool take_bytes(tODSession& s, const std::string& bytes) {
    // A sequence held from an earlier read goes on: bytes that waited while
    // the door was busy may well have come at once, and only a wait that
    // finds nothing more gives the sequence up.
    bool reports = take_input(s.decoder, s.keys, bytes, s.probing) > 0;
    if (s.decoder.holds_partial())
        s.timers.hold_escape(); // a sequence's start, or an Escape alone
    else
        s.timers.drop_escape();
    return reports;
}

// Drops every key that has arrived and not been read (a window change is
// still followed); false when the caller has hung up. The reads are bounded:
// a caller who keeps typing cannot hold the door here.
bool drop_unread_input(tODSession& s) {
    std::erase_if(s.keys, [](const Key& key) { return key.code != OD_KEY_RESIZE; });
    std::vector<Key> partial;
    s.decoder.give_up(partial);
    s.timers.drop_escape();
    std::string waiting;
    for (int reads = 0; reads < 64; ++reads) {
        waiting.clear();
        auto event = s.connection.receive(waiting, 0);
        if (event == Connection::Event::HangUp) return false;
        if (event == Connection::Event::TimedOut) break;
        if (event == Connection::Event::Resized || s.connection.take_resized()) follow_size(s);
    }
    return true;
}

// What a hang-up or signal (0: the line dropped) ends the call as.
int hang_up_reason(int signo) {
    return signo && signo != SIGHUP ? OD_END_SIGNAL : OD_END_HANGUP;
}

} // namespace

tODSession& session() {
    if (!od_control.od_session) od_init();
    return *od_control.od_session;
}

void say_at_end(tODSession& s, std::string_view text) {
    Size screen{od_control.od_rows, od_control.od_cols};
    if (status_shown(s)) {
        StatusClock clock;
        clock.final_words = text;
        s.status.refresh(s.output, screen, clock);
        end_screen(s);
        // The BBS's next text starts below the door's screen, not inside it.
        s.output.sequence(goto_sequence(screen.rows, 1, screen));
        return;
    }
    s.output.set_colour({7, 0});
    if (!s.output.ansi()) {
        s.output.text("\n\r");
        s.output.text(text);
        s.output.text("\n\r");
        return;
    }
    // The last column is left alone: a terminal that wraps there would
    // scroll the screen.
    s.output.sequence(
        goto_sequence(od_control.od_rows, 1, {od_control.od_rows, od_control.od_cols}));
    s.output.sequence(clear_eol_sequence);
    s.output.text(text.substr(0, static_cast<std::size_t>(std::max(od_control.od_cols - 1, 0))));
    end_screen(s);
    s.output.sequence(goto_sequence(screen.rows, 1, screen));
}

void end_screen(tODSession& s) {
    s.status.release(s.output, false); // the whole screen scrolls again; the line stays
    s.output.set_colour({7, 0});
    s.output.sequence(cursor_sequence(true));
}

bool status_shown(const tODSession& s) {
    return s.status.active() && s.output.ansi() && od_control.od_rows >= 2;
}

bool ends_as_hang_up(int signo) {
    return signo == 0 || signo == SIGHUP || signo == SIGTERM || signo == SIGINT;
}

bool hold_last_screen(tODSession& s) {
    if (s.gone || s.end_reason || s.linger_seconds <= 0 || s.connection.signalled()) return true;
    int seconds = std::min(s.linger_seconds, s.timers.inactivity_seconds());
    if (int left = s.timers.seconds_left(); left >= 0) seconds = std::min(seconds, left);
    // Keys typed before the last screen showed (an Enter after a hot key)
    // must not end the hold at once.
    bool held = drop_unread_input(s);
    if (held && seconds > 0) held = hold_screen(s, seconds);
    if (held) return true;
    // The door had ended: its end callback is not called for this.
    int signo = s.connection.signalled() ? s.connection.ending_signal() : 0;
    s.end_reason = hang_up_reason(signo);
    s.gone = true;
    return false;
}

void log_end(tODSession& s, int level, int signo) {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - s.started);
    std::string why = reason_name(s.end_reason);
    // A signal after a time or inactivity end only cuts its pause short.
    if (signo && (s.end_reason == OD_END_HANGUP || s.end_reason == OD_END_SIGNAL))
        why += " " + signal_name(signo);
    std::string how = level < 0 ? "without od_exit" : "exit level " + std::to_string(level);
    s.log.write("end: " + why + ", " + how + ", after " + std::to_string(seconds.count()) + " s");
}

[[noreturn]] void hang_up(tODSession& s) {
    int signo = s.connection.signalled() ? s.connection.ending_signal() : 0;
    s.output.discard();
    begin_end(s, hang_up_reason(signo));
    s.output.discard(); // what the callback printed goes nowhere
    bool hang_up_signal = ends_as_hang_up(signo);
    log_end(s, hang_up_signal ? 10 : 128 + signo, signo);
    if (!hang_up_signal) s.connection.end_by_signal(signo);
    s.connection.restore();
    std::exit(10);
}

void flush(tODSession& s) {
    if (s.output.pending().empty()) return;
    if (s.gone) {
        s.output.discard();
        return;
    }
    // Keys that came before the door's first screen were typed at the BBS
    // (an Enter after the hot key that started the door): they answer
    // nothing the door asks.
    if (!s.first_sent) {
        s.first_sent = true;
        if (!drop_unread_input(s)) {
            s.gone = true;
            if (!s.in_on_end) hang_up(s);
            return;
        }
    }
    bool sent = s.connection.send(s.output.pending());
    s.output.discard();
    if (sent) {
        ++s.sends;
        return;
    }
    // A caller who reads too slowly ends the call as the time or the
    // inactivity limit would, with its notice where it still goes out.
    if (!s.end_reason && !s.in_on_end) {
        if (s.connection.failure() == Connection::Failure::TimeUp)
            end_call(s, OD_END_TIME, time_up_notice);
        if (s.connection.failure() == Connection::Failure::Stalled) {
            s.connection.set_call_end(Clock::now()); // the notice waits no second limit
            end_call(s, OD_END_INACTIVE, inactive_notice);
        }
    }
    s.gone = true;
    if (!s.in_on_end) hang_up(s); // the callback's own code runs on
}

bool input_closed(const tODSession& s) {
    return s.in_on_end && (s.gone || Clock::now() >= s.grace_end);
}

void follow_size(tODSession& s) {
    Size window = s.connection.window();
    if (window.known()) window = clamp_size(window);
    auto size = changed_size({od_control.od_rows, od_control.od_cols}, window);
    if (!size) return;
    od_control.od_rows = size->rows;
    od_control.od_cols = size->cols;
    // One redraw serves any number of changes the door has not seen yet.
    bool queued = std::any_of(s.keys.begin(), s.keys.end(),
                              [](const Key& key) { return key.code == OD_KEY_RESIZE; });
    if (!queued) s.keys.push_back({Key::Other, 0, OD_KEY_RESIZE});
}

void update_size(tODSession& s) {
    Size size = clamp_size(choose_size(s.connection.window(), s.drop_size));
    od_control.od_rows = size.rows;
    od_control.od_cols = size.cols;
}

void refresh_status(tODSession& s) {
    StatusClock clock;
    clock.seconds_left = s.timers.seconds_left();
    if (s.timers.idle_warned()) clock.idle_seconds = s.timers.seconds_idle_left();
    if (s.timers.time_warned()) clock.warn_seconds = clock.seconds_left;
    s.status.refresh(s.output, {od_control.od_rows, od_control.od_cols}, clock);
}

bool wait_once(tODSession& s, std::optional<Clock::time_point> until, bool& report) {
    if (!s.in_on_end) refresh_status(s);
    flush(s);
    if (input_closed(s)) return false;
    s.timers.set_warning(od_control.od_warn_seconds);
    // The call's own deadlines are past in the end callback: only its grace counts.
    int timeout = s.in_on_end ? milliseconds_until(s.grace_end) : s.timers.poll_timeout();
    // A status line's clock counts down a second at a time.
    if (status_shown(s) && !s.in_on_end) timeout = timeout < 0 ? 1000 : std::min(timeout, 1000);
    if (s.in_on_end && s.timers.escape_timeout() >= 0)
        timeout = std::min(timeout, s.timers.escape_timeout());
    if (until) {
        int left = milliseconds_until(*until);
        timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    std::string bytes;
    switch (s.connection.receive(bytes, timeout)) {
    case Connection::Event::HangUp:
        if (!s.in_on_end) hang_up(s);
        s.gone = true;
        return false;
    case Connection::Event::Resized: follow_size(s); break;
    case Connection::Event::TimedOut:
        if (s.in_on_end)
            take_lone_escape(s);
        else
            on_deadline(s);
        break;
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
    if (s.in_warning) return std::nullopt; // no input inside the warning hook
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
    while (s.keys.empty() || input_closed(s)) {
        if (input_closed(s)) return std::nullopt;
        if (looked && until && Clock::now() >= *until) return std::nullopt;
        looked = true;
        wait_once(s, until, report);
    }
    // A burst of window changes is one redraw: size changes that have
    // already arrived join this one before the door draws for it.
    for (int reads = 0; reads < 64 && s.keys.front().code == OD_KEY_RESIZE; ++reads) {
        Size was{od_control.od_rows, od_control.od_cols};
        auto queued = s.keys.size();
        wait_once(s, Clock::now(), report);
        if (input_closed(s)) return std::nullopt;
        if (s.keys.size() == queued && was.rows == od_control.od_rows &&
            was.cols == od_control.od_cols)
            break;
    }
    Key key = s.keys.front();
    s.keys.pop_front();
    return key;
}

} // namespace od
