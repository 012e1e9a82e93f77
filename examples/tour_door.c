/* A tour of libODoors in plain C: an art screen, a menu list, a form of two
 * fields, a guest book that every node signs at once, a paged text file,
 * and a status line with the time left and the library's warnings, all
 * drawn again when the caller's window changes.
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

/* The guest book, shared by every node: record 0 holds the number of
 * signatures in `node`, record n the n-th signature. */
typedef struct {
    char name[36];
    int32_t node;
} guest;
static tODRecords* book;

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

/* Record 0 counts the signatures; the update takes the next number under
 * the file's lock, so two nodes signing at once get one each. */
static bool take_number(void* record, void* number) {
    guest* head = record;
    if (head->node < 0 || head->node >= max_guests) return false;
    *(int*)number = ++head->node;
    return true;
}

static void sign(const char* name) {
    guest head, entry;
    int number = 0;
    if (!book || od_records_update(book, 0, &head, take_number, &number) != 0 || number == 0) {
        od_printf("`bright red`The guest book is full or cannot be written.`grey`\n\r");
        return;
    }
    memset(&entry, 0, sizeof entry);
    snprintf(entry.name, sizeof entry.name, "%s", name);
    entry.node = od_control.od_node;
    od_records_write(book, number, &entry);
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
    sign(name);
    od_printf("\n\r`bright green`Thank you, %s`grey` (a password of %d characters).\n\r", name,
              (int)strlen(password));
    od_printf("Press any key, or wait two seconds.");
    od_key(2000); /* 0 after two seconds without a key; a new window size ends it too */
}

/* The signatures in a list that scrolls; a typed letter jumps to the next
 * name that starts with it. */
static void browse(void) {
    static char names[max_guests][48];
    static const char* list[max_guests];
    guest head, entry;
    int count = 0;
    if (book && od_records_read(book, 0, &head) == 0 && head.node > 0)
        count = head.node < max_guests ? head.node : max_guests;
    for (int i = 0; i < count; ++i) {
        if (od_records_read(book, i + 1, &entry) != 0) memset(&entry, 0, sizeof entry);
        snprintf(names[i], sizeof names[i], "%.35s (node %d)", entry.name, (int)entry.node);
        list[i] = names[i];
    }
    int pick = count - 1; /* the newest */
    tODList how = {3, 1, 0, 50, resize_key};
    do {
        od_clr_scr();
        od_printf("`bright white`The guest book`grey`: %d signatures. Enter or Escape: back.\n\r",
                  count);
        show_status();
    } while (od_list(list, count, &pick, &how) == OD_KEY_RESIZE);
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
    od_printf("Goodbye, %s.\n\r", od_control.user_name);
    od_exit(10, false);
    return 0;
}
