/* libODoors 3.1: a small door library for Unix bulletin-board systems.
 *
 * A door fills in the control block, calls od_init(), talks to the caller
 * through the od_ calls and ends with od_exit(). Every call may be made from
 * C or C++.
 *
 * ABI: the control block's layout is part of the interface. It grew in 3.0
 * (the warning callback, the caller's security level, record number and the
 * BBS's name), so the soname is libODoors.so.3: a door built against an
 * older header never runs against this library. The block ends in reserved
 * room, so that later fields can be added there without a new soname.
 * 3.1 adds od_version() and ODOORS_LINGER; the block is unchanged.
 *
 * The block has one layout per word size: the pointers (od_session, od_on_end,
 * od_log_path, od_on_warn) are 4 or 8 bytes, everything else is the same.
 * It is 764 bytes, aligned to 4, on 32-bit machines and 784, aligned to 8, on
 * 64-bit ones; the assertions after it hold every build to that. Nothing here
 * depends on _FILE_OFFSET_BITS or _TIME_BITS. */
#ifndef OPENDOOR_H
#define OPENDOOR_H

#include <stddef.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(__GNUC__)
#define OD_API __attribute__((visibility("default")))
#define OD_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#define OD_NORETURN __attribute__((noreturn))
#else
#define OD_API
#define OD_PRINTF_LIKE
#define OD_NORETURN
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* PC text-mode colours, for od_set_color(). */
enum {
    OD_BLACK,
    OD_BLUE,
    OD_GREEN,
    OD_CYAN,
    OD_RED,
    OD_MAGENTA,
    OD_BROWN,
    OD_GREY,
    OD_DARK_GREY,
    OD_BRIGHT_BLUE,
    OD_BRIGHT_GREEN,
    OD_BRIGHT_CYAN,
    OD_BRIGHT_RED,
    OD_BRIGHT_MAGENTA,
    OD_YELLOW,
    OD_BRIGHT_WHITE
};

/* Keys from od_key() beyond the 255 characters of CP437. */
enum {
    OD_KEY_UP = 256,
    OD_KEY_DOWN,
    OD_KEY_LEFT,
    OD_KEY_RIGHT,
    OD_KEY_HOME,
    OD_KEY_END,
    OD_KEY_PGUP,
    OD_KEY_PGDN,
    OD_KEY_INSERT,
    OD_KEY_DELETE,
    OD_KEY_F1,
    OD_KEY_F2,
    OD_KEY_F3,
    OD_KEY_F4,
    OD_KEY_F5,
    OD_KEY_F6,
    OD_KEY_F7,
    OD_KEY_F8,
    OD_KEY_F9,
    OD_KEY_F10,
    OD_KEY_F11,
    OD_KEY_F12,
    OD_KEY_SHIFT_TAB, /* Shift-Tab (ESC [ Z): a form's previous field */
    OD_KEY_RESIZE     /* the caller's screen changed size: od_rows, od_cols are new */
};

/* Why the library ends a call on its own, for od_control.od_on_end. */
enum {
    OD_END_HANGUP = 1, /* the connection was lost, or SIGHUP */
    OD_END_TIME,       /* the caller's time is up */
    OD_END_INACTIVE,   /* no key for od_inactivity seconds */
    OD_END_SIGNAL      /* SIGTERM, SIGINT or another signal that ends the door */
};

struct tODSession; /* the library's own state, opaque to doors */

typedef struct {
    /* Set by the door before od_init(). */
    char info_path[60];    /* drop file, or the folder holding it; empty: the working folder */
    bool od_clear_on_exit; /* clear the caller's screen in od_exit() */
    int od_inactivity;     /* seconds without a key before the call ends; 0: five minutes;
                              at most a day (86400), INT_MAX included */

    /* Filled in by od_init() from the drop file. */
    char user_name[36];     /* the caller's alias (or real name), NUL-terminated */
    char user_realname[36]; /* the caller's real name where the drop file gives one */
    int od_node;            /* node number, 0 when the drop file gives none */
    int user_timelimit;     /* minutes left for this call, rounded up; 0: no limit */
    bool user_ansi;         /* the caller's terminal understands ANSI colour */
    bool od_local;          /* the call is local (sysop at the console) */
    char od_dropfile[256];  /* the drop file that was read */

    struct tODSession* od_session; /* set by od_init(); doors leave it alone */

    /* The caller's screen: telnet NAWS, else the pty's window size (followed
     * on SIGWINCH), else the drop file, else 24 by 80. Kept up to date while
     * the door waits for keys; od_probe() asks the terminal itself. */
    int od_rows;
    int od_cols;

    /* Seconds before the library ends a call for time or inactivity that the
     * caller is warned; 60 unless the door changes it; 0: no warnings.
     * Warnings are given while the door waits for a key, never during
     * od_probe(): one due as the call starts comes at the first wait. */
    int od_warn_seconds;

    /* Called once, in the door's normal flow, before the library ends a call
     * on its own (one of the OD_END_ reasons), so the door can save. After
     * OD_END_TIME or OD_END_INACTIVE, input calls inside it work as usual for
     * a grace of 60 seconds of their own. After OD_END_HANGUP or
     * OD_END_SIGNAL (or once the grace is over, or the caller is gone) they
     * return at once: od_key 0, od_get_answer 0, od_edit 27 with the
     * starting text, od_input_str what was typed; and what it prints goes
     * nowhere. The code after them always runs. While it runs, a second
     * SIGHUP, SIGTERM or SIGINT gives the terminal back and ends the door
     * with exit level 10 (the log gets its end line). */
    void (*od_on_end)(int reason);

    /* Where the sysop log goes; the environment's ODOORS_LOG wins. NULL or
     * empty, with no ODOORS_LOG: no log. */
    const char* od_log_path;

    /* Set by the door: draws a warning itself instead of the library's line
     * (reason OD_END_TIME or OD_END_INACTIVE, seconds until that end). Called
     * in the door's normal flow, while it waits for a key. For an ANSI caller
     * the cursor and colour go back where they were after it returns; for
     * others the line being edited is shown again after what it printed.
     * NULL: the library prints its line. */
    void (*od_on_warn)(int reason, int seconds);

    /* Filled in by od_init() where the drop file gives them, else 0 or empty;
     * libODoors(3) names the line of each drop file that fills each one. */
    int user_security;    /* the caller's security level, 0 to 65535 */
    int user_number;      /* the caller's record number on the BBS */
    char system_name[64]; /* the BBS's name (or its software line), NUL-terminated */

    /* Room for later fields without a new soname; doors leave it alone.
     * It starts 8-aligned on 64-bit machines. On 32-bit ones the block is
     * 4-aligned and 764 bytes, which no 8-aligned member allows: a 64-bit
     * value taken from here later is held as two ints there. */
    char od_reserved[256];
} tODControl;

/* C11 and C++11 compilers check the layout; older ones take it on trust. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define OD_LAYOUT_CHECK(what, why) static_assert(what, why)
#define OD_ALIGNOF(type) alignof(type)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OD_LAYOUT_CHECK(what, why) _Static_assert(what, why)
#define OD_ALIGNOF(type) _Alignof(type)
#endif
#ifdef OD_LAYOUT_CHECK
OD_LAYOUT_CHECK(sizeof(void*) == 8 ? sizeof(tODControl) == 784 && OD_ALIGNOF(tODControl) == 8 &&
                                         offsetof(tODControl, od_reserved) == 528
                                   : sizeof(tODControl) == 764 && OD_ALIGNOF(tODControl) == 4 &&
                                         offsetof(tODControl, od_reserved) == 508,
                "tODControl's layout is the ABI: a change needs a new soname");
#undef OD_LAYOUT_CHECK
#undef OD_ALIGNOF
#endif

OD_API extern tODControl od_control;

/* Reads the drop file and opens the link with the caller. A sysop's mistake
 * (no drop file, a malformed one, a socket handle that is no connection) ends
 * the process with status 1 and one line on standard error (and in the log).
 * Installs signal handlers: SIGHUP, SIGTERM and SIGINT are hang-ups (exit
 * level 10); SIGQUIT, SIGUSR1/2, SIGALRM, SIGVTALRM, SIGPROF and SIGXCPU end
 * the door as they would have, in its normal flow (a second one at once);
 * faults and stops give the terminal back first; SIGPIPE and SIGXFSZ are
 * ignored, so a file-size limit is a failed write. The log (ODOORS_LOG or
 * od_log_path, a regular file only) gets one line when the call starts and
 * one when it ends. A door that returns from main or calls exit() without
 * od_exit() still has its last output sent and the terminal given back.
 * The sysop's environment: ODOORS_IO, ODOORS_CHARSET, ODOORS_INACTIVITY,
 * ODOORS_WARN, ODOORS_LINGER and ODOORS_LOG (see libODoors(3)); a value
 * that is not a whole number of seconds is said on standard error and
 * ignored. */
OD_API void od_init(void);

/* The library's version as "major.minor", for a door's --version. Needs no
 * od_init(). */
OD_API const char* od_version(void);

/* printf-style output (a negative '*' width left-justifies, a negative '*'
 * precision counts as none). A colour name between backquotes in the format,
 * such as `bright cyan`, switches the colour of what follows; values are
 * shown as given. "\n\r" ends a line. */
OD_API void od_printf(const char* format, ...) OD_PRINTF_LIKE;

/* Sets the colour of what follows (OD_BLACK .. OD_BRIGHT_WHITE); nothing is
 * sent to a caller without ANSI, nor when the colour stays the same. */
OD_API void od_set_color(int foreground, int background);
/* Sends one CP437 character, or the same one `times` times. */
OD_API void od_putch(int ch);
OD_API void od_repeat(int ch, int times);
/* Clears the screen; a caller without ANSI gets CR and a form feed, which
 * leaves the cursor at column 1 also where the form feed is a line feed. */
OD_API void od_clr_scr(void);

/* Moves the cursor to row and column (from 1), clipped to the caller's
 * screen. Nothing is sent to a caller without ANSI, as for the next two. */
OD_API void od_goto(int row, int col);
/* Clears from the cursor to the end of its line. */
OD_API void od_clear_eol(void);
/* Shows or hides the cursor. */
OD_API void od_show_cursor(bool shown);

/* Returns the next key, waiting at most wait_ms milliseconds (0: only what
 * has arrived; negative: as long as the call lasts); 0 when none came. A key
 * is a CP437 character 1-255 (a UTF-8 or 8-bit caller's characters are
 * converted; those without a CP437 form are dropped), Enter as '\r',
 * Backspace as 8, Tab as 9, a lone Escape as 27, or one of the OD_KEY_
 * codes. 127 is OD_KEY_DELETE from a caller whose Backspace is 8 (SyncTERM,
 * told by its answer to od_probe alone) and Backspace otherwise.
 * A sequence cut off for a quarter of a second comes out as its keys.
 * OD_KEY_RESIZE comes once the caller's window has changed size (SIGWINCH,
 * NAWS), also when no key is pressed: od_rows and od_cols hold the new size
 * and the door can draw its screen again. od_get_answer(), od_input_str()
 * and od_edit() never return it; od_edit() draws its field again. */
OD_API int od_key(int wait_ms);

/* How od_edit() shows and takes a field. */
typedef struct {
    int width;           /* columns on screen; 0: max_len. Longer text scrolls */
    char mask;           /* shown for each character (passwords); 0 or a control
                            character (below 32, or 127): the text */
    const char* allowed; /* the characters taken; NULL: printable CP437 */
} tODEdit;

/* Edits buffer (max_len + 1 bytes; its text on entry is the starting text)
 * in a field at the cursor: keys insert (Insert toggles overwrite), Left,
 * Right, Home, End, Ctrl-A, Ctrl-E move, Backspace, Delete and Ctrl-D remove,
 * Ctrl-U clears. Ends on Enter, Escape (the starting text comes back), Up,
 * Down, Tab or Shift-Tab and returns that key ('\r', 27, OD_KEY_UP,
 * OD_KEY_DOWN, 9, OD_KEY_SHIFT_TAB). The field never runs past the row's
 * end: where the library knows the cursor's column (after a CR, od_clr_scr
 * or od_goto) it is cut to the columns left, and the text scrolls within it.
 * A field one column wide shows the character before the cursor.
 * A caller without ANSI types at the end and uses Backspace. how may be NULL. */
OD_API int od_edit(char* buffer, int max_len, const tODEdit* how);

/* Asks the caller's terminal for its size (a cursor report after a move to
 * the far corner; the cursor goes back) and its device attributes. True when
 * the size came within wait_ms: od_rows, od_cols are set (1 to 9999) and
 * user_ansi turns on. Only this answer counts: a cursor report at any other
 * time is dropped. When no character set was named (ODOORS_CHARSET, drop
 * file), it also draws and blanks one UTF-8 character: a terminal that shows
 * it as one gets UTF-8 from then on. Keys typed meanwhile stay for the door,
 * up to 4096 queued keys. */
OD_API bool od_probe(int wait_ms);

/* Shows a text or ANSI file. A name without an extension means name.ans for
 * an ANSI caller and name.asc otherwise, or the other when that is missing;
 * a caller without ANSI never gets an escape sequence. A SAUCE record is not
 * shown; pipe codes |00-|15 (foreground) and |16-|23 (background) set
 * colours; LF goes out as CR LF; an escape sequence cut by a control
 * character is dropped and the character kept. paged: a More prompt after
 * each screenful, od_rows - 1 screen rows, a line longer than od_cols
 * counting the rows it wraps onto (Enter or Space go on; Q, N or Escape stop). Returns 0 when all
 * was shown, 1 when the caller stopped it, -1 when there is no such file. */
OD_API int od_show_file(const char* name, bool paged);

/* Seconds left in this call, or -1 when it has no limit. */
OD_API int od_seconds_left(void);

/* Appends one line of the door's own to the sysop log (see od_log_path). */
OD_API void od_log(const char* text);

/* Waits for one of the keys in `keys` (letters in either case; "\r" and "\n"
 * stand for Enter) and returns it as written in `keys`. Nothing is echoed. */
OD_API char od_get_answer(const char* keys);

/* Reads and echoes a line of at most max_len characters with codes from
 * min_code to max_code into buffer, which holds max_len + 1 bytes. */
OD_API void od_input_str(char* buffer, int max_len, int min_code, int max_code);

/* Sends what is pending, gives the caller's side a moment to take it (a
 * fifth of a second on a pty; never after a hang-up) and ends the process
 * with the given exit level. With ODOORS_LINGER=seconds (at most 600, never
 * past the time left or the inactivity limit) the last screen first stays up
 * that long or until a key pressed after it showed, for BBSes that clear the
 * screen the moment a door ends; not after a hang-up, a signal or the
 * library's own end of the call, and before od_clear_on_exit clears. A
 * hang-up or signal during it ends the door as at any other time. A door
 * that ends without od_exit() gets the same.
 * term_call is accepted for compatibility and has no effect. */
OD_API void od_exit(int errorlevel, bool term_call) OD_NORETURN;

#ifdef __cplusplus
}
#endif

#endif
