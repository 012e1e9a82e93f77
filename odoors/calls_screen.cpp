// The public calls for output, colour, the cursor and the screen's size.
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

bool od_probe(int wait_ms) {
    auto& s = session();
    s.output.raw(od::probe_sequence);
    auto until = od::Clock::now() + std::chrono::milliseconds(std::max(wait_ms, 0));
    bool report = false;
    s.probing = true; // only the answer to this is taken as the screen's size
    while (!report && wait_once(s, until, report)) {
    }
    s.probing = false;
    return report;
}

} // extern "C"
