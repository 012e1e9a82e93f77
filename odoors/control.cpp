// The control block and the public calls: wiring drop file, connection,
// output, keys, editors, screen, files, timers and the log together.
#include "OpenDoor.h"
#include "art.h"
#include "connection.h"
#include "dropfile.h"
#include "editor.h"
#include "keys.h"
#include "log.h"
#include "output.h"
#include "screen.h"
#include "timer.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

tODControl od_control = [] {
    tODControl c{};
    c.od_rows = 24;
    c.od_cols = 80;
    c.od_warn_seconds = 60;
    return c;
}();

struct tODSession {
    od::Connection connection;
    od::Output output{true};
    od::KeyDecoder decoder;
    std::deque<od::Key> keys;
    od::Timers timers;
    od::Log log;
    od::Size drop_size;
    od::Clock::time_point started = od::Clock::now();
    std::function<void(od::Output&)> redraw; // the line being edited, shown again after a warning
    int end_reason = 0;                      // set once the library has begun to end the call
};

namespace {

const char* program_name() {
#if defined(__GLIBC__)
    return program_invocation_short_name;
#else
    return getprogname();
#endif
}

[[noreturn]] void refuse_to_run(tODSession& s, const std::string& path,
                                const std::string& problem) {
    std::string line = std::string(program_name()) + ": " + path + ": " + problem;
    (void)std::fprintf(stderr, "%s\n", line.c_str());
    s.log.write("refused: " + line);
    std::exit(1);
}

template <std::size_t N> void copy_field(char (&field)[N], const std::string& value) {
    std::memset(field, 0, N);
    std::memcpy(field, value.data(), std::min(value.size(), N - 1));
}

// The sysop's environment variable, else the given value.
std::string setting(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

tODSession& session() {
    if (!od_control.od_session) od_init();
    return *od_control.od_session;
}

const char* reason_name(int reason) {
    switch (reason) {
    case OD_END_HANGUP: return "hang-up";
    case OD_END_TIME: return "time up";
    case OD_END_INACTIVE: return "inactivity";
    case OD_END_SIGNAL: return "signal";
    default: return "door";
    }
}

void log_end(tODSession& s, int level, int signo = 0) {
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(od::Clock::now() - s.started);
    std::string why = reason_name(s.end_reason);
    if (signo) why += " " + std::to_string(signo);
    s.log.write("end: " + why + ", exit level " + std::to_string(level) + ", after " +
                std::to_string(seconds.count()) + " s");
}

// The door's callback runs once, whatever ends the call after it.
void begin_end(tODSession& s, int reason) {
    if (s.end_reason) return;
    s.end_reason = reason;
    if (od_control.od_on_end) od_control.od_on_end(reason);
}

// The caller is gone, or a signal ends the door: nothing more is written,
// the terminal is put back.
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

// The library ends the call itself. A BBS clears the screen or redraws its
// menu the moment the door is gone, so the reason stays up for a while; a key
// ends the pause, a hang-up ends the door at once.
[[noreturn]] void end_call(tODSession& s, int reason, const char* why) {
    begin_end(s, reason);
    s.output.set_colour({7, 0});
    s.output.text(why);
    flush(s);
    auto end = od::Clock::now() + std::chrono::seconds(3);
    std::string bytes;
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(end - od::Clock::now()).count();
        if (left <= 0) break;
        bytes.clear();
        auto event = s.connection.receive(bytes, static_cast<int>(left));
        if (event == od::Connection::Event::HangUp) hang_up(s);
        if (event == od::Connection::Event::TimedOut || !bytes.empty()) break;
    }
    log_end(s, 10);
    s.connection.restore();
    std::exit(10);
}

void update_size(tODSession& s) {
    od::Size size = od::choose_size(s.connection.window(), s.drop_size);
    od_control.od_rows = size.rows;
    od_control.od_cols = size.cols;
}

void warn(tODSession& s, od::Timers::Expired which) {
    s.timers.warned(which);
    char line[96];
    if (which == od::Timers::Expired::WarnTimeLeft)
        (void)std::snprintf(line, sizeof line, "\n\rYou have %d seconds left in this call.\n\r",
                            s.timers.seconds_left());
    else
        (void)std::snprintf(line, sizeof line,
                            "\n\rPress a key within %d seconds, or the call ends.\n\r",
                            s.timers.seconds_idle_left());
    s.output.text(line);
    if (s.redraw) s.redraw(s.output);
}

void on_deadline(tODSession& s) {
    if (s.timers.escape_due()) {
        s.timers.drop_escape();
        std::vector<od::Key> decoded;
        s.decoder.escape_alone(decoded);
        s.keys.insert(s.keys.end(), decoded.begin(), decoded.end());
        return;
    }
    switch (auto which = s.timers.expired()) {
    case od::Timers::Expired::TimeLeft:
        end_call(s, OD_END_TIME, "\n\rYour time is up; back to the BBS.\n\r");
    case od::Timers::Expired::Inactivity:
        end_call(s, OD_END_INACTIVE, "\n\rNo key pressed for too long; back to the BBS.\n\r");
    case od::Timers::Expired::WarnTimeLeft:
    case od::Timers::Expired::WarnInactivity: warn(s, which); break;
    case od::Timers::Expired::None: break;
    }
}

// Keys go to the queue; a cursor report tells the screen's size.
bool take_bytes(tODSession& s, const std::string& bytes) {
    std::vector<od::Key> decoded;
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

int milliseconds_until(od::Clock::time_point end) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(end - od::Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

// One wait for input; false when `until` has passed. The call's own
// deadlines act inside it.
bool wait_once(tODSession& s, std::optional<od::Clock::time_point> until, bool& report) {
    flush(s);
    s.timers.set_warning(od_control.od_warn_seconds);
    int timeout = s.timers.poll_timeout();
    if (until) {
        int left = milliseconds_until(*until);
        timeout = timeout < 0 ? left : std::min(timeout, left);
    }
    std::string bytes;
    switch (s.connection.receive(bytes, timeout)) {
    case od::Connection::Event::HangUp: hang_up(s);
    case od::Connection::Event::Resized: update_size(s); break;
    case od::Connection::Event::TimedOut: on_deadline(s); break;
    case od::Connection::Event::Data:
        if (s.connection.take_resized()) update_size(s);
        if (bytes.empty()) break; // telnet commands alone are no key press
        s.timers.key_pressed();
        report = take_bytes(s, bytes) || report;
        break;
    }
    return !until || od::Clock::now() < *until;
}

// The next key, waiting at most wait_ms (negative: as long as the call lasts).
std::optional<od::Key> next_key(tODSession& s, int wait_ms = -1) {
    std::optional<od::Clock::time_point> until;
    if (wait_ms >= 0) until = od::Clock::now() + std::chrono::milliseconds(wait_ms);
    bool report = false;
    bool looked = false;
    while (s.keys.empty()) {
        if (looked && until && od::Clock::now() >= *until) return std::nullopt;
        looked = true;
        wait_once(s, until, report);
    }
    od::Key key = s.keys.front();
    s.keys.pop_front();
    return key;
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

void copy_out(char* buffer, const std::string& text) {
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
}

// The More prompt between screenfuls; false when the caller stops.
bool more(tODSession& s) {
    static constexpr std::string_view prompt = "-- More: Enter or Space goes on, Q stops --";
    s.output.text(prompt);
    bool go_on = true;
    for (;;) {
        int code = next_key(s)->code;
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

std::string link_name(const od::Link& link) {
    if (link.socket) return "socket";
    return ::isatty(0) ? "terminal" : "standard streams";
}

} // namespace

extern "C" {

void od_init(void) {
    if (od_control.od_session) return;
    auto* s = new (std::nothrow) tODSession;
    if (!s) {
        (void)std::fprintf(stderr, "%s: out of memory\n", program_name());
        std::exit(1);
    }
    s->log.open(setting("ODOORS_LOG", od_control.od_log_path ? od_control.od_log_path : ""),
                program_name());
    od_control.info_path[sizeof od_control.info_path - 1] = '\0';
    // BBSDEV.DRP states everything outright, so it comes before any other.
    const char* bbsdev = std::getenv("BBSDEV_DRP");
    auto found = bbsdev && *bbsdev ? od::read_drop_file_at(bbsdev, od::DropFormat::BbsDev)
                                   : od::read_drop_file(od_control.info_path);
    if (!found.info) refuse_to_run(*s, found.path, found.error);
    const od::CallInfo& call = *found.info;

    std::string charset = setting("ODOORS_CHARSET", call.charset);
    bool ansi = call.ansi && od::charset_by_name(charset) != od::Charset::Ascii;
    if (!ansi) charset = "US-ASCII"; // no ANSI, no line drawing either

    copy_field(od_control.user_name, call.name);
    copy_field(od_control.user_realname, call.real_name);
    copy_field(od_control.od_dropfile, found.path);
    od_control.od_node = call.node;
    od_control.user_ansi = ansi;
    od_control.od_local = call.local;
    od_control.user_timelimit = call.seconds_left < 0 ? 0 : (call.seconds_left + 59) / 60;
    if (auto seconds = od::parse_number(setting("ODOORS_INACTIVITY", "")); seconds && *seconds > 0)
        od_control.od_inactivity = static_cast<int>(std::min<long long>(*seconds, 86400));
    if (auto seconds = od::parse_number(setting("ODOORS_WARN", "")); seconds && *seconds >= 0)
        od_control.od_warn_seconds = static_cast<int>(std::min<long long>(*seconds, 86400));

    auto request = call.link == od::CallInfo::Link::Socket  ? od::LinkRequest::Socket
                   : call.link == od::CallInfo::Link::Stdio ? od::LinkRequest::Stdio
                                                            : od::LinkRequest::Unstated;
    std::string io = setting("ODOORS_IO", "");
    if (io == "stdio")
        request = od::LinkRequest::Stdio;
    else if (io == "socket")
        request = od::LinkRequest::Socket;
    else if (!io.empty())
        refuse_to_run(*s, "ODOORS_IO", "must be 'stdio' or 'socket', not '" + io + "'");
    od::Link link = od::choose_link(call.comm_type, call.handle, request);
    if (!link.error.empty()) refuse_to_run(*s, found.path, link.error);

    s->output = od::Output(ansi, charset);
    s->decoder = od::KeyDecoder(od::charset_by_name(charset));
    s->drop_size = {call.rows, call.cols};
    s->timers.start(od_control.od_inactivity, call.seconds_left);
    std::string error;
    if (!s->connection.open(link, s->timers.inactivity_seconds(), error))
        refuse_to_run(*s, link.socket ? "socket" : "standard input", error);
    update_size(*s);
    od_control.od_session = s;

    int left = s->timers.seconds_left();
    s->log.write("start: node " + std::to_string(call.node) + ", user " + od::log_value(call.name) +
                 ", drop file " + od::log_value(found.path) + ", link " + link_name(link) +
                 ", character set " + od::log_value(charset.empty() ? "CP437" : charset) +
                 (ansi ? ", ANSI" : ", no ANSI") + ", screen " +
                 std::to_string(od_control.od_rows) + "x" + std::to_string(od_control.od_cols) +
                 ", time left " +
                 (left < 0 ? std::string("no limit") : std::to_string(left) + " s"));
}

void od_printf(const char* format, ...) {
    auto& s = session();
    va_list args;
    va_start(args, format);
    s.output.vprintf(format, &args);
    va_end(args);
}

void od_set_color(int foreground, int background) {
    session().output.set_colour({foreground, background});
}

void od_putch(int ch) {
    session().output.put(static_cast<unsigned char>(ch));
}

void od_repeat(int ch, int times) {
    session().output.repeat(static_cast<unsigned char>(ch), times);
}

void od_clr_scr(void) {
    session().output.clear_screen();
}

void od_goto(int row, int col) {
    session().output.sequence(
        od::goto_sequence(row, col, {od_control.od_rows, od_control.od_cols}));
}

void od_clear_eol(void) {
    session().output.sequence(od::clear_eol_sequence);
}

void od_show_cursor(bool shown) {
    session().output.sequence(od::cursor_sequence(shown));
}

int od_key(int wait_ms) {
    auto& s = session();
    auto end = od::Clock::now() + std::chrono::milliseconds(std::max(wait_ms, 0));
    for (;;) {
        auto key = next_key(s, wait_ms < 0 ? -1 : milliseconds_until(end));
        if (!key) return 0;
        if (key->code != 0) return key->code; // keys without a code are dropped
    }
}

char od_get_answer(const char* keys) {
    auto& s = session();
    std::string_view set(keys ? keys : "");
    if (set.empty()) return '\0';
    for (;;) {
        od::Key key = *next_key(s);
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
    s.redraw = [&editor](od::Output& out) { editor.redraw(out); };
    while (!editor.apply(*next_key(s), s.output)) copy_out(buffer, editor.line());
    s.redraw = nullptr;
    copy_out(buffer, editor.line());
}

int od_edit(char* buffer, int max_len, const tODEdit* how) {
    auto& s = session();
    if (!buffer || max_len < 0) return 0;
    od::FieldEditor::Style style;
    if (how) style = {how->width, static_cast<unsigned char>(how->mask), how->allowed};
    od::FieldEditor editor(
        std::string(buffer, ::strnlen(buffer, static_cast<std::size_t>(max_len))), max_len, style,
        s.output.ansi());
    editor.draw(s.output);
    s.redraw = [&editor](od::Output& out) { editor.draw(out); };
    int ended = 0;
    while (!ended) {
        ended = editor.apply(*next_key(s), s.output);
        copy_out(buffer, editor.text()); // an end callback sees the field as it stands
    }
    s.redraw = nullptr;
    return ended;
}

bool od_probe(int wait_ms) {
    auto& s = session();
    s.output.raw(od::probe_sequence);
    auto until = od::Clock::now() + std::chrono::milliseconds(std::max(wait_ms, 0));
    bool report = false;
    while (!report && wait_once(s, until, report)) {
    }
    return report;
}

int od_show_file(const char* name, bool paged) {
    auto& s = session();
    auto path = od::pick_file(name ? name : "", s.output.ansi());
    if (!path) return -1;
    std::FILE* file = std::fopen(path->c_str(), "rb");
    if (!file) return -1;
    std::string content;
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        content.append(chunk, n);
    (void)std::fclose(file);
    od::TextRenderer text(od::without_sauce(content));
    int lines = 0;
    while (text.line(s.output)) {
        if (s.output.pending().size() >= sizeof chunk) flush(s);
        if (!paged || ++lines < std::max(od_control.od_rows - 1, 1) || text.at_end()) continue;
        lines = 0;
        if (!more(s)) return 1;
    }
    return 0;
}

int od_seconds_left(void) {
    return session().timers.seconds_left();
}

void od_log(const char* text) {
    if (text) session().log.write(text);
}

void od_exit(int errorlevel, bool term_call) {
    (void)term_call;
    if (tODSession* s = od_control.od_session) {
        if (s->connection.signalled()) hang_up(*s);
        if (od_control.od_clear_on_exit) s->output.clear_screen();
        flush(*s);
        s->connection.linger();
        log_end(*s, errorlevel);
        s->connection.restore();
    }
    std::exit(errorlevel);
}

} // extern "C"
