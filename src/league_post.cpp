// The door's part of the league: its settings, its state's keys, and one
// packet out per save. No C++ runtime here: the door loads only libODoors
// and libc.
#include "league_post.h"

#include "file_io.h"
#include "open_checked.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char LeagueFile[] = "valedict.ini";
const char StateFile[] = "valedict.league";
const char SeenFile[] = "valedict.seen";
const char PendingFolder[] = "valedict.pending";

enum {
    IniMost = 64 * 1024,
    PostMost = 4096, // one entry's packet: its five lines fill under 1 KiB
};

static const char* const Months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Writes like snprintf, never past Size, always zero-ended.
#define SAY(Out, Size, ...) (void)snprintf(Out, Size, __VA_ARGS__)

static bool Blank(char Letter) {
    return Letter == ' ' || Letter == '\t' || Letter == '\r';
}

static char Lowered(char Letter) {
    return Letter >= 'A' && Letter <= 'Z' ? (char)(Letter + 32) : Letter;
}

static bool SameWord(const char* Text, size_t Length, const char* Word) {
    if (strlen(Word) != Length) return false;
    for (size_t At = 0; At < Length; At++)
        if (Lowered(Text[At]) != Word[At]) return false;
    return true;
}

static bool Printable(const char* Text, size_t Length, bool Blanks) {
    for (size_t At = 0; At < Length; At++) {
        unsigned char Byte = (unsigned char)Text[At];
        if (Byte < 32 || Byte > 126 || (!Blanks && Byte == ' ')) return false;
    }
    return true;
}

// Copies Length bytes as a zero-ended string; false when it does not fit.
static bool Keep(char* Out, size_t Size, const char* Text, size_t Length) {
    if (Length >= Size) return false;
    memcpy(Out, Text, Length);
    Out[Length] = '\0';
    return true;
}

// Reads a decimal number of 1-5 digits, at most Most.
static bool Number(const char* Text, size_t Length, size_t* At, unsigned Most, unsigned* Value) {
    size_t Start = *At;
    unsigned long Sum = 0;
    while (*At < Length && *At - Start < 6 && Text[*At] >= '0' && Text[*At] <= '9')
        Sum = Sum * 10 + (unsigned long)(Text[(*At)++] - '0');
    if (*At == Start || *At - Start > 5 || Sum > Most) return false;
    *Value = (unsigned)Sum;
    return true;
}

bool ParseAddress(const char* Text, size_t Length, FTNADDR* Address) {
    const char* Domain = static_cast<const char*>(memchr(Text, '@', Length));
    if (Domain) Length = (size_t)(Domain - Text);
    FTNADDR Read = {0, 0, 0, 0};
    size_t At = 0;
    if (!Number(Text, Length, &At, 65535, &Read.Zone) || Read.Zone == 0) return false;
    if (At >= Length || Text[At++] != ':') return false;
    if (!Number(Text, Length, &At, 65535, &Read.Net)) return false;
    if (At >= Length || Text[At++] != '/') return false;
    if (!Number(Text, Length, &At, 65535, &Read.Node)) return false;
    if (At < Length && (Text[At++] != '.' || !Number(Text, Length, &At, 65535, &Read.Point)))
        return false;
    if (At != Length) return false;
    *Address = Read;
    return true;
}

void FormatAddress(const FTNADDR* Address, char* Out, size_t Size) {
    if (Address->Point)
        SAY(Out, Size, "%u:%u/%u.%u", Address->Zone, Address->Net, Address->Node, Address->Point);
    else
        SAY(Out, Size, "%u:%u/%u", Address->Zone, Address->Net, Address->Node);
}

int CompareAddress(const FTNADDR* A, const FTNADDR* B) {
    const unsigned Left[4] = {A->Zone, A->Net, A->Node, A->Point};
    const unsigned Right[4] = {B->Zone, B->Net, B->Node, B->Point};
    for (int At = 0; At < 4; At++)
        if (Left[At] != Right[At]) return Left[At] < Right[At] ? -1 : 1;
    return 0;
}

struct CIVIL {
    int Year;
    unsigned Month, Day, Hour, Minute, Second;
};

// The proleptic Gregorian date of a time, without the C library's time zone.
static CIVIL CivilFromTime(int64_t Time) {
    int64_t Days = Time / 86400, Seconds = Time % 86400;
    if (Seconds < 0) Seconds += 86400, Days--;
    Days += 719468;
    int64_t Era = (Days >= 0 ? Days : Days - 146096) / 146097;
    unsigned DayOfEra = (unsigned)(Days - Era * 146097);
    unsigned YearOfEra = (DayOfEra - DayOfEra / 1460 + DayOfEra / 36524 - DayOfEra / 146096) / 365;
    unsigned DayOfYear = DayOfEra - (365 * YearOfEra + YearOfEra / 4 - YearOfEra / 100);
    unsigned MonthIndex = (5 * DayOfYear + 2) / 153;
    CIVIL Civil;
    Civil.Day = DayOfYear - (153 * MonthIndex + 2) / 5 + 1;
    Civil.Month = MonthIndex < 10 ? MonthIndex + 3 : MonthIndex - 9;
    Civil.Year = (int)((int64_t)YearOfEra + Era * 400 + (Civil.Month <= 2));
    Civil.Hour = (unsigned)(Seconds / 3600);
    Civil.Minute = (unsigned)(Seconds / 60 % 60);
    Civil.Second = (unsigned)(Seconds % 60);
    return Civil;
}

void FormatWritten(int64_t Time, char Out[WrittenSize]) {
    CIVIL Civil = CivilFromTime(Time);
    SAY(Out, WrittenSize, "%04d-%02u-%02uT%02u:%02u:%02uZ", Civil.Year % 10000, Civil.Month,
        Civil.Day, Civil.Hour, Civil.Minute, Civil.Second);
}

// Little-endian, whatever the machine.
static void Put16(unsigned char* Out, unsigned Value) {
    Out[0] = (unsigned char)(Value & 0xff);
    Out[1] = (unsigned char)((Value >> 8) & 0xff);
}

size_t PutHeader(unsigned char* Out, const FTNADDR* From, const FTNADDR* To, const char* Password,
                 int64_t Now) {
    CIVIL Civil = CivilFromTime(Now);
    bool Point = From->Point != 0;
    memset(Out, 0, HeaderSize);
    Put16(Out + 0, From->Node);
    Put16(Out + 2, To->Node);
    Put16(Out + 4, (unsigned)Civil.Year);
    Put16(Out + 6, Civil.Month - 1);
    Put16(Out + 8, Civil.Day);
    Put16(Out + 10, Civil.Hour);
    Put16(Out + 12, Civil.Minute);
    Put16(Out + 14, Civil.Second);
    Put16(Out + 18, 2);                          // packet type
    Put16(Out + 20, Point ? 0xffff : From->Net); // a point's net goes in aux net
    Put16(Out + 22, To->Net);
    Out[24] = 0xfe; // no product code of our own
    Out[25] = 1;
    memcpy(Out + 26, Password, strnlen(Password, 8)); // zero-padded, not zero-ended
    Put16(Out + 34, From->Zone);
    Put16(Out + 36, To->Zone);
    Put16(Out + 38, Point ? From->Net : 0);
    Put16(Out + 40, 0x0100); // capability word, byte-swapped copy
    Put16(Out + 44, 0x0001); // Type 2+
    Put16(Out + 46, From->Zone);
    Put16(Out + 48, To->Zone);
    Put16(Out + 50, From->Point);
    Put16(Out + 52, To->Point);
    return HeaderSize;
}

// Text put at At, never past Size; false once it would not fit.
struct CURSOR {
    unsigned char* Out;
    size_t Size, At;
    bool Fits;
};

static void Append(CURSOR* Cursor, const char* Text, size_t Length) {
    if (!Cursor->Fits || Cursor->Size - Cursor->At < Length) {
        Cursor->Fits = false;
        return;
    }
    memcpy(Cursor->Out + Cursor->At, Text, Length);
    Cursor->At += Length;
}

static void AppendText(CURSOR* Cursor, const char* Text) {
    Append(Cursor, Text, strlen(Text));
}

// A record's field as it travels: bytes outside 32-126 would break the
// text's lines, so a '?' stands in.
static void AppendField(CURSOR* Cursor, const char* Field, size_t Width) {
    size_t Length = strnlen(Field, Width);
    for (size_t At = 0; At < Length; At++) {
        unsigned char Byte = (unsigned char)Field[At];
        char Shown = (Byte < 32 || Byte > 126) ? '?' : (char)Byte;
        Append(Cursor, &Shown, 1);
    }
}

size_t PutMessage(unsigned char* Out, size_t Size, const FTNADDR* To, const char* Area,
                  const POSTED* Entry) {
    CURSOR Cursor = {Out, Size, 0, Size >= 14};
    const FTNADDR* From = &Entry->Origin;
    if (!Cursor.Fits) return 0;
    Put16(Out + 0, 2);
    Put16(Out + 2, From->Node);
    Put16(Out + 4, To->Node);
    Put16(Out + 6, From->Net);
    Put16(Out + 8, To->Net);
    Put16(Out + 10, 0); // attribute
    Put16(Out + 12, 0); // cost
    Cursor.At = 14;
    // "10 Dec 26  11:30:00", the date a packed message carries, and its zero.
    CIVIL Civil = CivilFromTime(Entry->Written);
    char Date[24];
    SAY(Date, sizeof Date, "%02u %s %02d  %02u:%02u:%02u", Civil.Day, Months[Civil.Month - 1],
        Civil.Year % 100, Civil.Hour, Civil.Minute, Civil.Second);
    Append(&Cursor, Date, 20);
    Append(&Cursor, "VALEDICT", 9);
    AppendField(&Cursor, Entry->Words->User, sizeof Entry->Words->User);
    Append(&Cursor, "\0Valedict", 10);
    char Written[WrittenSize], Address[AddressSize];
    FormatWritten(Entry->Written, Written);
    FormatAddress(From, Address, sizeof Address);
    AppendText(&Cursor, "AREA:");
    AppendText(&Cursor, Area);
    AppendText(&Cursor, "\r\x01MSGID: ");
    AppendText(&Cursor, Entry->MsgId);
    AppendText(&Cursor, "\r\x01TZUTC: 0000\r\x01PID: valedict\rWritten: ");
    AppendText(&Cursor, Written);
    AppendText(&Cursor, "\rBoard: ");
    AppendText(&Cursor, Entry->Board);
    AppendText(&Cursor, "\rName: ");
    AppendField(&Cursor, Entry->Words->User, sizeof Entry->Words->User);
    AppendText(&Cursor, "\r");
    for (int Line = 0; Line < 5 && Entry->Words->Line[Line][0] != '\0'; Line++) {
        AppendText(&Cursor, "Line: ");
        AppendField(&Cursor, Entry->Words->Line[Line], sizeof Entry->Words->Line[Line]);
        AppendText(&Cursor, "\r");
    }
    AppendText(&Cursor, "--- valedict\r * Origin: ");
    AppendText(&Cursor, Entry->Board);
    AppendText(&Cursor, " (");
    AppendText(&Cursor, Address);
    Append(&Cursor, ")\r", 3); // with the text's zero
    return Cursor.Fits ? Cursor.At : 0;
}

unsigned long long RecordSum(const WORDS* Words) {
    unsigned long long Sum = 1469598103934665603ULL;
    const unsigned char* Byte = reinterpret_cast<const unsigned char*>(Words);
    for (size_t At = 0; At < sizeof *Words; At++) Sum = (Sum ^ Byte[At]) * 1099511628211ULL;
    return Sum;
}

bool RecordOnFile(WORDS* Words) {
    memset(Words, 0, sizeof *Words);
    FILE* fp = OpenRecord(DataFile);
    if (fp == NULL) return false;
    size_t Got = fread(Words, 1, sizeof *Words, fp);
    (void)fclose(fp);
    return Got == sizeof *Words;
}

// Opens a file through the sticky-folder rule; a FIFO, a device or a
// folder under the name is refused (EINVAL).
int OpenRegular(const char* Path, int Flags, mode_t Mode) {
    int fd = od::open_checked(Path, Flags, Mode);
    if (fd < 0) return -1;
    struct stat Info;
    if (fstat(fd, &Info) != 0 || !S_ISREG(Info.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Reads a whole small file into Out (zero-ended): its length, or -1 with
// errno (EFBIG when it holds Size bytes or more).
static ssize_t ReadSmall(const char* Path, char* Out, size_t Size) {
    int fd = OpenRegular(Path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    ssize_t Got = od::read_all_at(fd, Out, Size, 0);
    int Why = errno;
    close(fd);
    if (Got < 0) {
        errno = Why;
        return -1;
    }
    if ((size_t)Got >= Size) {
        errno = EFBIG;
        return -1;
    }
    Out[Got] = '\0';
    return Got;
}

// "21:3/*", "21:*", "21:1/101" (the node and its points), "21:1/101.7".
static bool ReadPattern(const char* Text, size_t Length, BLOCK* Block) {
    static const char Marks[4] = {':', '/', '.', '\0'};
    size_t At = 0;
    for (int Part = 0; Part < 4; Part++) Block->Parts[Part] = -1;
    for (int Part = 0; Part < 4; Part++) {
        if (At < Length && Text[At] == '*') return At + 1 == Length && Part > 0;
        unsigned Value;
        if (!Number(Text, Length, &At, 65535, &Value) || (Part == 0 && Value == 0)) return false;
        Block->Parts[Part] = (int)Value;
        if (At == Length) return Part >= 2;
        if (Text[At] != Marks[Part]) return false;
        At++;
    }
    return false;
}

static void TrimSpan(const char** Text, size_t* Length) {
    while (*Length && Blank(**Text)) (*Text)++, (*Length)--;
    while (*Length && Blank((*Text)[*Length - 1])) (*Length)--;
}

static const char* const Keys[] = {"area",   "point",    "board", "name", "toss",
                                   "pickup", "password", "block", "hold", "per_day"};
enum { KeyCount = sizeof Keys / sizeof Keys[0], NeededKeys = 6 };

// One setting's value, checked: NULL when it may be used, else what is wrong
// (Said holds it when it names an item).
static const char* TakeValue(LEAGUE* League, int Key, const char* Value, size_t Length, char* Said,
                             size_t SaidSize) {
    switch (Key) {
    case 0:
        if (Length == 0 || !Printable(Value, Length, false) ||
            !Keep(League->Area, sizeof League->Area, Value, Length))
            return "not an echo tag (1-50 printable characters, no blank)";
        return NULL;
    case 1:
    case 2:
        if (!ParseAddress(Value, Length, Key == 1 ? &League->Point : &League->Board))
            return "not an address such as 21:1/101.7";
        return NULL;
    case 3:
        if (Length == 0 || !Printable(Value, Length, true) ||
            !Keep(League->Name, sizeof League->Name, Value, Length))
            return "not a board name (1-35 printable ASCII characters)";
        return NULL;
    case 4:
    case 5:
        if (Length == 0 || !Printable(Value, Length, true) ||
            !Keep(Key == 4 ? League->Toss : League->Pickup, PATH_MAX, Value, Length))
            return "not a path";
        return NULL;
    case 6:
        if (!Printable(Value, Length, false) ||
            !Keep(League->Password, sizeof League->Password, Value, Length))
            return "more than 8 characters, or a blank or control character";
        return NULL;
    case 7:
        for (size_t Start = 0; Start <= Length;) {
            const char* Comma =
                static_cast<const char*>(memchr(Value + Start, ',', Length - Start));
            size_t End = Comma ? (size_t)(Comma - Value) : Length;
            const char* Item = Value + Start;
            size_t ItemLength = End - Start;
            Start = End + 1;
            TrimSpan(&Item, &ItemLength);
            if (ItemLength == 0) continue;
            if (League->Blocks == BlockMost) return "more than 32 items";
            BLOCK* Block = &League->Block[League->Blocks];
            Block->Address = memchr(Item, ':', ItemLength) || memchr(Item, '/', ItemLength);
            bool Fits = Keep(Block->Text, sizeof Block->Text, Item, ItemLength);
            if (Block->Address && (!Fits || !ReadPattern(Item, ItemLength, Block))) {
                SAY(Said, SaidSize,
                    "\"%.*s\" is not an address pattern such as 21:3/* or "
                    "21:1/101.7",
                    (int)(ItemLength > 40 ? 40 : ItemLength), Item);
                return Said;
            }
            if (!Block->Address && (ItemLength > 35 || !Printable(Item, ItemLength, true))) {
                SAY(Said, SaidSize, "\"%.*s\" is not a board name",
                    (int)(ItemLength > 40 ? 40 : ItemLength), Item);
                return Said;
            }
            League->Blocks++;
        }
        return NULL;
    case 8:
        if (SameWord(Value, Length, "yes") || SameWord(Value, Length, "no")) {
            League->Hold = SameWord(Value, Length, "yes");
            return NULL;
        }
        return "not yes or no";
    default: {
        unsigned Days = 0;
        size_t At = 0;
        if (!Number(Value, Length, &At, 10000, &Days) || At != Length || Days < 1)
            return "not a whole number from 1 to 10000";
        League->PerDay = (int)Days;
        return NULL;
    }
    }
}

// A line for the sysop, whose own bytes may hold anything: control bytes
// become '?', since a terminal shows it.
static int Wrong(char* Problem, size_t ProblemSize, const char* Format, ...)
    __attribute__((format(printf, 3, 4)));
static int Wrong(char* Problem, size_t ProblemSize, const char* Format, ...) {
    va_list Args;
    va_start(Args, Format);
    int Length = snprintf(Problem, ProblemSize, "%s: ", LeagueFile);
    if (Length > 0 && (size_t)Length < ProblemSize)
        (void)vsnprintf(Problem + Length, ProblemSize - (size_t)Length, Format, Args);
    va_end(Args);
    for (char* At = Problem; *At; At++)
        if ((unsigned char)*At < 32 || (unsigned char)*At == 127) *At = '?';
    return LeagueWrong;
}

int ReadLeague(LEAGUE* League, char* Problem, size_t ProblemSize) {
    static char Text[IniMost + 1];
    memset(League, 0, sizeof *League);
    League->PerDay = 20;
    if (ProblemSize) Problem[0] = '\0';
    ssize_t Size = ReadSmall(LeagueFile, Text, sizeof Text);
    if (Size < 0) {
        if (errno == ENOENT) return LeagueOff;
        return Wrong(Problem, ProblemSize, "%s",
                     errno == EFBIG ? "larger than 64 KiB" : strerror(errno));
    }
    bool Inside = false, Found = false, Given[KeyCount] = {false};
    size_t Start = 0;
    for (int LineNumber = 1; Start < (size_t)Size; LineNumber++) {
        const char* Line = Text + Start;
        const char* Newline = static_cast<const char*>(memchr(Line, '\n', (size_t)Size - Start));
        size_t Length = Newline ? (size_t)(Newline - Line) : (size_t)Size - Start;
        Start += Length + 1;
        TrimSpan(&Line, &Length);
        if (Length == 0 || Line[0] == ';' || Line[0] == '#') continue;
        if (Line[0] == '[') {
            Inside = SameWord(Line, Length, "[league]");
            Found = Found || Inside;
            continue;
        }
        if (!Inside) continue;
        const char* Equals = static_cast<const char*>(memchr(Line, '=', Length));
        if (Equals == NULL)
            return Wrong(Problem, ProblemSize, "line %d: not KEY = VALUE", LineNumber);
        const char* Key = Line;
        size_t KeyLength = (size_t)(Equals - Line);
        const char* Value = Equals + 1;
        size_t ValueLength = Length - KeyLength - 1;
        TrimSpan(&Key, &KeyLength);
        // A comment may follow a value after a blank.
        for (size_t At = 1; At < ValueLength; At++)
            if ((Value[At] == ';' || Value[At] == '#') && Blank(Value[At - 1])) {
                ValueLength = At;
                break;
            }
        TrimSpan(&Value, &ValueLength);
        int Which = 0;
        while (Which < KeyCount && !SameWord(Key, KeyLength, Keys[Which])) Which++;
        int Shown = (int)(KeyLength > 40 ? 40 : KeyLength);
        if (Which == KeyCount)
            return Wrong(Problem, ProblemSize, "line %d: %.*s: not a setting of the league",
                         LineNumber, Shown, Key);
        if (Given[Which])
            return Wrong(Problem, ProblemSize, "line %d: %s: given twice", LineNumber, Keys[Which]);
        Given[Which] = true;
        char Said[160];
        const char* Why = TakeValue(League, Which, Value, ValueLength, Said, sizeof Said);
        if (Why)
            return Wrong(Problem, ProblemSize, "line %d: %s: %s", LineNumber, Keys[Which], Why);
    }
    if (!Found) return LeagueOff;
    for (int Key = 0; Key < NeededKeys; Key++)
        if (!Given[Key]) return Wrong(Problem, ProblemSize, "[league]: %s: missing", Keys[Key]);
    char Point[AddressSize], Board[AddressSize];
    FormatAddress(&League->Point, Point, sizeof Point);
    FormatAddress(&League->Board, Board, sizeof Board);
    if (League->Point.Point == 0 || League->Point.Zone != League->Board.Zone ||
        League->Point.Net != League->Board.Net || League->Point.Node != League->Board.Node)
        return Wrong(Problem, ProblemSize, "point: %s is not a point of the board %s", Point,
                     Board);
    if (League->Board.Point != 0)
        return Wrong(Problem, ProblemSize, "board: a board's address has no point");
    return LeagueOn;
}

void ReadCurrent(const char* Text, size_t Length, CURRENT* Current) {
    memset(Current, 0, sizeof *Current);
    size_t Start = 0;
    while (Start < Length) {
        const char* Line = Text + Start;
        const char* Newline = static_cast<const char*>(memchr(Line, '\n', Length - Start));
        if (Newline == NULL) break; // a line cut short is no line
        Start += (size_t)(Newline - Line) + 1;
        char Copy[160];
        if (!Keep(Copy, sizeof Copy, Line, (size_t)(Newline - Line))) continue;
        char Address[64];
        long long Written;
        unsigned Serial;
        unsigned long Posted;
        unsigned long long Sum;
        if (sscanf(Copy, "serial %lu", &Posted) == 1)
            Current->Serial = (uint32_t)Posted;
        else if (sscanf(Copy, "current %lld %63s %x %llx", &Written, Address, &Serial, &Sum) == 4 &&
                 ParseAddress(Address, strlen(Address), &Current->Origin)) {
            Current->Have = true;
            Current->Written = Written;
            Current->IdSerial = Serial;
            Current->Sum = Sum;
        }
    }
}

int LockState(void) {
    mode_t Mask = umask(0);
    umask(Mask);
    int fd =
        OpenRegular(StateFile, O_RDWR | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666 & ~Mask);
    if (fd < 0) return -1;
    for (int Tries = 0; Tries < 200; Tries++) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        usleep(50000);
    }
    close(fd);
    errno = EWOULDBLOCK;
    return -1;
}

// Puts the packet into the toss folder under a name of the form
// 0123abcd.pkt, which a tosser only looks at once it is whole; Name gets it.
// The folder is opened once and every name is made in it through that
// descriptor: a folder checked by its path could be swapped before its use.
static bool PutPacket(const char* Folder, const unsigned char* Packet, size_t Size, uint32_t Serial,
                      char* Name, size_t NameSize, char* Problem, size_t ProblemSize) {
    int Dir = od::open_checked(Folder, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (Dir < 0) {
        SAY(Problem, ProblemSize, "%.300s: %s", Folder,
            errno == ENOTDIR ? "not a folder" : strerror(errno));
        return false;
    }
    char Temp[64];
    int fd = -1;
    for (unsigned Try = 0; fd < 0 && Try < 100; Try++) {
        SAY(Temp, sizeof Temp, "valedict.%ld.%lx.%u", (long)getpid(), (unsigned long)time(NULL),
            Try);
        fd = openat(Dir, Temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        SAY(Problem, ProblemSize, "%.300s: %s", Folder, strerror(errno));
        close(Dir);
        return false;
    }
    mode_t Mask = umask(0);
    umask(Mask);
    bool Done =
        fchmod(fd, 0666 & ~Mask) == 0 && od::write_all_at(fd, Packet, Size, 0) && od::sync_file(fd);
    Done = close(fd) == 0 && Done;
    const char* Slash = Folder[strlen(Folder) - 1] == '/' ? "" : "/";
    bool Put = false;
    if (!Done) {
        SAY(Problem, ProblemSize, "%.300s%s%s: %s", Folder, Slash, Temp, strerror(errno));
    } else {
        // linkat() never replaces: a packet of the tosser's may have the name.
        char Leaf[16];
        for (uint32_t Try = 0; Try < 256 && !Put; Try++) {
            SAY(Leaf, sizeof Leaf, "%08x.pkt", Serial + Try);
            SAY(Name, NameSize, "%s%s%s", Folder, Slash, Leaf);
            Put = linkat(Dir, Temp, Dir, Leaf, 0) == 0;
            if (!Put && errno != EEXIST) break;
        }
        if (!Put) SAY(Problem, ProblemSize, "%.300s: %s", Name, strerror(errno));
    }
    unlinkat(Dir, Temp, 0);
    if (Put) (void)od::sync_file(Dir);
    close(Dir);
    return Put;
}

// Rewrites the state in place with the serial, the current entry and the
// export line new, every other line as it was: a rename would leave a
// waiting step locked on the old file.
static void WriteKeys(int fd, const char* Old, size_t OldLength, const char* Keys) {
    static char Text[StateMost + 1024];
    size_t Length = strlen(Keys);
    memcpy(Text, Keys, Length + 1);
    size_t Start = 0;
    while (Start < OldLength) {
        const char* Line = Old + Start;
        const char* Newline = static_cast<const char*>(memchr(Line, '\n', OldLength - Start));
        if (Newline == NULL) break;
        size_t LineLength = (size_t)(Newline - Line) + 1;
        Start += LineLength;
        if (strncmp(Line, "serial ", 7) == 0 || strncmp(Line, "current ", 8) == 0 ||
            strncmp(Line, "export ", 7) == 0)
            continue;
        if (Length + LineLength > sizeof Text) break;
        memcpy(Text + Length, Line, LineLength);
        Length += LineLength;
    }
    if (od::write_all_at(fd, Text, Length, 0)) (void)ftruncate(fd, (off_t)Length);
    (void)od::sync_file(fd);
}

// Posts the record just saved as the league's newest entry, the state's
// lock held (fd); Before is what the state said before the save.
static void Share(int fd, const char* Old, size_t OldLength, const CURRENT* Before,
                  bool BeforeOnFile, const LEAGUE* League, const WORDS* Words, char* Problem,
                  size_t ProblemSize) {
    int64_t Now = (int64_t)time(NULL);
    // A serial that only grows, even when the state file is lost.
    uint32_t Serial = Before->Serial + 1 > (uint32_t)Now ? Before->Serial + 1 : (uint32_t)Now;
    // A local save beats the entry it replaces on every board, even one
    // dated ahead of this board's clock or taken within the same second.
    int64_t Written = Now;
    if (BeforeOnFile && Before->Written >= Written) Written = Before->Written + 1;
    char Point[AddressSize], MsgId[64];
    FormatAddress(&League->Point, Point, sizeof Point);
    SAY(MsgId, sizeof MsgId, "%s %08x", Point, Serial);
    POSTED Entry = {MsgId, League->Point, Written, League->Name, Words};
    unsigned char Packet[PostMost];
    size_t Size = PutHeader(Packet, &League->Point, &League->Board, League->Password, Now);
    size_t Message =
        PutMessage(Packet + Size, sizeof Packet - Size - 2, &League->Board, League->Area, &Entry);
    char Name[PATH_MAX], Why[400];
    Why[0] = '\0';
    bool Sent = false;
    if (Message == 0) {
        SAY(Why, sizeof Why, "the entry does not fit one packet");
    } else {
        Size += Message;
        Packet[Size++] = 0;
        Packet[Size++] = 0;
        Sent = PutPacket(League->Toss, Packet, Size, Serial, Name, sizeof Name, Why, sizeof Why);
    }
    char StateKeys[PATH_MAX + 640];
    SAY(StateKeys, sizeof StateKeys,
        "serial %lu\ncurrent %lld %s %08x %016llx\nexport %lld %s%s%s\n", (unsigned long)Serial,
        (long long)Written, Point, Serial, RecordSum(Words), (long long)Now,
        Sent ? MsgId : "not sent: ", Sent ? " into " : "", Sent ? Name : Why);
    WriteKeys(fd, Old, OldLength, StateKeys);
    if (!Sent) SAY(Problem, ProblemSize, "the entry was saved but not sent to the league: %s", Why);
}

int SaveShared(const LEAGUE* League, const WORDS* Words, char* Kept, size_t KeptSize, char* Problem,
               size_t ProblemSize) {
    static char Old[StateMost + 1];
    if (ProblemSize) Problem[0] = '\0';
    // An import between the save and its post would replace the new entry
    // with an older one: the two take turns on the state's lock.
    int fd = LockState();
    if (fd < 0)
        SAY(Problem, ProblemSize, "the entry was not sent to the league: %s: %s", StateFile,
            strerror(errno));
    CURRENT Before;
    ssize_t OldLength = fd < 0 ? -1 : od::read_all_at(fd, Old, StateMost, 0);
    if (OldLength < 0) OldLength = 0;
    ReadCurrent(Old, (size_t)OldLength, &Before);
    WORDS OnFile;
    bool BeforeOnFile = Before.Have && RecordOnFile(&OnFile) && RecordSum(&OnFile) == Before.Sum;
    int Result = SaveWords(Words, Kept, KeptSize);
    int Why = errno;
    if (Result == Saved && fd >= 0)
        Share(fd, Old, (size_t)OldLength, &Before, BeforeOnFile, League, Words, Problem,
              ProblemSize);
    if (fd >= 0) close(fd);
    errno = Why;
    return Result;
}
