// valedict-sysop: the sysop's tool to show, set, clear and restore the entry,
// and to run its league.
#include "open_checked.h"
#include "sysop_league.h"
#include "words.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

static const char Usage[] = "usage: valedict-sysop [-C FOLDER] show [--raw] | clear | history | "
                            "restore N\n"
                            "       valedict-sysop [-C FOLDER] set --name NAME [FILE | -]\n"
                            "       valedict-sysop [-C FOLDER] league import | accept | reject | "
                            "status\n"
                            "       valedict-sysop --help | --version\n";
static const char HistoryOff[] = "history is off: create the folder valedict.old beside "
                                 "valedict.dat to switch it on (mkdir valedict.old)";

static const char Help[] =
    "Moderates the entry of the valedict door in its folder (the working folder,\n"
    "or FOLDER with -C; FILE is taken from where the tool was started).\n"
    "\n"
    "  show            the entry as a caller sees it\n"
    "  show --raw      each field on its own line, bytes outside 32-126 as \\xNN\n"
    "  set --name NAME [FILE | -]\n"
    "                  a new entry of up to five lines of 1-69 printable ASCII\n"
    "                  characters, from FILE or standard input\n"
    "  clear           removes the entry\n"
    "  history         the kept records, newest first (history is on when a\n"
    "                  folder valedict.old lies beside valedict.dat)\n"
    "  restore N       puts kept record N back, checked as set checks a text; the\n"
    "                  entry it replaces is kept\n"
    "  league import   takes the newest entry from the packets the tosser left\n"
    "                  for the door (the [league] section of valedict.ini)\n"
    "  league accept   puts the winner held by hold = yes in place\n"
    "  league reject   drops the held winner\n"
    "  league status   the last export and import, what waits, what was refused\n"
    "\n"
    "Exit status: 0 done, 1 a usage mistake or a refused text or record, 2 a file\n"
    "or folder that cannot be read or written.\n";

static int Fail(const char* What, const char* Why) {
    (void)fprintf(stderr, "valedict-sysop: %s: %s\n", What, Why);
    return 2;
}

static int Refuse(const char* What) {
    (void)fprintf(stderr, "valedict-sysop: %s\n", What);
    return 1;
}

// The status once a text for the sysop has gone to standard output.
static int Written() {
    if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
    return Fail("standard output", strerror(errno));
}

static int BadUsage() {
    (void)fputs(Usage, stderr);
    return 1;
}

// A field as text a terminal cannot take for a command: bytes outside 32 to
// 126 become \xNN, and a backslash is doubled.
static std::string Escaped(const char* Field, size_t Width) {
    std::string Out;
    for (size_t At = 0; At < Width && Field[At] != '\0'; At++) {
        unsigned char Byte = (unsigned char)Field[At];
        char Code[8];
        if (Byte == '\\') {
            Out += "\\\\";
        } else if (Byte < 32 || Byte > 126) {
            (void)snprintf(Code, sizeof Code, "\\x%02x", Byte);
            Out += Code;
        } else {
            Out += (char)Byte;
        }
    }
    return Out;
}

// iconv's failure value.
// NOLINTNEXTLINE(performance-no-int-to-ptr)
static const iconv_t NoConverter = reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1));

// A field as a caller would see it: CP437 letters in UTF-8 where the locale
// is UTF-8, and '?' for control bytes and for what cannot be shown.
static std::string Visible(const char* Field, size_t Width, bool Utf8) {
    std::string Out;
    iconv_t Convert = Utf8 ? iconv_open("UTF-8", "CP437") : NoConverter;
    for (size_t At = 0; At < Width && Field[At] != '\0'; At++) {
        unsigned char Byte = (unsigned char)Field[At];
        if (Byte >= 32 && Byte < 127) {
            Out += (char)Byte;
            continue;
        }
        char In[1] = {(char)Byte};
        char Wide[8];
        char* InNext = In;
        char* OutNext = Wide;
        size_t InLeft = 1, OutLeft = sizeof Wide;
        if (Byte >= 128 && Convert != NoConverter &&
            iconv(Convert, &InNext, &InLeft, &OutNext, &OutLeft) != (size_t)-1)
            Out.append(Wide, sizeof Wide - OutLeft);
        else
            Out += '?';
    }
    if (Convert != NoConverter) iconv_close(Convert);
    return Out;
}

// Reads the entry: 1 with Words filled (Got bytes of it, Size the file's
// length), 0 when there is none, 2 after saying why it cannot be read.
static int ReadEntry(WORDS* Words, size_t* Got, long long* Size) {
    struct stat Info;
    memset(Words, 0, sizeof *Words);
    if (stat(DataFile, &Info) != 0) return errno == ENOENT ? 0 : Fail(DataFile, strerror(errno));
    if (!S_ISREG(Info.st_mode)) return 0;
    FILE* fp = OpenRecord(DataFile);
    if (fp == NULL) return Fail(DataFile, strerror(errno));
    *Got = fread(Words, 1, sizeof *Words, fp);
    bool Failed = ferror(fp) != 0;
    (void)fclose(fp);
    if (Failed) return Fail(DataFile, "read error");
    *Size = (long long)Info.st_size;
    return 1;
}

static int Show(bool Raw) {
    WORDS Words;
    size_t Got = 0;
    long long Size = 0;
    int Found = ReadEntry(&Words, &Got, &Size);
    if (Found == 2) return 2;
    if (Raw) {
        if (Found == 0) {
            printf("file: %s: none, or not a regular file\n", DataFile);
            return 0;
        }
        if (Got < sizeof Words)
            printf("file: %s, %lld bytes: cut short, %zu of %zu bytes\n", DataFile, Size, Got,
                   sizeof Words);
        else if (Size > (long long)sizeof Words)
            printf("file: %s, %lld bytes: a whole record, and bytes after it that are ignored\n",
                   DataFile, Size);
        else
            printf("file: %s, %lld bytes: a whole record\n", DataFile, Size);
        for (int Current = 0; Current < 5; Current++)
            printf("line %d: %s\n", Current + 1,
                   Escaped(Words.Line[Current], sizeof Words.Line[Current]).c_str());
        printf("name: %s\n", Escaped(Words.User, sizeof Words.User).c_str());
        return 0;
    }

    bool Colour = isatty(STDOUT_FILENO);
    const char* Codeset = nl_langinfo(CODESET);
    bool Utf8 = Codeset && strcmp(Codeset, "UTF-8") == 0;
    auto Paint = [&](const char* Sgr) {
        if (Colour) printf("\x1b[%sm", Sgr);
    };
    const char* Top[3] = {"+", "=", "+"};
    const char* Bottom[3] = {"+", "=", "+"};
    if (Utf8) {
        Top[0] = "\u2554", Top[1] = "\u2550", Top[2] = "\u2557";
        Bottom[0] = "\u255a", Bottom[1] = "\u2550", Bottom[2] = "\u255d";
    }
    auto Border = [&](const char** Parts) {
        Paint("0;1;34");
        printf("%s", Parts[0]);
        for (int At = 0; At < 71; At++) printf("%s", Parts[1]);
        printf("%s", Parts[2]);
        Paint("0");
        printf("\n");
    };
    if (Found == 0) {
        Paint("0;1;31");
        printf("No current Valedicts on file.");
        Paint("0");
        printf("\n");
        return 0;
    }
    if (Got < sizeof Words)
        (void)fprintf(stderr, "valedict-sysop: %s: cut short, %zu of %zu bytes\n", DataFile, Got,
                      sizeof Words);
    Paint("0");
    printf("These Valedicts left by ");
    Paint("0;1;36");
    printf("%s", Visible(Words.User, sizeof Words.User, Utf8).c_str());
    Paint("0");
    printf("\n");
    Border(Top);
    for (int Current = 0; Current <= 4 && Words.Line[Current][0] != '\0'; Current++) {
        printf("  ");
        Paint("0;36");
        printf("%s", Visible(Words.Line[Current], sizeof Words.Line[Current], Utf8).c_str());
        Paint("0");
        printf("\n");
    }
    Border(Bottom);
    return 0;
}

// What a save or a clear said: 0, or 2 after one line naming the problem.
static int Outcome(int Result, const char* Kept) {
    if (Kept[0] != '\0')
        (void)fprintf(stderr, "valedict-sysop: %s: the old record was not kept\n", Kept);
    if (Result == NotOpened) return Fail(DataFile, strerror(errno));
    if (Result == NotWritten) return Fail(DataFile, strerror(errno));
    return 0;
}

// Checks one line of a new entry; empty when it may be saved.
static std::string LineProblem(const std::string& Line, int Number) {
    char Said[128];
    if (Number > 5) return "line " + std::to_string(Number) + ": more than five lines";
    if (Line.empty())
        return "line " + std::to_string(Number) +
               ": empty (the door would stop showing the entry there)";
    if (Line.size() > 69) return "line " + std::to_string(Number) + ": more than 69 characters";
    for (size_t At = 0; At < Line.size(); At++) {
        unsigned char Byte = (unsigned char)Line[At];
        if (Byte < 32 || Byte > 126) {
            (void)snprintf(Said, sizeof Said,
                           "line %d: byte 0x%02x at column %zu is not printable ASCII", Number,
                           Byte, At + 1);
            return Said;
        }
    }
    return "";
}

// Checks the contributor's name; empty when it may be saved. A name the door
// saved may hold CP437 letters from the drop file (Cp437); a typed one may not.
static std::string NameProblem(const char* Name, size_t Length, bool Cp437 = false) {
    if (Length == 0) return "empty";
    if (Length > 35) return "more than 35 characters";
    for (size_t At = 0; At < Length; At++) {
        unsigned char Byte = (unsigned char)Name[At];
        if (Cp437 && Byte >= 128 && Byte < 255) continue;
        if (Byte < 32 || Byte > 126) return "a byte outside printable ASCII";
    }
    return "";
}

// The text of a new entry comes from fp, already open (From names it, NULL
// for standard input).
static int Set(const char* Name, FILE* fp, const char* From) {
    WORDS Words;
    char Kept[512];
    std::string Text;

    size_t NameLength = strlen(Name);
    std::string BadName = NameProblem(Name, NameLength);
    if (!BadName.empty()) return Refuse(("--name: " + BadName).c_str());

    char Chunk[4096];
    size_t Got;
    while ((Got = fread(Chunk, 1, sizeof Chunk, fp)) > 0 && Text.size() < 65536)
        Text.append(Chunk, Got);
    bool Failed = ferror(fp) != 0;
    if (Failed) return Fail(From ? From : "standard input", "read error");
    if (Text.empty()) return Refuse("empty text");

    memset(&Words, 0, sizeof Words);
    if (Text.back() == '\n') Text.pop_back(); // the last line end ends nothing
    size_t Start = 0;
    for (int Number = 1;; Number++) {
        size_t End = Text.find('\n', Start);
        std::string Line = Text.substr(Start, End == std::string::npos ? End : End - Start);
        if (!Line.empty() && Line.back() == '\r') Line.pop_back(); // CR LF from a DOS editor
        std::string Problem = LineProblem(Line, Number);
        if (!Problem.empty()) return Refuse(Problem.c_str());
        memcpy(Words.Line[Number - 1], Line.data(), Line.size());
        if (End == std::string::npos) break;
        Start = End + 1;
    }
    memcpy(Words.User, Name, NameLength);
    Kept[0] = '\0';
    int Result = SaveEntry(&Words, Kept, sizeof Kept);
    return Outcome(Result, Kept);
}

static int Clear() {
    char Kept[512];
    struct stat Info;
    if (lstat(DataFile, &Info) != 0 && errno == ENOENT) {
        printf("No current Valedicts on file.\n");
        return 0;
    }
    Kept[0] = '\0';
    int Result = ClearWords(Kept, sizeof Kept);
    if (Result == NotOpened && errno == ENOENT) {
        printf("No current Valedicts on file.\n");
        return 0;
    }
    return Outcome(Result, Kept);
}

// 20261209T031500Z-2.dat as 2026-12-09 03:15:00 UTC.
static std::string When(const char* Name) {
    char Out[32];
    (void)snprintf(Out, sizeof Out, "%.4s-%.2s-%.2s %.2s:%.2s:%.2s UTC", Name, Name + 4, Name + 6,
                   Name + 9, Name + 11, Name + 13);
    return Out;
}

// The history's names, newest first: 0 with Names filled, or 2 after saying
// why the folder cannot be read. Off stays empty with Off set.
static int AllKept(std::vector<std::array<char, KeptNameSize>>* Names, bool* Off) {
    *Off = false;
    Names->clear();
    int Count = KeptRecords(NULL, 0);
    // Another save may add one between the count and the reading.
    for (int Tries = 0; Count >= 0 && Count > (int)Names->size() && Tries < 3; Tries++) {
        Names->resize((size_t)Count + 4);
        Count =
            KeptRecords(reinterpret_cast<char(*)[KeptNameSize]>(Names->data()), (int)Names->size());
    }
    if (Count == -1) *Off = true;
    if (Count == -2) return Fail(HistoryFolder, strerror(errno));
    Names->resize(Count > 0 ? std::min((size_t)Count, Names->size()) : 0);
    return 0;
}

static int History() {
    std::vector<std::array<char, KeptNameSize>> Names;
    bool Off;
    if (AllKept(&Names, &Off) != 0) return 2;
    if (Off) {
        printf("%s\n", HistoryOff);
        return 0;
    }
    if (Names.empty()) printf("no records kept yet\n");
    for (size_t At = 0; At < Names.size(); At++) {
        WORDS Words;
        size_t Got;
        const char* Name = Names[At].data();
        bool Read = ReadKept(Name, &Words, &Got);
        if (!Read || Got == 0) {
            printf("%2zu  %s  (cannot be read: %s)\n", At + 1, When(Name).c_str(),
                   Read ? "empty" : strerror(errno));
            continue;
        }
        printf("%2zu  %s  %s: %s\n", At + 1, When(Name).c_str(),
               Escaped(Words.User, sizeof Words.User).c_str(),
               Escaped(Words.Line[0], sizeof Words.Line[0]).c_str());
    }
    return 0;
}

// A kept record is restored only as set would have saved it; empty when it
// may be, else why not.
static std::string RecordProblem(const WORDS& Words, size_t Got) {
    if (Got < sizeof Words)
        return "cut short, " + std::to_string(Got) + " of " + std::to_string(sizeof Words) +
               " bytes";
    int Lines = 0;
    for (int At = 0; At < 5; At++)
        if (Words.Line[At][0] != '\0') Lines = At + 1;
    if (Lines == 0) return "empty text";
    for (int At = 0; At < Lines; At++) {
        size_t Length = strnlen(Words.Line[At], sizeof Words.Line[At]);
        std::string Problem = LineProblem(std::string(Words.Line[At], Length), At + 1);
        if (!Problem.empty()) return Problem;
    }
    std::string Problem = NameProblem(Words.User, strnlen(Words.User, sizeof Words.User), true);
    return Problem.empty() ? "" : "name: " + Problem;
}

static int Restore(const char* Which) {
    std::vector<std::array<char, KeptNameSize>> Names;
    char Kept[512];
    WORDS Words;
    size_t Got;
    bool Off;

    // Only the numbers history shows: no sign, no blank, no base.
    size_t Digits = strspn(Which, "0123456789");
    if (Digits == 0 || Which[Digits] != '\0') {
        std::string Said = "restore: not a record number: \"" + Escaped(Which, strlen(Which)) +
                           "\" (plain digits, as history lists)";
        return Refuse(Said.c_str());
    }
    if (AllKept(&Names, &Off) != 0) return 2;
    if (Off) {
        (void)fprintf(stderr, "valedict-sysop: %s\n", HistoryOff);
        return 2;
    }
    long Number = Digits > 9 ? 0 : strtol(Which, NULL, 10);
    if (Number < 1 || Number > (long)Names.size()) {
        (void)fprintf(stderr, "valedict-sysop: restore: no kept record %s (%zu kept)\n", Which,
                      Names.size());
        return 1;
    }
    const char* Name = Names[(size_t)Number - 1].data();
    std::string Path = std::string(HistoryFolder) + "/" + Name;
    if (!ReadKept(Name, &Words, &Got)) return Fail(Path.c_str(), strerror(errno));
    std::string Problem = RecordProblem(Words, Got);
    if (!Problem.empty()) return Refuse(("restore: " + Path + ": " + Problem).c_str());
    Kept[0] = '\0';
    // A restore is a save: with a league, the restored words go out as a new entry.
    return Outcome(SaveEntry(&Words, Kept, sizeof Kept), Kept);
}

// Runs one command on the entry in the working folder; Args are the Left
// words after the command.
static int Run(const char* Command, char** Args, int Left, FILE* Text, const char* From) {
    if (strcmp(Command, "show") == 0) {
        if (Left == 0) return Show(false);
        if (Left == 1 && strcmp(Args[0], "--raw") == 0) return Show(true);
        return BadUsage();
    }
    if (strcmp(Command, "set") == 0) {
        if (Left < 2 || Left > 3 || strcmp(Args[0], "--name") != 0) return BadUsage();
        return Set(Args[1], Text, From);
    }
    if (strcmp(Command, "clear") == 0 && Left == 0) return Clear();
    if (strcmp(Command, "history") == 0 && Left == 0) return History();
    if (strcmp(Command, "restore") == 0 && Left == 1) return Restore(Args[0]);
    if (strcmp(Command, "league") == 0 && Left == 1) {
        int Result = LeagueCommand(Args[0]);
        if (Result >= 0) return Result;
    }
    return BadUsage();
}

// Moves to the door's folder. Root goes there by the links root may follow
// (open_checked): a link another user put on the way must not choose the
// folder whose owner root then acts as.
static bool EnterFolder(const char* Folder) {
    if (geteuid() != 0) return chdir(Folder) == 0;
    int Dir = od::open_checked(Folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Dir < 0) return false;
    bool Done = fchdir(Dir) == 0;
    int Why = errno;
    close(Dir);
    errno = Why;
    return Done;
}

// The folder as the sysop named it, or the working folder in full.
static std::string FolderName(const char* Folder) {
    if (Folder) return Folder;
    char Here[PATH_MAX];
    return getcwd(Here, sizeof Here) ? Here : ".";
}

int main(int argc, char* argv[]) {
    (void)setlocale(LC_ALL, "");
    int At = 1;
    if (At < argc && (strcmp(argv[At], "--help") == 0 || strcmp(argv[At], "-h") == 0)) {
        printf("%s%s", Usage, Help);
        return Written();
    }
    if (At < argc && strcmp(argv[At], "--version") == 0) {
        printf("valedict-sysop %s\n", VALEDICT_VERSION);
        return Written();
    }
    const char* Folder = NULL;
    if (At < argc && strcmp(argv[At], "-C") == 0) {
        if (At + 1 >= argc) return BadUsage();
        Folder = argv[At + 1];
        At += 2;
    }
    if (At >= argc) return BadUsage();
    const char* Command = argv[At++];
    int Left = argc - At;
    // A file named on the command line is where the sysop typed it: it is
    // opened before -C moves to the door's folder.
    FILE* Text = stdin;
    const char* From = NULL;
    if (strcmp(Command, "set") == 0 && Left == 3 && strcmp(argv[At], "--name") == 0 &&
        strcmp(argv[At + 2], "-") != 0) {
        From = argv[At + 2];
        Text = fopen(From, "rb");
        if (Text == NULL) return Fail(From, strerror(errno));
    }
    int Status;
    char Problem[256];
    if (Folder != NULL && !EnterFolder(Folder))
        Status = Fail(Folder, strerror(errno));
    else if (!ActAsFolderOwner(Problem, sizeof Problem))
        Status = Fail(FolderName(Folder).c_str(), Problem);
    else
        Status = Run(Command, argv + At, Left, Text, From);
    if (From) (void)fclose(Text);
    return Status;
}
