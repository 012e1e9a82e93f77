/* Shows one file to the caller and ends: what the file-showing row measures. */
#include <OpenDoor.h>
#include <stdio.h>

int main(int argc, char* argv[]) {
    if (argc < 3) return 2;
    snprintf(od_control.info_path, sizeof od_control.info_path, "%s", argv[1]);
    od_init();
    int shown = od_show_file(argv[2], false);
    od_exit(shown == 0 ? 10 : 1, false);
    return 0;
}
