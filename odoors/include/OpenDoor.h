/* libODoors: a small door library for Unix bulletin-board systems.
 *
 * A door fills in the control block, calls od_init(), talks to the caller
 * through the od_ calls and ends with od_exit(). Every call may be made from
 * C or C++. */
#ifndef OPENDOOR_H
#define OPENDOOR_H

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

struct tODSession; /* the library's own state, opaque to doors */

typedef struct {
    /* Set by the door before od_init(). */
    char info_path[60];    /* drop file, or the folder holding it; empty: the working folder */
    bool od_clear_on_exit; /* clear the caller's screen in od_exit() */
    int od_inactivity;     /* seconds without a key before the call ends; 0: five minutes */

    /* Filled in by od_init() from the drop file. */
    char user_name[36];     /* the caller's alias (or real name), NUL-terminated */
    char user_realname[36]; /* the caller's real name where the drop file gives one */
    int od_node;            /* node number, 0 when the drop file gives none */
    int user_timelimit;     /* minutes left for this call */
    bool user_ansi;         /* the caller's terminal understands ANSI colour */
    bool od_local;          /* the call is local (sysop at the console) */
    char od_dropfile[256];  /* the drop file that was read */

    struct tODSession* od_session; /* set by od_init(); doors leave it alone */
} tODControl;

OD_API extern tODControl od_control;

/* Reads the drop file and opens the link with the caller. A sysop's mistake
 * (no drop file, a malformed one, a socket handle that is no connection) ends
 * the process with status 1 and one line on standard error. Installs signal
 * handlers: SIGHUP, SIGTERM and SIGINT are hang-ups (exit level 10); other
 * signals that end or stop the process give the terminal back first; SIGPIPE
 * and SIGXFSZ are ignored, so a file-size limit is a failed write. */
OD_API void od_init(void);

/* printf-style output (a negative '*' width left-justifies, a negative '*'
 * precision counts as none). A colour name between backquotes in the format,
 * such as `bright cyan`, switches the colour of what follows; values are
 * shown as given. "\n\r" ends a line. */
OD_API void od_printf(const char* format, ...) OD_PRINTF_LIKE;

OD_API void od_set_color(int foreground, int background);
OD_API void od_putch(int ch);
OD_API void od_repeat(int ch, int times);
OD_API void od_clr_scr(void);

/* Waits for one of the keys in `keys` (letters in either case; "\r" and "\n"
 * stand for Enter) and returns it as written in `keys`. Nothing is echoed. */
OD_API char od_get_answer(const char* keys);

/* Reads and echoes a line of at most max_len characters with codes from
 * min_code to max_code into buffer, which holds max_len + 1 bytes. */
OD_API void od_input_str(char* buffer, int max_len, int min_code, int max_code);

/* Sends what is pending, gives the caller's side a moment to take it (a
 * fifth of a second on a pty; never after a hang-up) and ends the process
 * with the given exit level. term_call is accepted for compatibility and has
 * no effect. */
OD_API void od_exit(int errorlevel, bool term_call) OD_NORETURN;

#ifdef __cplusplus
}
#endif

#endif
