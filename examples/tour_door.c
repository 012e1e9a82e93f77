/* A tour of libODoors in plain C: an art screen, a menu list, a form of two
 * fields, a guest book that every node signs at once and that shows other
 * nodes' signatures as they come, each caller's own count of visits, a
 * paged text file, and a status line with the time left and the library's
 * warnings, all drawn again when the caller's window changes.
 * Run as: tour_door DROPFILE [FOLDER OF ITS FILES] */
#include <OpenDoor.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

static char folder[200] = ".";

static const char* items[] = {"Sign the guest form", "Browse the guest book", "Read the guide",
                              "Press keys", "Quit"};
static const int menu_keys[] = {'S', 'B', 'R', 'K', 'Q', OD_KEY_RESIZE, 0};
static const int resize_key[] = {OD_KEY_RESIZE, 0};
enum { item_count = 5, menu_row = 9, max_guests = 500 };

/* The guest book, shared by every node: one record per signature, in the
 * order they came. */
typedef struct {
    char name[36];
    int32_t node;
} guest;
static tODRecords* book;

/* Each caller's own record: the library keeps the key, the door the count. */
typedef struct {
    char key[36];
    int32_t visits;
} visitor;
static int visits;

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

/* The library keeps it on the bottom row, with the time left and warnings. */
static void show_status(void) {
    char text[64];
    snprintf(text, sizeof text, "libODoors tour   Screen: %dx%d", od_control.od_rows,
             od_control.od_cols);
    od_status(text);
}

static void draw_menu(void) {
    od_clr_scr();
    if (od_show_file(path_of("welcome"), false) < 0) od_printf("(no welcome art)\n\r");
    if (!od_control.user_ansi) od_printf("\n\r");
    show_status();
}

/* Up and Down move the bar, Enter or a hot key chooses. A new window size
 * ends the list, so the whole screen is drawn again. */
static int menu(int current) {
    tODList how = {menu_row, 4, item_count + 1, 30, menu_keys};
    draw_menu();
    for (;;) {
        int key = od_list(items, item_count, &current, &how);
        if (key == OD_KEY_RESIZE) draw_menu();
        for (int i = 0; i < item_count; ++i)
            if (key == menu_keys[i]) return i;
        if (key == '\r') return current;
    }
}

/* Appending takes the next record under the file's lock, so two nodes
 * signing at once get one each. */
static void sign(const char* name) {
    guest entry;
    memset(&entry, 0, sizeof entry);
    snprintf(entry.name, sizeof entry.name, "%s", name);
    entry.node = od_control.od_node;
    if (!book || od_records_count(book) >= max_guests || od_records_append(book, &entry) < 0)
        od_printf("`bright red`The guest book is full or cannot be written.`grey`\n\r");
}

/* The caller's own record, found by their record number (or name), or a new
 * one claimed for them; its count of visits goes up by one. */
static void count_visit(void) {
    visitor me;
    memset(&me, 0, sizeof me);
    tODRecords* file = od_records_open("tourvisits.dat", sizeof me);
    long mine = file ? od_records_own(file, &me, 0, sizeof me.key) : -1;
    if (mine >= 0) {
        visits = ++me.visits;
        od_records_write(file, mine, &me);
    }
    od_records_close(file);
}

/* Two fields: Tab, Up and Down move between them, Enter on the last one
 * signs, Escape leaves. A plain caller is asked for each in turn. */
static void form(void) {
    char name[31], password[17] = "";
    snprintf(name, sizeof name, "%.30s", od_control.user_name);
    tODField fields[] = {{3, 11, "Name: ", name, 30, {20, 0, NULL}},
                         {4, 11, "Password: ", password, 16, {16, '*', NULL}}};
    od_clr_scr();
    od_printf("`bright white`The guest form`grey`\n\r\n\r");
    if (od_control.user_ansi) od_printf("Name:\n\rPassword:\n\r");
    if (od_form(fields, 2, NULL) != '\r') return;
    od_goto(6, 1);
    sign(name);
    od_printf("\n\r`bright green`Thank you, %s`grey` (a password of %d characters).\n\r", name,
              (int)strlen(password));
    od_printf("Press any key, or wait two seconds.");
    od_key(2000); /* 0 after two seconds without a key; a new window size ends it too */
}

/* The signatures, read again from the shared file. */
static int load_book(char names[][48], const char* list[]) {
    guest entry;
    long count = book ? od_records_count(book) : 0;
    if (count < 0) count = 0;
    if (count > max_guests) count = max_guests;
    for (int i = 0; i < count; ++i) {
        if (od_records_read(book, i, &entry) != 0) memset(&entry, 0, sizeof entry);
        snprintf(names[i], sizeof names[i], "%.35s (node %d)", entry.name, (int)entry.node);
        list[i] = names[i];
    }
    return (int)count;
}

static void book_heading(int count) {
    od_clr_scr();
    od_printf("`bright white`The guest book`grey`: %d signatures. Enter or Escape: back.\n\r",
              count);
    show_status();
}

/* The signatures in a list that scrolls; a typed letter jumps to the next
 * name that starts with it, a number to that signature. Every two seconds
 * without a key it reads the book again, so that other nodes' signatures
 * show as they come. */
static void browse(void) {
    static char names[max_guests][48];
    static const char* list[max_guests];
    int count = load_book(names, list);
    int pick = count - 1; /* the newest */
    tODList how = {3, 1, 0, 50, resize_key};
    book_heading(count);
    for (;;) {
        int key = od_list_wait(list, count, &pick, &how, 2000);
        if (key == OD_KEY_RESIZE) {
            book_heading(count);
        } else if (key == 0) {
            int now = load_book(names, list);
            if (now != count) {
                count = now;
                pick = count - 1;
                book_heading(count);
            }
        } else {
            return;
        }
    }
}

/* Each key as the library hands it over: its code, the modifiers held with
 * it, and the character set the caller gets. */
static void keys(void) {
    od_clr_scr();
    od_printf("`bright white`Press keys`grey`: Enter returns. Character set: %s\n\r\n\r",
              od_charset());
    show_status();
    for (;;) {
        int key = od_key(-1);
        if (key == '\r' || key == 0) return;
        int mods = od_key_mods();
        od_printf("Key %d%s%s%s\n\r", key, mods & OD_MOD_SHIFT ? " Shift" : "",
                  mods & OD_MOD_ALT ? " Alt" : "", mods & OD_MOD_CTRL ? " Ctrl" : "");
    }
}

int main(int argc, char* argv[]) {
    if (argc > 1) snprintf(od_control.info_path, sizeof od_control.info_path, "%s", argv[1]);
    if (argc > 2) snprintf(folder, sizeof folder, "%s", argv[2]);
    od_control.od_on_end = on_end;
    od_init();
    /* The drop file's size may be stale or missing: ask the terminal. */
    if (od_control.user_ansi) od_probe(1000);
    book = od_records_open("tourbook.dat", sizeof(guest));
    count_visit();
    int current = 0;
    for (;;) {
        current = menu(current);
        if (current == 0) form();
        if (current == 1) browse();
        if (current == 2) {
            od_clr_scr();
            int shown = od_show_file(path_of("guide.txt"), true);
            od_printf("\n\r%s Press any key.", shown == 1 ? "Stopped." : "The end.");
            while (od_key(-1) == OD_KEY_RESIZE) {
            }
        }
        if (current == 3) keys();
        if (current == 4) break;
    }
    od_records_close(book);
    od_clr_scr();
    od_printf("Goodbye, %s. Visits: %d.\n\r", od_control.user_name, visits);
    od_exit(10, false);
    return 0;
}
