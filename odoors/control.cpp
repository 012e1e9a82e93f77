// The control block and the public calls: wiring drop file, connection,
// output, input and timers together.
#include "OpenDoor.h"
#include "connection.h"
#include "dropfile.h"
#include "input.h"
#include "output.h"
#include "timer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <vector>

tODControl od_control{};

struct tODSession {
    tODSession(bool ansi, const std::string& charset) : output(ansi, charset) {}
    od::Connection connection;
    od::Output output;
    od::KeyDecoder decoder;
    std::deque<od::Key> keys;
    od::Timers timers;
};

namespace {

const char* program_name() {
#if defined(__GLIBC__)
    return program_invocation_short_name;
#else
    return getprogname();
#endif
}

[[noreturn]] void refuse_to_run(const std::string& path, const std::string& problem) {
    (void)std::fprintf(stderr, "%s: %s: %s\n", program_name(), path.c_str(), problem.c_str());
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

// The caller is gone: nothing more is written, the terminal is put back.
[[noreturn]] void hang_up(tODSession& s) {
    s.output.discard();
    s.connection.restore();
    std::exit(10);
}

void flush(tODSession& s) {
    if (s.output.pending().empty()) return;
    if (!s.connection.send(s.output.pending())) hang_up(s);
    s.output.discard();
}

// The library ends the call itself. A BBS clears the screen or redraws its
// menu the moment the door is gone, so the reason stays up for a while; a key
// ends the pause, a hang-up ends the door at once.
[[noreturn]] void end_call(tODSession& s, const char* why) {
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
    s.connection.restore();
    std::exit(10);
}

void add_keys(tODSession& s, std::vector<od::Key>& decoded) {
    s.keys.insert(s.keys.end(), decoded.begin(), decoded.end());
    decoded.clear();
}

od::Key next_key(tODSession& s) {
    std::string bytes;
    std::vector<od::Key> decoded;
    while (s.keys.empty()) {
        flush(s);
        bytes.clear();
        switch (s.connection.receive(bytes, s.timers.poll_timeout())) {
        case od::Connection::Event::HangUp: hang_up(s);
        case od::Connection::Event::TimedOut:
            if (s.timers.escape_due()) {
                s.timers.drop_escape();
                s.decoder.escape_alone(decoded);
                add_keys(s, decoded);
                break;
            }
            switch (s.timers.expired()) {
            case od::Timers::Expired::TimeLeft:
                end_call(s, "\n\rYour time is up; back to the BBS.\n\r");
            case od::Timers::Expired::Inactivity:
                end_call(s, "\n\rNo key pressed for too long; back to the BBS.\n\r");
            case od::Timers::Expired::None: break;
            }
            break;
        case od::Connection::Event::Data:
            if (bytes.empty()) break; // telnet commands alone are no key press
            s.timers.key_pressed();
            for (char c : bytes) s.decoder.feed(static_cast<unsigned char>(c), decoded);
            add_keys(s, decoded);
            if (s.decoder.holds_escape())
                s.timers.hold_escape(); // the last byte so far: alone, or a sequence's start
            else
                s.timers.drop_escape();
            break;
        }
    }
    od::Key key = s.keys.front();
    s.keys.pop_front();
    return key;
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

extern "C" {

void od_init(void) {
    if (od_control.od_session) return;
    od_control.info_path[sizeof od_control.info_path - 1] = '\0';
    // BBSDEV.DRP states everything outright, so it comes before any other.
    const char* bbsdev = std::getenv("BBSDEV_DRP");
    auto found = bbsdev && *bbsdev ? od::read_drop_file_at(bbsdev, od::DropFormat::BbsDev)
                                   : od::read_drop_file(od_control.info_path);
    if (!found.info) refuse_to_run(found.path, found.error);
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

    auto request = call.link == od::CallInfo::Link::Socket  ? od::LinkRequest::Socket
                   : call.link == od::CallInfo::Link::Stdio ? od::LinkRequest::Stdio
                                                            : od::LinkRequest::Unstated;
    std::string io = setting("ODOORS_IO", "");
    if (io == "stdio")
        request = od::LinkRequest::Stdio;
    else if (io == "socket")
        request = od::LinkRequest::Socket;
    else if (!io.empty())
        refuse_to_run("ODOORS_IO", "must be 'stdio' or 'socket', not '" + io + "'");
    od::Link link = od::choose_link(call.comm_type, call.handle, request);
    if (!link.error.empty()) refuse_to_run(found.path, link.error);

    auto* s = new (std::nothrow) tODSession(ansi, charset);
    if (!s) refuse_to_run(found.path, "out of memory");
    s->timers.start(od_control.od_inactivity, call.seconds_left);
    std::string error;
    if (!s->connection.open(link, s->timers.inactivity_seconds(), error))
        refuse_to_run(link.socket ? "socket" : "standard input", error);
    od_control.od_session = s;
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

char od_get_answer(const char* keys) {
    auto& s = session();
    std::string_view set(keys ? keys : "");
    if (set.empty()) return '\0';
    for (;;) {
        od::Key key = next_key(s);
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
    while (!editor.apply(next_key(s), s.output)) {
    }
    std::memcpy(buffer, editor.line().data(), editor.line().size());
    buffer[editor.line().size()] = '\0';
}

void od_exit(int errorlevel, bool term_call) {
    (void)term_call;
    if (tODSession* s = od_control.od_session) {
        if (s->connection.signalled()) hang_up(*s);
        if (od_control.od_clear_on_exit) s->output.clear_screen();
        flush(*s);
        s->connection.linger();
        s->connection.restore();
    }
    std::exit(errorlevel);
}

} // extern "C"
