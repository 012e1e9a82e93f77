/* A careless door for the tests of the second hostile review: run as
 * hostile_door DROPFILE MODE [N], MODE one of
 *   flood   prints N bytes at once (od_repeat), then "done", then waits
 *   stream  after a key, prints N bytes and works until a file "go"
 *           appears, without a wait for input
 *   huge    prints fields as wide as an int allows, then N bytes, "survived"
 *   field   edits a field of width N (0: as wide as its 4000 characters)
 *   warn    edits a field while the inactivity warning calls a hook that
 *           asks for input; writes what each call gave to warn.txt */
#include <OpenDoor.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void warn_hook(int reason, int seconds) {
    (void)seconds;
    char line[8] = "x";
    char field[8] = "y";
    od_printf("[warned %d]", reason);
    int key = od_key(-1);
    char answer = od_get_answer("YN");
    od_input_str(line, 5, 32, 126);
    int edit = od_edit(field, 5, NULL);
    FILE* out = fopen("warn.txt", "a");
    if (!out) return;
    fprintf(out, "key %d answer %d line '%s' edit %d '%s'\n", key, answer, line, edit, field);
    fclose(out);
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    snprintf(od_control.info_path, sizeof od_control.info_path, "%s", argv[1]);
    const char* mode = argv[2];
    int n = argc > 3 ? atoi(argv[3]) : 0;
    if (strcmp(mode, "warn") == 0) {
        od_control.od_on_warn = warn_hook;
        od_control.od_inactivity = 4;
        od_control.od_warn_seconds = 3;
    }
    od_init();
    if (strcmp(mode, "flood") == 0) {
        od_repeat('x', n);
        od_printf("done\n\r");
        od_key(-1);
    } else if (strcmp(mode, "stream") == 0) {
        od_printf("ready\n\r");
        od_key(-1);
        od_repeat('x', n);
        od_printf("streamed\n\r");
        while (access("go", F_OK) != 0) usleep(10000);
    } else if (strcmp(mode, "huge") == 0) {
        int wide = (int)strtol("2147483647", NULL, 10); /* INT_MAX, unseen by the compiler */
        od_printf("%*d|%.*d|%-*s|", wide, 1, wide, 2, wide, "s");
        od_repeat('x', n);
        od_printf("\n\rsurvived\n\r");
    } else if (strcmp(mode, "field") == 0 || strcmp(mode, "warn") == 0) {
        static char text[4001] = "start";
        tODEdit how = {n, 0, NULL};
        int ended = od_edit(text, n ? 10 : 4000, &how);
        od_printf("\n\rended %d '%s'\n\r", ended, text);
        if (strcmp(mode, "warn") == 0) od_key(-1); /* a second warning, to a plain wait */
    }
    od_exit(10, false);
    return 0;
}
