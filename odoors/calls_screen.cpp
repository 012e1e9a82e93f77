// The public calls for output, colour, the cursor and the screen's size.
#include "input.h"
#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>

using od::session;
using od::wait_once;

extern "C" {

void od_printf(const char* format, ...) {
    auto& s = session();
    va_list args;
    va_start(args, format);
    s.output.vprintf(format, &args);
    va_end(args);
}

void od_printf_utf8(const char* format, ...) {
    auto& s = session();
    va_list args;
    va_start(args, format);
    s.output.vprintf(format, &args, true);
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
    auto& s = session();
    s.output.clear_screen();
    s.status.invalidate(); // drawn again at the next wait
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

bool od_probe(int wait_ms) {
    auto& s = session();
    auto until = od::Clock::now() + std::chrono::milliseconds(std::max(wait_ms, 0));
    bool report = false, attributes = false;
    // A telnet client holds the answer back while it is in line mode. One
    // that negotiates leaves it once its requests are answered, which reading
    // them does: a probe sent before they came would be lost.
    if (s.connection.settle()) {
        auto settled = od::Clock::now() + std::chrono::milliseconds(std::min(wait_ms / 2, 250));
        while (!s.connection.settled() && wait_once(s, settled, report)) {
        }
    }
    // Only what answers this probe counts, however many reports came before.
    s.decoder.drop_reports();
    (void)s.decoder.take_attributes();
    bool ask_utf8 = !s.charset_named && s.output.charset() != od::Charset::Utf8;
    int wanted = ask_utf8 ? 3 : 1;
    s.decoder.expect_reports(wanted);
    s.output.raw(od::probe_sequence);
    if (ask_utf8) s.output.raw(od::utf8_probe_sequence);
    s.probing = true; // only now is a cursor report taken
    while (!(attributes && s.decoder.reports() >= wanted) && wait_once(s, until, report))
        attributes = s.decoder.take_attributes() || attributes;
    s.probing = false;
    int rows = 0, cols = 0;
    bool sized = s.decoder.take_report(rows, cols);
    if (sized) {
        od::Size size = od::clamp_size({rows, cols});
        od_control.od_rows = size.rows;
        od_control.od_cols = size.cols;
        if (!s.output.ansi()) s.output.raw(od::keypad_numeric_sequence);
        s.decoder.set_cursor_normal(true);
        od_control.user_ansi = true;
        s.output.set_ansi(true);
    }
    int row = 0, before = 0, after = 0;
    if (sized && ask_utf8 && s.decoder.take_report(row, before) &&
        s.decoder.take_report(row, after) &&
        od::speaks_utf8(before, after, od_control.od_cols) == true) {
        s.output.set_charset("UTF-8");
        s.decoder.set_charset("UTF-8");
        s.log.write("probe: the terminal shows UTF-8; character set UTF-8");
    }
    s.decoder.drop_reports();
    return sized;
}

const char* od_charset(void) {
    auto& s = session();
    switch (s.output.charset()) {
    case od::Charset::Utf8: return "UTF-8";
    case od::Charset::Ascii: return "US-ASCII";
    case od::Charset::Other: return s.charset_name.c_str();
    case od::Charset::Cp437: break;
    }
    return "CP437";
}

} // extern "C"
