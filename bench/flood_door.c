/* Prints without waiting for a key, as a careless door does: run as
 * flood_door DROPFILE repeat N (od_repeat of N bytes) or
 * flood_door DROPFILE lines N (N od_printf lines), then ends; with "wait"
 * after N it waits for a key before it ends. What the memory and slow-caller
 * rows measure. */
#include <OpenDoor.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char* argv[]) {
    if (argc < 4) return 2;
    snprintf(od_control.info_path, sizeof od_control.info_path, "%s", argv[1]);
    od_init();
    int n = atoi(argv[3]);
    if (strcmp(argv[2], "repeat") == 0) od_repeat('x', n);
    for (int i = 0; strcmp(argv[2], "lines") == 0 && i < n; ++i)
        od_printf("`bright cyan`line %d`grey` of the flood\n\r", i);
    if (argc > 4 && strcmp(argv[4], "wait") == 0) od_key(-1);
    od_exit(10, false);
    return 0;
}
