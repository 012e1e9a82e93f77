/* A door for the tests of how a call ends: run as
 * end_door DROPFILE MODE, MODE one of
 *   return  returns from main after a key, without od_exit
 *   busy    as return, but after the key it works until a file "go"
 *           appears, reading no input meanwhile
 *   exit    calls exit(3) after a key, without od_exit
 *   save    its end callback asks and edits, and writes what each input
 *           call gave to end.txt
 *   idle    as save, and the call ends after a second without a key
 *   stuck   its end callback never returns
 *   quit    its end callback calls od_exit, and the call ends after a
 *           second without a key
 *   limits  shows od_inactivity after od_init with INT_MAX asked for
 *   keys    shows the character set and a UTF-8 text, then each key
 *           with its modifiers until q
 *   answer  shows what each od_get_answer("\x1bQ") gave until Q
 * It hides the cursor, which every end must show again. */
#include <OpenDoor.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void save_on_end(int reason) {
    char text[21] = "start";
    char line[21] = "";
    od_printf("Save your game? (Y/N) ");
    char answer = od_get_answer("YN");
    od_printf("\n\rName: ");
    int ended = od_edit(text, 20, NULL);
    od_printf("\n\rLine: ");
    od_input_str(line, 20, 32, 126);
    od_printf("\n\rA key: ");
    int key = od_key(-1);
    FILE* out = fopen("end.txt", "w");
    if (!out) return;
    fprintf(out, "reason %d answer %d edit %d '%s' line '%s' key %d\n", reason, answer, ended, text,
            line, key);
    fclose(out);
}

static void quit_on_end(int reason) {
    od_printf("quitting %d\n\r", reason);
    od_exit(10, false);
}

static void stuck_on_end(int reason) {
    (void)reason;
    FILE* out = fopen("in_end", "w");
    if (out) fclose(out);
    for (;;) pause();
}

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    snprintf(od_control.info_path, sizeof od_control.info_path, "%s", argv[1]);
    const char* mode = argv[2];
    if (strcmp(mode, "save") == 0 || strcmp(mode, "idle") == 0) od_control.od_on_end = save_on_end;
    if (strcmp(mode, "idle") == 0) od_control.od_inactivity = 1;
    if (strcmp(mode, "stuck") == 0) od_control.od_on_end = stuck_on_end;
    if (strcmp(mode, "quit") == 0) {
        od_control.od_on_end = quit_on_end;
        od_control.od_inactivity = 1;
    }
    if (strcmp(mode, "limits") == 0) od_control.od_inactivity = INT_MAX;
    od_init();
    od_show_cursor(false);
    if (strcmp(mode, "limits") == 0) {
        od_printf("inactivity %d\n\r", od_control.od_inactivity);
        od_exit(10, false);
    }
    if (strcmp(mode, "keys") == 0) {
        od_printf("charset %s\n\r", od_charset());
        od_printf_utf8("utf-8 [%s]\n\r", "caf\xc3\xa9 \xe2\x82\xac");
        for (int key = od_key(-1); key != 'q'; key = od_key(-1))
            od_printf("key %d mods %d\n\r", key, od_key_mods());
        od_exit(10, false);
    }
    if (strcmp(mode, "answer") == 0) {
        od_printf("answer?\n\r");
        for (char answer = 0; answer != 'Q';) {
            answer = od_get_answer("\x1bQ");
            od_printf("answer %d\n\r", answer);
        }
        od_exit(10, false);
    }
    od_printf("ready\n\r");
    od_key(-1);
    if (strcmp(mode, "busy") == 0) {
        od_printf("working\n\r");
        od_key(0); /* sends what is pending */
        while (access("go", F_OK) != 0) usleep(10000);
    }
    od_printf("bye\n\r");
    if (strcmp(mode, "exit") == 0) exit(3);
    return 0;
}
