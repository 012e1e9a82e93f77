/* The floor a door is measured against: what the door does at its simplest.
   The first screen out, raw mode, one key in, the answer, the terminal back.
   Built as C (bare: libc alone) and, from floor.cpp, as C++ (libstdc++ loaded
   too, as a C++ door without care would). */
#include <termios.h>
#include <unistd.h>

static const char screen[] =
    "\x1b[0;1;36mVALEDICT v1.05, Aug 14 2003.  \x1b[37mThe Valedict Quote Door.\n\r"
    "\x1b[34mvaledict is free software under the BSD 2-Clause licence.\n\r\n\r"
    "\x1b[0;37mNo current Valedicts on file.\n\r"
    "Would you like to add some valedicts [Y/n]:";

int main(void) {
    struct termios found, raw;
    int tty = tcgetattr(0, &found) == 0;
    if (tty) {
        raw = found;
        cfmakeraw(&raw);
        (void)tcsetattr(0, TCSANOW, &raw);
    }
    int ok = write(1, screen, sizeof screen - 1) == (ssize_t)(sizeof screen - 1);
    char key;
    ok = ok && read(0, &key, 1) == 1;
    ok = ok && write(1, "\x1b[1;36mNo\n\r", 11) == 11;
    if (tty) (void)tcsetattr(0, TCSANOW, &found);
    return ok ? 0 : 1;
}
