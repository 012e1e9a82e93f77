// The control block and the call's lifetime: od_init reads the drop file
// and opens the link, od_exit ends the call; the time left and the log.
#include "OpenDoor.h"
#include "dropfile.h"
#include "session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>

using od::flush;
using od::hang_up;
using od::log_end;
using od::program_name;
using od::session;
using od::update_size;

// Constant-initialized: a door may read it before any constructor runs.
constinit tODControl od_control = [] {
    tODControl c{};
    c.od_rows = 24;
    c.od_cols = 80;
    c.od_warn_seconds = 60;
    return c;
}();

namespace {

[[noreturn]] void refuse_to_run(tODSession& s, const std::string& path,
                                const std::string& problem) {
    // Standard error may be the caller's screen: the problem may quote a file.
    std::string line =
        od::harmless(std::string(program_name()) + ": " + od::shown_value(path) + ": " + problem);
    (void)std::fprintf(stderr, "%s\n", line.c_str());
    s.log.write("refused: " + line);
    // WWIV and ENiGMA½ give the door the caller's pty as standard error and
    // clear the screen as it ends: the line gets the moment a normal end
    // gets for its last bytes, cut short by a hang-up.
    if (::isatty(STDERR_FILENO)) {
        pollfd err{STDERR_FILENO, 0, 0};
        (void)::poll(&err, 1, 200);
    }
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

// A whole number of seconds from the environment, at most `high`. Unset
// gives nothing, and so does anything else, said once on standard error and
// in the log; standard error may be the caller's screen, so the value is
// shown cut short and harmless.
std::optional<int> seconds_setting(tODSession& s, const char* name, int low, int high) {
    std::string value = setting(name, "");
    if (value.empty()) return std::nullopt;
    if (value.find_first_not_of("0123456789") == std::string::npos) {
        auto first = value.find_first_not_of('0');
        long long seconds = first == std::string::npos ? 0
                            : value.size() - first > 9 ? high
                                                       : std::stoll(value.substr(first));
        if (seconds >= low) return static_cast<int>(std::min<long long>(seconds, high));
    }
    std::string said = std::string(name) + ": '" + od::shown_value(value) +
                       "' is not a whole number of seconds" + (low > 0 ? " above 0" : "") +
                       "; ignored";
    (void)std::fprintf(stderr, "%s: %s\n", program_name(), said.c_str());
    s.log.write(said); // the log line names the program already
    return std::nullopt;
}

// A refusal of the drop file's path says when the path may have lost its end:
// the door's argument fills the field.
std::string drop_file_problem(const std::string& error) {
    if (std::strlen(od_control.info_path) < sizeof od_control.info_path - 1) return error;
    return error + "; the path may have been cut at " +
           std::to_string(sizeof od_control.info_path - 1) +
           " characters: pass the node folder or a shorter path";
}

// A door that returns from main or calls exit() without od_exit: what it
// printed last still goes out, and the log gets the call's end.
extern "C" void end_without_od_exit() {
    tODSession* s = od_control.od_session;
    if (!s || s->connection.restored()) return;
    od::end_screen(*s);
    if (!s->gone && !s->output.pending().empty()) (void)s->connection.send(s->output.pending());
    s->output.discard();
    if (!od::hold_last_screen(*s)) {
        // A hang-up during the hold: exit is already under way, so only a
        // signal of another kind changes how the process ends.
        int signo = s->connection.ending_signal();
        log_end(*s, -1, signo);
        if (!od::ends_as_hang_up(signo)) s->connection.end_by_signal(signo);
        s->connection.restore();
        return;
    }
    log_end(*s, -1);
    s->connection.restore();
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
    if (!found.info)
        refuse_to_run(*s, found.path,
                      bbsdev && *bbsdev ? found.error : drop_file_problem(found.error));
    const od::CallInfo& call = *found.info;

    std::string charset = setting("ODOORS_CHARSET", call.charset);
    if (!od::ascii_compatible(charset)) {
        // What the door sends would not be what the caller's set says.
        std::string line =
            std::string(program_name()) + ": " +
            (charset == call.charset ? "the drop file's character set" : "ODOORS_CHARSET") + ": '" +
            od::shown_value(charset) + "' is no character set that carries ASCII as it is; ignored";
        (void)std::fprintf(stderr, "%s\n", line.c_str());
        s->log.write(line);
        charset = charset != call.charset && od::ascii_compatible(call.charset) ? call.charset : "";
    }
    s->charset_named = !charset.empty();
    bool ansi = call.ansi && od::charset_by_name(charset) != od::Charset::Ascii;
    if (!ansi) charset = "US-ASCII"; // no ANSI, no line drawing either

    copy_field(od_control.user_name, call.name);
    copy_field(od_control.user_realname, call.real_name);
    copy_field(od_control.od_dropfile, found.path);
    od_control.od_node = call.node;
    od_control.user_ansi = ansi;
    od_control.od_local = call.local;
    od_control.user_security = call.security;
    od_control.user_number = call.user_number;
    copy_field(od_control.system_name, call.system_name);
    od_control.user_timelimit = call.seconds_left < 0 ? 0 : (call.seconds_left + 59) / 60;
    if (auto seconds = seconds_setting(*s, "ODOORS_INACTIVITY", 1, 86400))
        od_control.od_inactivity = *seconds;
    if (auto seconds = seconds_setting(*s, "ODOORS_WARN", 0, 86400))
        od_control.od_warn_seconds = *seconds;
    s->linger_seconds = seconds_setting(*s, "ODOORS_LINGER", 0, 600).value_or(0);

    auto request = call.link == od::CallInfo::Link::Socket  ? od::LinkRequest::Socket
                   : call.link == od::CallInfo::Link::Stdio ? od::LinkRequest::Stdio
                                                            : od::LinkRequest::Unstated;
    std::string io = setting("ODOORS_IO", "");
    if (io == "stdio")
        request = od::LinkRequest::Stdio;
    else if (io == "socket")
        request = od::LinkRequest::Socket;
    else if (!io.empty())
        refuse_to_run(*s, "ODOORS_IO",
                      "must be 'stdio' or 'socket', not '" + od::shown_value(io) + "'");
    od::Link link = od::choose_link(call.comm_type, call.handle, request);
    if (!link.error.empty()) refuse_to_run(*s, found.path, link.error);

    s->output = od::Output(ansi, charset);
    s->output.on_full([s] { od::flush(*s); });
    s->charset_name = charset;
    s->output.sequence(od::keypad_numeric_sequence);
    s->decoder = od::KeyDecoder(charset);
    s->decoder.set_cursor_normal(ansi);
    s->drop_size = {call.rows, call.cols};
    // As the environment's value: a door's "no limit" (INT_MAX) is a day.
    od_control.od_inactivity = std::clamp(od_control.od_inactivity, 0, 86400);
    s->timers.start(od_control.od_inactivity, call.seconds_left);
    std::string error;
    if (!s->connection.open(link, s->timers.inactivity_seconds(), error))
        refuse_to_run(*s, link.socket ? "socket" : "standard input", error);
    s->connection.set_call_end(s->timers.end_of_call());
    update_size(*s);
    od_control.od_session = s;
    (void)std::atexit(end_without_od_exit);

    int left = s->timers.seconds_left();
    s->log.write("start: node " + std::to_string(call.node) + ", user " + od::log_value(call.name) +
                 ", drop file " + od::log_value(found.path) + ", link " + link_name(link) +
                 ", character set " + od::log_value(charset.empty() ? "CP437" : charset) +
                 (ansi ? ", ANSI" : ", no ANSI") + ", screen " +
                 std::to_string(od_control.od_rows) + "x" + std::to_string(od_control.od_cols) +
                 ", time left " +
                 (left < 0 ? std::string("no limit") : std::to_string(left) + " s"));
}

const char* od_version(void) {
    return ODOORS_VERSION;
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
        od::end_screen(*s);
        flush(*s);
        if (!od::hold_last_screen(*s)) hang_up(*s);
        if (od_control.od_clear_on_exit) s->output.clear_screen();
        flush(*s);
        s->connection.linger();
        log_end(*s, errorlevel);
        s->connection.restore();
    }
    std::exit(errorlevel);
}

} // extern "C"
