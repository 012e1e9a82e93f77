/* A full-screen door in plain C: bulletins in a list, each shown a page at
 * a time, with what each caller has read kept in a file that every node
 * shares. A caller without ANSI gets the same list as numbered lines.
 * Run as: list_door DROPFILE [FOLDER OF THE BULLETINS] */
#include <OpenDoor.h>
#include <stdint.h>
#include <stdio.h>

static const char* titles[] = {"Welcome to the board", "House rules", "New files this week",
                               "The next meeting"};
enum { count = 4 };

/* One record per caller, at the BBS's record number: bit n set once
 * bulletin n has been read. */
typedef struct {
    uint32_t read;
} marks;

static bool mark_read(void* record, void* bit) {
    marks* mine = record;
    if (mine->read & *(uint32_t*)bit) return false; /* nothing to write */
    mine->read |= *(uint32_t*)bit;
    return true;
}

int main(int argc, char* argv[]) {
    static const int keys[] = {OD_KEY_RESIZE, 0};
    char folder[200] = ".", lines[count][48], path[260];
    const char* items[count];
    tODList how = {3, 3, 0, 40, keys};
    marks mine = {0};
    int pick = 0;

    if (argc > 1) snprintf(od_control.info_path, sizeof od_control.info_path, "%s", argv[1]);
    if (argc > 2) snprintf(folder, sizeof folder, "%s", argv[2]);
    od_init();
    tODRecords* file = od_records_open("lastread.dat", sizeof(marks));
    long user = od_control.user_number;
    for (;;) {
        if (file) od_records_read(file, user, &mine);
        for (int i = 0; i < count; ++i) {
            snprintf(lines[i], sizeof lines[i], "%-24s%s", titles[i],
                     mine.read & (1u << i) ? "" : "new");
            items[i] = lines[i];
        }
        od_clr_scr();
        od_printf("`bright white`Bulletins`grey` for %s\n\r\n\r", od_control.user_name);
        od_status("Bulletins   Enter: read   Escape: back to the BBS");
        int key = od_list(items, count, &pick, &how);
        if (key == OD_KEY_RESIZE) continue;
        if (key != '\r') break;
        od_clr_scr();
        snprintf(path, sizeof path, "%s/bulletin%d", folder, pick + 1);
        if (od_show_file(path, true) < 0) od_printf("This one is not written yet.\n\r");
        od_printf("\n\rPress any key.");
        while (od_key(-1) == OD_KEY_RESIZE) {
        }
        uint32_t bit = 1u << pick;
        if (file) od_records_update(file, user, &mine, mark_read, &bit);
    }
    od_records_close(file);
    od_status(NULL);
    od_clr_scr();
    od_exit(10, false);
    return 0;
}
