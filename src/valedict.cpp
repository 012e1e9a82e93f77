// valedict: a door that keeps the last caller's parting words for the next.
#include "OpenDoor.h"
#include "league_post.h"
#include "od_error.h"
#include "words.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// Copies a field up to its zero byte or its width, whichever comes first.
// Control bytes would be commands to the caller's terminal: a '?' stands in.
static void Visible(char* Out, const char* Field, size_t Width) {
    size_t Current;
    for (Current = 0; Current < Width && Field[Current] != '\0'; Current++) {
        unsigned char Byte = (unsigned char)Field[Current];
        Out[Current] = (Byte < 32 || Byte == 127) ? '?' : Field[Current];
    }
    Out[Current] = '\0';
}

static void Border(int Left, int Right) {
    od_set_color(9, 0);
    od_putch(Left);
    od_repeat(0xCD, 71);
    od_putch(Right);
    od_printf("`grey`\n\r");
}

static void ShowQuote() {
    WORDS Words;
    char Shown[sizeof Words.Line[0] + 1];
    int Current;
    FILE* fp;

    memset(&Words, 0, sizeof Words);
    fp = OpenRecord(DataFile);
    if (fp == NULL) {
        od_printf("`bright red`No current Valedicts on file.\n\r");
        return;
    }
    size_t Got = fread(&Words, 1, sizeof Words, fp);
    if (Got != sizeof Words) {
        // Whatever was not read stays zero, so no field shows it.
        memset((char*)&Words + Got, 0, sizeof Words - Got);
        Error(30, __LINE__, DataFile);
    }
    (void)fclose(fp); // nothing was written: a failed close loses nothing

    Visible(Shown, Words.User, sizeof Words.User);
    od_printf("`grey`These Valedicts left by ");
    od_printf("`bright cyan`%s\n\r", Shown);
    Border(0xC9, 0xBB);
    for (Current = 0; Current <= 4 && Words.Line[Current][0] != '\0'; Current++) {
        Visible(Shown, Words.Line[Current], sizeof Words.Line[Current]);
        od_printf("  `cyan`%s\n\r", Shown);
    }
    Border(0xC8, 0xBC);
}

// A record that history could not keep, or an entry the league could not
// take, costs the caller nothing; the sysop's log says why. With a league
// set up, the saved entry goes out to the other boards.
static void SaveQuote(const WORDS* Words) {
    static LEAGUE League; // paths of PATH_MAX bytes: kept off the stack
    char Kept[256];
    char Problem[ProblemMost];
    int Result;
    if (ReadLeague(&League, Problem, sizeof Problem) == LeagueOn)
        Result = SaveShared(&League, Words, Kept, sizeof Kept, Problem, sizeof Problem);
    else
        Result = SaveWords(Words, Kept, sizeof Kept);
    if (Kept[0]) {
        char Line[320];
        (void)snprintf(Line, sizeof Line, "the replaced entry was not kept: %s", Kept);
        od_log(Line);
    }
    if (Problem[0]) {
        char Line[ProblemMost + 16];
        (void)snprintf(Line, sizeof Line, "league: %s", Problem);
        od_log(Line);
    }
    if (Result == NotOpened) Error(10, __LINE__, DataFile);
    if (Result == NotWritten) Error(40, __LINE__, DataFile);
}

static void AddQuote() {
    WORDS* Words;
    int Current;
    bool Blank;

    Words = static_cast<WORDS*>(calloc(1, sizeof(WORDS)));
    if (Words == NULL) {
        Error(60, __LINE__, NULL);
        return;
    }

    od_printf("`grey`Enter up to `bright cyan`%d`grey` lines.", 5);
    od_printf("  A blank line ends.\n\r\n\r");
    Current = 0;
    Blank = false;
    do {
        od_printf("`bright cyan`%d`grey`: ", Current + 1);
        od_input_str(Words->Line[Current], 69, 32, 127);
        if (Words->Line[Current][0] == '\0') Blank = true;
        Current++;
    } while (Current <= 4 && !Blank);

    if (Words->Line[0][0] != '\0') {
        od_printf("`grey`Save these valedicts [Y/n]:");
        if (od_get_answer("YN\r\n") == 'N') {
            od_printf("`bright cyan`No\n\r");
        } else {
            od_printf("`bright cyan`Yes\n\r");
            memcpy(Words->User, od_control.user_name,
                   strnlen(od_control.user_name, sizeof Words->User - 1));
            SaveQuote(Words);
        }
    }
    free(Words);
}

// Run as root, the door acts as its folder's owner before it reads or
// writes anything there; a folder it must not work in ends the call.
static void TakeFolderOwner() {
    char Problem[200];
    char Here[256];
    char Line[480];
    if (ActAsFolderOwner(Problem, sizeof Problem)) return;
    if (getcwd(Here, sizeof Here) == NULL) (void)snprintf(Here, sizeof Here, ".");
    (void)snprintf(Line, sizeof Line, "%s: %s", Here, Problem);
    (void)fprintf(stderr, "valedict: %s\n", Line);
    od_log(Line);
    Error(10, __LINE__, DataFile);
    od_exit(1, false);
}

static const char Help[] =
    "usage: valedict [DROP-FILE | NODE-FOLDER]\n"
    "Shows the parting words the last caller left and lets this caller leave\n"
    "their own. A BBS starts it in the folder that holds valedict.dat, with the\n"
    "drop file (DOOR32.SYS, DOOR.SYS, DORINFOx.DEF, CHAIN.TXT, DOORFILE.SR) or\n"
    "the node folder holding it; with none, the working folder is searched. Only\n"
    "the first 59 characters of the path are kept.\n"
    "\n"
    "Settings in the environment: BBSDEV_DRP, ODOORS_IO, ODOORS_CHARSET,\n"
    "ODOORS_INACTIVITY, ODOORS_WARN, ODOORS_LINGER, ODOORS_LOG (see valedict(6)).\n"
    "A [league] section in valedict.ini beside valedict.dat shares the entry with\n"
    "other boards over FTN echomail (see valedict(6)).\n"
    "\n"
    "Exit status: 10 when the call ends, 1 when it cannot start (no usable drop\n"
    "file, or this text could not be written).\n";

// Asked by a sysop at a shell, not by a BBS: no drop file has such a name.
static int Inform(const char* Argument) {
    if (strcmp(Argument, "--version") == 0)
        printf("valedict %s (libODoors %s)\n", VALEDICT_VERSION, od_version());
    else
        (void)fputs(Help, stdout);
    if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
    (void)fprintf(stderr, "valedict: standard output: %s\n", strerror(errno));
    return 1;
}

int main(int argc, char* argv[]) {
    if (argc > 1 && (strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "--help") == 0 ||
                     strcmp(argv[1], "-h") == 0))
        return Inform(argv[1]);
    if (argc > 1) strncpy(od_control.info_path, argv[1], sizeof od_control.info_path - 1);
    od_control.od_clear_on_exit = false;
    od_init();
    TakeFolderOwner();

    od_printf("`bright cyan`VALEDICT v1.05, Aug 14 2003.  ");
    od_printf("`bright white`The Valedict Quote Door.\n\r");
    od_printf("`bright blue`valedict is free software under the BSD 2-Clause licence.\n\r");
    od_printf("\n\r");

    ShowQuote();

    od_printf("`grey`Would you like to add some valedicts [Y/n]:");
    if (od_get_answer("YN\r\n") == 'N') {
        od_printf("`bright cyan`No\n\r");
    } else {
        od_printf("`bright cyan`Yes\n\r");
        AddQuote();
    }

    od_exit(10, 0);
    return 0;
}
