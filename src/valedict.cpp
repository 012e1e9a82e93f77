// valedict: a door that keeps the last caller's parting words for the next.
#include "OpenDoor.h"
#include "od_error.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// The data file is exactly this record: other copies of the door, old and
// new, read it byte for byte.
struct WORDS {
    char Line[5][70];
    char User[36];
};
static_assert(sizeof(WORDS) == 386, "the data file holds one 386-byte record");
static_assert(offsetof(WORDS, Line) == 0 && offsetof(WORDS, User) == 350,
              "five lines of 70 bytes, then the name");

static const char DataFile[] = "valedict.dat";

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

// Opens the data file for reading without ever blocking: a FIFO, a device
// or a folder under its name holds no entry.
static FILE* OpenRecord() {
    struct stat Info;
    int fd;
    FILE* fp;

    do {
        fd = open(DataFile, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return NULL;
    if (fstat(fd, &Info) != 0 || !S_ISREG(Info.st_mode)) {
        close(fd);
        return NULL;
    }
    fp = fdopen(fd, "rb");
    if (fp == NULL) close(fd);
    return fp;
}

static void ShowQuote() {
    WORDS Words;
    char Shown[sizeof Words.Line[0] + 1];
    int Current;
    FILE* fp;

    memset(&Words, 0, sizeof Words);
    fp = OpenRecord();
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

// Follows a symbolic link so that the sysop's link stays a link and the
// record lands where it points.
static void SaveTarget(char* Target, size_t Size) {
    char Link[PATH_MAX];
    char Next[PATH_MAX];
    int Hops;

    (void)snprintf(Target, Size, "%s", DataFile);
    for (Hops = 0; Hops < 16; Hops++) {
        ssize_t Length = readlink(Target, Link, sizeof Link - 1);
        if (Length < 0) return;
        Link[Length] = '\0';
        const char* Slash = strrchr(Target, '/');
        int Length2;
        if (Link[0] == '/' || Slash == NULL)
            Length2 = snprintf(Next, sizeof Next, "%s", Link);
        else
            Length2 = snprintf(Next, sizeof Next, "%.*s/%s", (int)(Slash - Target), Target, Link);
        if (Length2 < 0 || (size_t)Length2 >= Size) return;
        memcpy(Target, Next, (size_t)Length2 + 1);
    }
}

// Writes all of the bytes at Offset; a signal in between is no failure.
static bool WriteAt(int fd, const void* Data, size_t Size, off_t Offset) {
    const char* Next = static_cast<const char*>(Data);
    while (Size > 0) {
        ssize_t Done = pwrite(fd, Next, Size, Offset);
        if (Done < 0 && errno == EINTR) continue;
        if (Done <= 0) return false;
        Next += Done;
        Size -= (size_t)Done;
        Offset += Done;
    }
    return true;
}

static bool Sync(int fd) {
    while (fsync(fd) != 0)
        if (errno != EINTR) return false;
    return true;
}

// The rename itself must survive a power cut too.
static void SyncFolder(const char* Target) {
    char Folder[PATH_MAX];
    const char* Slash = strrchr(Target, '/');
    (void)snprintf(Folder, sizeof Folder, "%.*s", Slash ? (int)(Slash - Target + 1) : 1,
                   Slash ? Target : ".");
    int Dir = open(Folder, O_RDONLY | O_CLOEXEC);
    if (Dir >= 0) {
        (void)Sync(Dir);
        close(Dir);
    }
}

enum { Saved = 0, NotOpened = 10, NotWritten = 40, RenameRefused = -1 };

// Writes the record to a new file beside Target and renames it over Target,
// so that a reader sees the old record or the new one, whole. Old, when
// given, is the file being replaced: the new one takes its owner, group and
// permission bits, or the rename is refused (RenameRefused) and nothing has
// changed.
static int ReplaceFile(const WORDS* Words, const char* Target, const struct stat* Old) {
    char Temp[PATH_MAX + 16];
    int fd;

    (void)snprintf(Temp, sizeof Temp, "%s.XXXXXX", Target);
    fd = mkstemp(Temp);
    if (fd < 0) return Old ? RenameRefused : NotOpened;
    bool Same;
    if (Old) {
        Same = fchown(fd, Old->st_uid, Old->st_gid) == 0 && fchmod(fd, Old->st_mode & 0777) == 0;
    } else {
        mode_t Mask = umask(0);
        umask(Mask);
        Same = fchmod(fd, 0666 & ~Mask) == 0;
    }
    if (!Same) {
        close(fd);
        unlink(Temp);
        return Old ? RenameRefused : NotOpened;
    }
    bool Written = WriteAt(fd, Words, sizeof *Words, 0) && Sync(fd);
    // After EINTR the descriptor is closed all the same, and the data synced.
    Written = (close(fd) == 0 || errno == EINTR) && Written;
    if (!Written) {
        unlink(Temp);
        return NotWritten;
    }
    // Another save may have put a new file under the name meanwhile: then
    // its rights are no longer the ones checked.
    struct stat Now;
    if (Old &&
        (lstat(Target, &Now) != 0 || Now.st_dev != Old->st_dev || Now.st_ino != Old->st_ino)) {
        unlink(Temp);
        return RenameRefused;
    }
    if (rename(Temp, Target) != 0) {
        unlink(Temp);
        return Old ? RenameRefused : NotWritten;
    }
    SyncFolder(Target);
    return Saved;
}

// One write of the whole record at the start of the open file, for a file
// that a rename would take from its owner, its group or its other names.
static int WriteInPlace(const WORDS* Words, int fd, const struct stat* Old) {
    struct rlimit Limit;
    // A file-size limit below the record would cut the old entry short.
    if (getrlimit(RLIMIT_FSIZE, &Limit) == 0 && Limit.rlim_cur != RLIM_INFINITY &&
        Limit.rlim_cur < sizeof *Words)
        return NotWritten;
    if (!WriteAt(fd, Words, sizeof *Words, 0)) return NotWritten;
    if (Old->st_size > (off_t)sizeof *Words && ftruncate(fd, sizeof *Words) != 0) return NotWritten;
    if (Old->st_mode & 06000) (void)fchmod(fd, Old->st_mode & 0777);
    return Sync(fd) ? Saved : NotWritten;
}

// Saves the record by the data file's own rights: the save happens exactly
// where the door may open the file for writing, or create it.
static int SaveRecord(const WORDS* Words) {
    char Target[PATH_MAX];
    struct stat Old;
    int fd;

    SaveTarget(Target, sizeof Target);
    // No O_TRUNC: the open only asks the kernel whether this may be written.
    do {
        fd = open(DataFile, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == ENOENT) return ReplaceFile(Words, Target, NULL);
    if (fd < 0) return NotOpened;
    if (fstat(fd, &Old) != 0 || !S_ISREG(Old.st_mode)) {
        close(fd);
        return NotOpened;
    }
    int Result = RenameRefused;
    if (Old.st_nlink == 1) Result = ReplaceFile(Words, Target, &Old);
    if (Result == RenameRefused) Result = WriteInPlace(Words, fd, &Old);
    close(fd);
    return Result;
}

static void SaveQuote(const WORDS* Words) {
    int Result = SaveRecord(Words);
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

int main(int argc, char* argv[]) {
    if (argc > 1) strncpy(od_control.info_path, argv[1], sizeof od_control.info_path - 1);
    od_control.od_clear_on_exit = false;
    od_init();

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
