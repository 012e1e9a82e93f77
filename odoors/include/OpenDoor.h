/* libODoors 3.3: a small door library for Unix bulletin-board systems.
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
 * 3.1 adds od_version() and ODOORS_LINGER; the block is unchanged. 3.2
 * adds od_key_mods(), od_charset(), od_printf_utf8(), od_list(),
 * od_status() and the od_records_ calls, with the block unchanged again.
 * 3.3 adds od_form(), od_list_wait(), od_records_append(), od_records_own()
 * and od_records_update_many(); no struct a 3.2 door passes changes size,
 * and the block keeps its layout.
 *
 * The block has one layout per word size: the pointers (od_session, od_on_end,
 * od_log_path, od_on_warn) are 4 or 8 bytes, everything else is the same.
 * It is 764 bytes, aligned to 4, on 32-bit machines and 784, aligned to 8, on
 * 64-bit ones; the assertions after it hold every build to that. Nothing here
 * depends on _FILE_OFFSET_BITS or _TIME_BITS.
 *
 * The library has no unwind tables: a C++ door's callbacks (od_on_end,
 * od_on_warn and the rest) must not let an exception out. */
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

/* The modifiers held with a key, for od_key_mods(); they add up. */
enum { OD_MOD_SHIFT = 1, OD_MOD_ALT = 2, OD_MOD_CTRL = 4 };

/* Why the library ends a call on its own, for od_control.od_on_end. At a
 * time or inactivity end it says why in one line, on an ANSI screen on the
 * bottom row, cleared and never scrolling the screen. */
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
                              at most a day (86400), INT_MAX included. A caller who
                              takes output so slowly that one send is not out
                              within it is cut off as inactive; no send waits
                              past the call's time limit */

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
     * Input calls inside it return at once, taking no key: od_key 0,
     * od_get_answer 0, od_input_str an empty string, od_edit 0 with the
     * buffer as it was; no other warning comes while it runs.
     * NULL: the library prints its line, or counts down in the status line
     * (od_status) where one is set; it counts down there also when set. */
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
 * precision counts as none; a width or precision above 65536 is taken as
 * 65536, except a %s precision, which only cuts the string). A colour name
 * between backquotes in the format, such as `bright cyan`, switches the
 * colour of what follows; values are shown as given. "\n\r" ends a line.
 * Output waits until the door waits for a key, or goes out in chunks of
 * 16 KiB as it is made, so a door may print any amount. */
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
 * Keys that arrived before the door's first output went out are dropped as
 * it goes: they were typed at the BBS (an Enter after the hot key that
 * started the door) and answer nothing the door asks.
 * Keys with Shift, Ctrl or Alt give the plain key; od_key_mods() tells the
 * modifiers; an Escape followed at once (in the same read, or within the
 * quarter second) by a printable character is that character with Alt, as
 * most terminals send Alt-a, while an Escape pressed alone and a letter
 * typed after a pause stay Escape and the letter. For an ANSI caller the
 * library puts the keypad in numeric mode and the cursor keys in normal
 * mode (ESC > ESC [ ? 1 l) at start, so that the keypad sends digits, and a
 * bare ESC O A is Ctrl-Up, as PuTTY sends it.
 * OD_KEY_RESIZE comes once the caller's window has changed size (SIGWINCH,
 * NAWS), also when no key is pressed: od_rows and od_cols hold the new size
 * and the door can draw its screen again. od_get_answer(), od_input_str()
 * and od_edit() never return it; od_edit() draws its field again. A door
 * that drew around a field or a question keeps the size it drew for and
 * compares it with od_rows and od_cols once the call returns:
 *
 *     int rows = od_control.od_rows, cols = od_control.od_cols;
 *     char answer = od_get_answer("YN");
 *     if (rows != od_control.od_rows || cols != od_control.od_cols) redraw();
 */
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
 * Right, Home, End, Ctrl-A, Ctrl-E move, Ctrl-Left and Ctrl-Right move by
 * words (a masked field's whole text), Backspace, Delete and Ctrl-D remove,
 * Ctrl-U clears; Alt or Shift with a key is the key. Ends on Enter, Escape
 * (the starting text comes back), Up, Down, Tab or Shift-Tab and returns
 * that key ('\r', 27, OD_KEY_UP, OD_KEY_DOWN, 9, OD_KEY_SHIFT_TAB). The
 * field never runs past the row's end, nor writes its last column (where
 * terminals disagree on the cursor after it): where the library knows the cursor's
 * column (after a CR, od_clr_scr or od_goto) it is cut to the columns left,
 * elsewhere to od_cols, and the text scrolls within it. A field one column wide shows the
 * character before the cursor. A caller without ANSI types at the end and
 * uses Backspace. how may be NULL. A new window size redraws the field
 * where it stands; whatever the door drew around it is the door's to draw
 * again (see OD_KEY_RESIZE under od_key). */
OD_API int od_edit(char* buffer, int max_len, const tODEdit* how);

/* Asks the caller's terminal for its size (a cursor report after a move to
 * the far corner; the cursor goes back) and its device attributes. True when
 * the size came within wait_ms: od_rows, od_cols are set (1 to 9999) and
 * user_ansi turns on. Only this answer counts: a cursor report at any other
 * time is dropped. When no character set was named (ODOORS_CHARSET, drop
 * file), it also draws and blanks one UTF-8 character: a terminal that shows
 * it as one gets UTF-8 from then on (the log says so). Over telnet the
 * first probe waits for the client's own requests (DO, WILL) to come and be
 * answered, at most a quarter of a second (or half of wait_ms), before it
 * asks: a client negotiating as it connects (PuTTY) holds the answer back
 * while it is still in line mode. Keys typed meanwhile stay for the door,
 * up to 4096 queued keys. */
OD_API bool od_probe(int wait_ms);

/* The modifiers held with the last key od_key() returned: OD_MOD_SHIFT,
 * OD_MOD_ALT and OD_MOD_CTRL added up; 0 for none, or when od_key returned
 * 0. They come from the forms that carry them (xterm's ESC [ 1 ; 5 C,
 * rxvt's ESC [ a and ESC O d, st's ESC [ J, an Escape sent before a cursor
 * key for Alt); od_key's own code stays the plain key. Ctrl with a letter
 * is its control character (Ctrl-A is 1), with no modifier.
 *
 *     int key = od_key(-1);
 *     if (key == OD_KEY_LEFT && (od_key_mods() & OD_MOD_CTRL)) word_left();
 */
OD_API int od_key_mods(void);

/* The character set the library now sends the caller's text in: "CP437",
 * "UTF-8" (named by the sysop or the drop file, or found by od_probe),
 * "US-ASCII" for a caller without ANSI, or the 8-bit set the sysop named in
 * ODOORS_CHARSET, such as "ISO-8859-1". Whatever it is, the door writes
 * CP437 (or UTF-8 through od_printf_utf8); the string stays valid until the
 * next od_probe.
 *
 *     od_probe(1000);
 *     if (strcmp(od_charset(), "UTF-8") == 0) od_log("caller speaks UTF-8");
 */
OD_API const char* od_charset(void);

/* As od_printf, for text in UTF-8 (file names, text from other systems):
 * a UTF-8 caller gets it as it is, any other each character as CP437 has
 * it, or '?' where CP437 has none; bytes that are no UTF-8 show as '?'.
 *
 *     od_printf_utf8("`bright white`%s`grey` uploaded it.\n\r", "Zo\xc3\xab");
 */
OD_API void od_printf_utf8(const char* format, ...) OD_PRINTF_LIKE;

/* Shows a text or ANSI file. A name ending in .ans or .asc names that file;
 * any other means name.ans for an ANSI caller and name.asc otherwise, or
 * the other when that is missing, or else the name as given (readme.txt).
 * Only the last dot starts an extension (news.v2 means news.v2.ans), and
 * .ans and .asc match in whichever case the disk has them (NAME.ANS). A
 * caller without ANSI never gets an escape sequence. A SAUCE record is not
 * shown; pipe codes |00-|15 (foreground) and |16-|23 (background) set
 * colours; LF goes out as CR LF; an escape sequence cut by a control
 * character is dropped and the character kept. paged: a More prompt after
 * each screenful, od_rows - 1 screen rows (one fewer above a status line), a line longer than
 * od_cols counting the rows it wraps onto (Enter or Space go on; Q, N or Escape stop). Returns 0
 * when all was shown, 1 when the caller stopped it, -1 when there is no such file. */
OD_API int od_show_file(const char* name, bool paged);

/* Seconds left in this call, or -1 when it has no limit. */
OD_API int od_seconds_left(void);

/* Appends one line of the door's own to the sysop log (see od_log_path). */
OD_API void od_log(const char* text);

/* Waits for one of the keys in `keys` (letters in either case; "\r" and "\n"
 * stand for Enter, "\x1b" for Escape) and returns it as written in `keys`.
 * A letter typed with Alt counts as the letter. Nothing is echoed. */
OD_API char od_get_answer(const char* keys);

/* Reads and echoes a line of at most max_len characters with codes from
 * min_code to max_code into buffer, which holds max_len + 1 bytes. */
OD_API void od_input_str(char* buffer, int max_len, int min_code, int max_code);

/* The parts a full-screen door would otherwise write by hand: a list to
 * pick from, a status line, and a file of records that every node shares. */

/* How od_list() shows its items; every field may be 0. */
typedef struct {
    int top, left;   /* the list's first row and column, from 1; 0: 1 */
    int rows, cols;  /* its size; 0: down to the bottom row (above a status
                        line), or across to the right edge */
    const int* keys; /* more keys that end the list, 0-terminated, letters in
                        either case: {OD_KEY_DELETE, '/', 0}; NULL: none */
} tODList;

/* Lets the caller pick one of `count` items (at most 100000, each shown up
 * to 1024 characters) and returns the key that ended the pick: '\r', 27 or
 * one of how->keys as written there. *selected is the item to start on and,
 * on return, the item picked (-1 when there are none); it may be NULL.
 * On an ANSI screen the items fill a region with a bar on the selected one:
 * Up, Down, PgUp, PgDn, Home and End move it, a typed number moves it to
 * that item, another typed character jumps to
 * the next item that starts with it, Enter picks and Escape leaves. The
 * region's last row shows "3 of 63"; items are cut to its width, and the
 * screen's last column is never written. A new window size draws the list
 * again for it, unless OD_KEY_RESIZE is one of how->keys: then it ends the
 * list, so the door can draw its whole screen again first. A caller without
 * ANSI gets numbered lines, as many as the list's rows hold, with the
 * prompt on its last row: a number and Enter pick, Enter alone shows the
 * next page, Q or Escape leave; one of how->keys that is no digit, typed
 * first on the prompt's line, ends the list at once, without Enter.
 *
 *     const char* boards[] = {"General", "Games", "Sysop"};
 *     int pick = 0, keys[] = {OD_KEY_DELETE, 0};
 *     tODList how = {3, 1, 10, 40, keys};
 *     int key = od_list(boards, 3, &pick, &how);
 *     if (key == '\r') read_board(pick);
 *     if (key == OD_KEY_DELETE && od_control.user_security >= 90) drop_board(pick); */
OD_API int od_list(const char* const* items, int count, int* selected, const tODList* how);

/* As od_list, but waits at most wait_ms milliseconds for the caller
 * (negative: as long as the call lasts) and returns 0 when no key ended the
 * list in that time, with *selected where the bar stands. The door can then
 * take in other nodes' changes, change its items and call again with the
 * same selected and how: on an ANSI screen only the rows that changed are
 * drawn again, as long as nothing else was printed in between. On an ANSI
 * screen typing a number moves the bar to that item (12 to the twelfth),
 * in both calls. A caller without ANSI gets the numbered list, which waits
 * for the caller and never returns 0.
 *
 *     int pick = 0, key;
 *     while ((key = od_list_wait(titles, count, &pick, &how, 2000)) == 0)
 *         count = load_titles(titles); // what other nodes added
 */
OD_API int od_list_wait(const char* const* items, int count, int* selected, const tODList* how,
                        int wait_ms);

/* One field of a form, for od_form(). */
typedef struct {
    int row, col;      /* where the field starts on an ANSI screen, from 1 */
    const char* label; /* a plain caller's prompt for it, such as "Title: "; NULL: none */
    char* buffer;      /* max_len + 1 bytes; its text on entry is the starting text */
    int max_len;       /* at most this many characters */
    tODEdit how;       /* width, mask and allowed characters, as for od_edit */
} tODField;

/* Lets the caller fill in `count` fields (1 to 64) at once. On an ANSI
 * screen every field is drawn where it stands and edited as by od_edit;
 * Tab, Down and Enter go to the next field, Shift-Tab and Up to the one
 * before (both wrap round), and Enter on the last field ends the form. A
 * new window size draws the fields again. A caller without ANSI is asked
 * for each field in turn on a line of its own, its label first, the text
 * typed at the end; Enter goes on, Up or Shift-Tab goes back a field.
 * Returns '\r' when the form was ended with Enter, or 27 for Escape, after
 * which every buffer holds its starting text again. *current is the field
 * to start in and, on return, the one the caller was in; it may be NULL.
 * The door draws the labels on an ANSI screen itself.
 *
 *     char title[41] = "", answers[61] = "";
 *     tODField form[] = {{3, 12, "Title: ", title, 40, {0, 0, NULL}},
 *                        {4, 12, "Answers: ", answers, 60, {0, 0, NULL}}};
 *     od_goto(3, 1); od_printf("Title:");
 *     od_goto(4, 1); od_printf("Answers:");
 *     if (od_form(form, 2, NULL) == '\r') add_poll(title, answers);
 */
OD_API int od_form(tODField* fields, int count, int* current);

/* Keeps `text` on the screen's bottom row for an ANSI caller, in black on
 * cyan, with the time left at its right end; the rows above it scroll on
 * their own. It is drawn again after od_clr_scr() and for a new window size,
 * by the library, at its next wait for a key. While it is set, the
 * library's warnings count down in it (in red), unless od_on_warn takes
 * them, the library's own end of a call is told there, and od_show_file()
 * pages above it. NULL or "" removes it. A caller without ANSI sees none of
 * it and gets the warnings as lines.
 *
 *     od_status("Bulletins   F1 help   Q quit"); */
OD_API void od_status(const char* text);

/* A file of fixed-size records that every node reads and writes, such as a
 * last-read mark per user: record i lies at byte i * record_size, and the
 * file holds nothing else. Each call takes an fcntl lock for its length and
 * waits at most 5 seconds for another node's, without alarm(). A write is
 * synced through a journal beside the file (path-journal), so that a crash
 * leaves the old record or the new one; the next open or read puts it
 * right. One process opens a file once (closing a second handle would drop
 * the first one's locks). */
typedef struct tODRecords tODRecords;

/* Opens path, or creates it, as a regular file only (a FIFO, a device or a
 * folder is refused, and so is a link another user planted in a shared
 * sticky folder). record_size is 1 to 65536 bytes; a file that holds no
 * whole number of such records is refused. NULL with errno when it cannot
 * be used, and one line on standard error (and in the log) naming the file
 * and the problem. Needs no od_init(). */
OD_API tODRecords* od_records_open(const char* path, int record_size);
/* The records the file holds, or -1 with errno. */
OD_API long od_records_count(tODRecords* file);
/* Reads record `index` into record (record_size bytes; zeros for one past
 * the file's end); 0, or -1 with errno: EAGAIN when another node held the
 * lock too long, EINVAL for an index below 0 or past a gigabyte. */
OD_API int od_records_read(tODRecords* file, long index, void* record);
/* Writes record `index`, growing the file with zero records as needed. */
OD_API int od_records_write(tODRecords* file, long index, const void* record);
/* Reads record `index` into record, calls change(record, context) and,
 * when it returns true, writes the record back, all under one lock: two
 * nodes never lose each other's changes. change must not wait for the
 * caller. It may read, write or append records of the same file through
 * the same handle (the lock is already held); a second handle to the same
 * file in one process would drop the lock. 0, or -1 with errno.
 *
 *     static bool mark_read(void* record, void* context) {
 *         LASTREAD* mark = record;
 *         if (mark->number >= *(int*)context) return false;
 *         mark->number = *(int*)context;
 *         return true;
 *     }
 *     tODRecords* marks = od_records_open("lastread.dat", sizeof(LASTREAD));
 *     LASTREAD mark;
 *     if (marks) od_records_update(marks, od_control.user_number, &mark, mark_read, &newest);
 *     od_records_close(marks); */
OD_API int od_records_update(tODRecords* file, long index, void* record,
                             bool (*change)(void* record, void* context), void* context);
/* Writes record after the file's last one, under the write lock and through
 * the journal, and returns its index: two nodes appending at once get two
 * indexes. -1 with errno: EFBIG when the file already holds a gigabyte.
 *
 *     VOTE vote = {poll, choice};
 *     long at = od_records_append(votes, &vote); */
OD_API long od_records_append(tODRecords* file, const void* record);
/* Finds the caller's own record and returns its index, all under one lock.
 * The record keeps a key of key_size bytes at byte key_offset: "#" and the
 * caller's record number (od_control.user_number) when the drop file gives
 * one, else "@" and their name (od_control.user_name) as the drop file
 * spells it, padded with zero bytes; 36 bytes hold every key. When found, the record is
 * read into record. When no record has that key, the first record whose key
 * bytes are all zero is claimed, or one is appended: record, as the door
 * filled it in, is written there with the key put in. -1 with errno: EINVAL
 * for a key out of the record or a caller with neither number nor name,
 * ENAMETOOLONG for a key longer than key_size.
 *
 *     typedef struct { char key[36]; int votes; } VOTER;
 *     VOTER me = {"", 0};
 *     long mine = od_records_own(voters, &me, offsetof(VOTER, key), sizeof me.key);
 *     ... later ...  od_records_write(voters, mine, &me); */
OD_API long od_records_own(tODRecords* file, void* record, int key_offset, int key_size);
/* Reads the `count` records named in indexes (1 to 64 of them, each once)
 * into records, one after another (count * record_size bytes), calls
 * change(records, context) and, when it returns true, writes them all back,
 * under one lock and one journal entry: after a crash the file holds all of
 * the changes or none of them. 0, or -1 with errno (EINVAL for a repeated
 * index or a count out of range).
 *
 *     static bool cast(void* records, void* context) {
 *         VOTER* voter = records;
 *         POLL* poll = (POLL*)((char*)records + sizeof(VOTER));
 *         ...mark the voter, count the vote...
 *         return true;
 *     }
 *     long at[2] = {mine, poll_number};
 *     od_records_update_many(file, at, 2, both, cast, &choice);
 * Both records share the file's record size, so a door that keeps voters
 * and polls in one file gives them one size. */
OD_API int od_records_update_many(tODRecords* file, const long* indexes, int count, void* records,
                                  bool (*change)(void* records, void* context), void* context);
/* Closes the file; NULL is allowed. */
OD_API void od_records_close(tODRecords* file);

/* Sends what is pending (on an ANSI screen with the cursor shown again, as
 * at every end of a call), gives the caller's side a moment to take it (a
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
