/* A tour of libODoors in plain C: an art screen, a menu moved with the
 * arrow keys, a form of two fields, a paged text file, the time left and the
 * screen's size, drawn again when the caller's window changes, with the
 * library's warnings in the status line.
 * Run as: tour_door DROPFILE [FOLDER OF ITS FILES] */
#include <OpenDoor.h>
#include <stdio.h>
#include <string.h>

static char folder[200] = ".";

static const char* items[] = {"Sign the guest form", "Read the guide", "Quit"};
static const char hot_keys[] = "SRQ";
enum { item_count = 3, menu_row = 9 };

/* Where the door's own file is, from the folder it was given. */
static const char* path_of(const char* name) {
    static char path[260];
    snprintf(path, sizeof path, "%s/%s", folder, name);
    return path;
}

/* The end callback: a real door would save its state here. */
static void on_end(int reason) {
    char line[64];
    snprintf(line, sizeof line, "tour: call ended by the library, reason %d", reason);
    od_log(line);
}

/* The bottom line: the time left, the screen's size and, after a warning,
 * the warning. */
static void status_line(const char* warning) {
    int left = od_seconds_left();
    od_goto(od_control.od_rows, 1);
    od_set_color(OD_BLACK, OD_CYAN);
    if (left < 0)
        od_printf(" Time left: no limit   Screen: %dx%d ", od_control.od_rows, od_control.od_cols);
    else
        od_printf(" Time left: %d min   Screen: %dx%d ", (left + 59) / 60, od_control.od_rows,
                  od_control.od_cols);
    if (warning) {
        od_set_color(OD_BRIGHT_WHITE, OD_RED);
        od_printf(" %s ", warning);
    }
    od_clear_eol();
    od_set_color(OD_GREY, OD_BLACK);
}

/* The library's warnings go to the status line instead of scrolling the
 * screen; the library puts the cursor back afterwards. */
static void on_warn(int reason, int seconds) {
    char warning[48];
    if (reason == OD_END_TIME)
        snprintf(warning, sizeof warning, "%d seconds left in this call", seconds);
    else
        snprintf(warning, sizeof warning, "Press a key within %d seconds", seconds);
    status_line(warning);
}

/* Waits for a key; a new window size is no key. */
static void any_key(void) {
    while (od_key(-1) == OD_KEY_RESIZE) {
    }
}

static void draw_item(int i, bool current) {
    od_goto(menu_row + i, 4);
    if (current)
        od_set_color(OD_BRIGHT_WHITE, OD_BLUE);
    else
        od_set_color(OD_GREY, OD_BLACK);
    od_printf("[%c] %-22s", hot_keys[i], items[i]);
    od_set_color(OD_GREY, OD_BLACK);
}

/* The menu: Up and Down move the bar, Enter or a hot key chooses. A new
 * window size draws it all again. */
static void draw_menu(int current) {
    od_clr_scr();
    if (od_show_file(path_of("welcome"), false) < 0) od_printf("(no welcome art)\n\r");
    if (!od_control.user_ansi) od_printf("\n\r");
    for (int i = 0; i < item_count; ++i) {
        if (od_control.user_ansi)
            draw_item(i, i == current);
        else
            od_printf("[%c] %s\n\r", hot_keys[i], items[i]);
    }
    status_line(NULL);
    if (od_control.user_ansi) {
        od_goto(menu_row + item_count + 1, 4);
        od_show_cursor(false);
    } else {
        od_printf("Your choice: ");
    }
}

static int menu(int current) {
    draw_menu(current);
    for (;;) {
        int key = od_key(-1);
        int moved = current;
        if (key == OD_KEY_RESIZE && od_control.user_ansi) draw_menu(current);
        if (key == OD_KEY_UP) moved = (current + item_count - 1) % item_count;
        if (key == OD_KEY_DOWN) moved = (current + 1) % item_count;
        if (key == '\r') break;
        for (int i = 0; i < item_count; ++i)
            if (key == hot_keys[i] || key == hot_keys[i] + 'a' - 'A') {
                current = i;
                key = '\r';
            }
        if (key == '\r') break;
        if (moved != current && od_control.user_ansi) {
            draw_item(current, false);
            draw_item(moved, true);
            od_goto(menu_row + item_count + 1, 4);
        }
        current = moved;
    }
    od_show_cursor(true);
    return current;
}

/* Two fields: Tab, Up and Down move between them, Enter on the last one
 * signs, Escape leaves. */
static void form(void) {
    char name[36], password[17] = "";
    tODEdit name_field = {20, 0, NULL};
    tODEdit password_field = {16, '*', NULL};
    snprintf(name, sizeof name, "%s", od_control.user_name);
    od_clr_scr();
    od_printf("`bright white`The guest form`grey`\n\r\n\r");
    if (od_control.user_ansi) od_printf("Name:\n\rPassword:\n\r");
    int field = 0;
    for (;;) {
        int key;
        if (od_control.user_ansi) {
            od_goto(3 + field, 11);
        } else {
            od_printf(field == 0 ? "\n\rName: " : "\n\rPassword: ");
        }
        if (field == 0)
            key = od_edit(name, 30, &name_field);
        else
            key = od_edit(password, 16, &password_field);
        if (key == 27) return;
        if (key == '\r' && field == 1) break;
        field = key == OD_KEY_UP ? 0 : field == 0 ? 1 : key == '\r' ? 1 : 0;
    }
    od_goto(6, 1);
    od_printf("\n\r`bright green`Thank you, %s`grey` (a password of %d characters).\n\r", name,
              (int)strlen(password));
    od_printf("Press any key, or wait two seconds.");
    od_key(2000); /* 0 after two seconds without a key; a new window size ends it too */
}

int main(int argc, char* argv[]) {
    if (argc > 1) snprintf(od_control.info_path, sizeof od_control.info_path, "%s", argv[1]);
    if (argc > 2) snprintf(folder, sizeof folder, "%s", argv[2]);
    od_control.od_on_end = on_end;
    od_init();
    /* The drop file's size may be stale or missing: ask the terminal. */
    if (od_control.user_ansi) od_probe(1000);
    /* A plain caller has no status line: the library's own warning line
     * suits it. */
    if (od_control.user_ansi) od_control.od_on_warn = on_warn;
    int current = 0;
    for (;;) {
        current = menu(current);
        if (current == 0) form();
        if (current == 1) {
            od_clr_scr();
            int shown = od_show_file(path_of("guide.txt"), true);
            od_printf("\n\r%s Press any key.", shown == 1 ? "Stopped." : "The end.");
            any_key();
        }
        if (current == 2) break;
    }
    od_clr_scr();
    od_printf("Goodbye, %s.\n\r", od_control.user_name);
    od_exit(10, false);
    return 0;
}
