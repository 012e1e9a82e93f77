#include "words.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

const char DataFile[] = "valedict.dat";
const char HistoryFolder[] = "valedict.old";

// Closes and removes what a failed step leaves, keeping the step's errno.
static void Discard(int fd, const char* Temp) {
    int Saved = errno;
    if (fd >= 0) close(fd);
    if (Temp) unlink(Temp);
    errno = Saved;
}

// Opens the data file for reading without ever blocking: a FIFO, a device
// or a folder under its name holds no entry.
FILE* OpenRecord(const char* Path) {
    struct stat Info;
    int fd;
    FILE* fp;

    do {
        fd = open(Path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

static const int RenameRefused = -1;

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
        Discard(fd, Temp);
        return Old ? RenameRefused : NotOpened;
    }
    bool Written = WriteAt(fd, Words, sizeof *Words, 0) && Sync(fd);
    // After EINTR the descriptor is closed all the same, and the data synced.
    Written = (close(fd) == 0 || errno == EINTR) && Written;
    if (!Written) {
        Discard(-1, Temp);
        return NotWritten;
    }
    // Another save may have put a new file under the name meanwhile: then
    // its rights are no longer the ones checked.
    struct stat Now;
    if (Old &&
        (lstat(Target, &Now) != 0 || Now.st_dev != Old->st_dev || Now.st_ino != Old->st_ino)) {
        Discard(-1, Temp);
        return RenameRefused;
    }
    if (rename(Temp, Target) != 0) {
        Discard(-1, Temp);
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
        Limit.rlim_cur < (rlim_t)sizeof *Words) // rlim_t is signed on FreeBSD
        return NotWritten;
    if (!WriteAt(fd, Words, sizeof *Words, 0)) return NotWritten;
    if (Old->st_size > (off_t)sizeof *Words && ftruncate(fd, sizeof *Words) != 0) return NotWritten;
    if (Old->st_mode & 06000) (void)fchmod(fd, Old->st_mode & 0777);
    return Sync(fd) ? Saved : NotWritten;
}

// Saves the record by the data file's own rights: the save happens exactly
// where the door may open the file for writing, or create it.
static int SaveRecord(const WORDS* Words, const char* Target) {
    struct stat Old;
    int fd;

    // No O_TRUNC: the open only asks the kernel whether this may be written.
    do {
        fd = open(DataFile, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == ENOENT) return ReplaceFile(Words, Target, NULL);
    if (fd < 0) return NotOpened;
    if (fstat(fd, &Old) != 0) {
        Discard(fd, NULL);
        return NotOpened;
    }
    if (!S_ISREG(Old.st_mode)) {
        errno = EINVAL; // a FIFO, a device: nothing a record may replace
        Discard(fd, NULL);
        return NotOpened;
    }
    int Result = RenameRefused;
    if (Old.st_nlink == 1) Result = ReplaceFile(Words, Target, &Old);
    if (Result == RenameRefused) Result = WriteInPlace(Words, fd, &Old);
    Discard(fd, NULL);
    return Result;
}

static void Say(char* Out, size_t Size, const char* What) {
    if (Out && Size) (void)snprintf(Out, Size, "%s: %s", HistoryFolder, What);
}

// Saves from several doors and the tool take turns while history is on, so
// that each replaced record is kept exactly once. Returns the folder's
// descriptor (locked), -2 when history is off, -1 when it cannot be used.
static int LockHistory(char* Kept, size_t KeptSize) {
    int Dir = open(HistoryFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Dir < 0 && errno == ENOENT) return -2;
    if (Dir < 0) {
        Say(Kept, KeptSize, strerror(errno));
        return -1;
    }
    // A save takes milliseconds; a holder stuck far longer must not cost the
    // caller their save.
    for (int Tries = 0; Tries < 100; Tries++) {
        if (flock(Dir, LOCK_EX | LOCK_NB) == 0) return Dir;
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        usleep(50000);
    }
    Say(Kept, KeptSize, "cannot take its lock");
    close(Dir);
    return -1;
}

// Kept records are named by their UTC second, with -2, -3... when two share
// one: 20261209T031500Z.dat, 20261209T031500Z-2.dat.
static bool KeptName(const char* Name, char* Stamp, long* Suffix) {
    size_t Length = strlen(Name);
    if (Length < 20 || Length >= KeptNameSize || strcmp(Name + Length - 4, ".dat") != 0 ||
        Name[8] != 'T' || Name[15] != 'Z')
        return false;
    for (int At = 0; At < 15; At++)
        if (At != 8 && (Name[At] < '0' || Name[At] > '9')) return false;
    *Suffix = 1;
    if (Length > 20) {
        char* End;
        if (Name[16] != '-') return false;
        *Suffix = strtol(Name + 17, &End, 10);
        if (End != Name + Length - 4 || *Suffix < 2) return false;
    } else if (Name[16] != '.') {
        return false;
    }
    memcpy(Stamp, Name, 16);
    Stamp[16] = '\0';
    return true;
}

static bool Newer(const char* A, const char* B) {
    char StampA[17], StampB[17];
    long SuffixA, SuffixB;
    KeptName(A, StampA, &SuffixA);
    KeptName(B, StampB, &SuffixB);
    int Order = strcmp(StampA, StampB);
    return Order != 0 ? Order > 0 : SuffixA > SuffixB;
}

int KeptRecords(char (*Names)[KeptNameSize], int Max) {
    DIR* Folder = opendir(HistoryFolder);
    if (Folder == NULL) return errno == ENOENT || errno == ENOTDIR ? -1 : 0;
    int Count = 0;
    char All[256][KeptNameSize];
    struct dirent* Entry;
    while ((Entry = readdir(Folder)) != NULL && Count < 256) {
        char Stamp[17];
        long Suffix;
        if (KeptName(Entry->d_name, Stamp, &Suffix)) {
            memcpy(All[Count], Entry->d_name, strlen(Entry->d_name) + 1);
            Count++;
        }
    }
    closedir(Folder);
    // Newest first.
    char* Order[256];
    for (int At = 0; At < Count; At++) Order[At] = All[At];
    std::sort(Order, Order + Count, [](const char* A, const char* B) { return Newer(A, B); });
    int Shown = std::min(Count, Max);
    for (int At = 0; At < Shown; At++) memcpy(Names[At], Order[At], KeptNameSize);
    return Count < Max ? Count : Shown;
}

// Copies the record now in the data file into the history; Path gets the
// kept file's path, empty when there was nothing to keep.
static bool KeepCurrent(char* Path, size_t PathSize, char* Kept, size_t KeptSize) {
    WORDS Words;
    FILE* fp;

    Path[0] = '\0';
    fp = OpenRecord(DataFile);
    if (fp == NULL) return true; // no entry: nothing is replaced
    memset(&Words, 0, sizeof Words);
    size_t Got = fread(&Words, 1, sizeof Words, fp);
    (void)fclose(fp);
    if (Got == 0) return true;

    char Temp[PATH_MAX];
    (void)snprintf(Temp, sizeof Temp, "%s/.keeping.XXXXXX", HistoryFolder);
    int fd = mkstemp(Temp);
    if (fd < 0) {
        Say(Kept, KeptSize, strerror(errno));
        return false;
    }
    mode_t Mask = umask(0);
    umask(Mask);
    (void)fchmod(fd, 0666 & ~Mask);
    bool Written = WriteAt(fd, &Words, sizeof Words, 0) && Sync(fd);
    Written = (close(fd) == 0 || errno == EINTR) && Written;
    if (!Written) {
        Say(Kept, KeptSize, strerror(errno));
        Discard(-1, Temp);
        return false;
    }
    // The name appears only once the file is whole: a link never replaces.
    char Stamp[32];
    time_t Now = time(NULL);
    struct tm Utc;
    if (gmtime_r(&Now, &Utc) == NULL ||
        strftime(Stamp, sizeof Stamp, "%Y%m%dT%H%M%SZ", &Utc) == 0) {
        Say(Kept, KeptSize, "no time of day");
        Discard(-1, Temp);
        return false;
    }
    // Past the highest suffix of this second: a pruned lower one must not
    // come back and sort as older than it is.
    int First = 1;
    DIR* Folder = opendir(HistoryFolder);
    struct dirent* Entry;
    while (Folder && (Entry = readdir(Folder)) != NULL) {
        char Other[17];
        long Suffix;
        if (KeptName(Entry->d_name, Other, &Suffix) && strcmp(Other, Stamp) == 0 && Suffix >= First)
            First = (int)Suffix + 1;
    }
    if (Folder) closedir(Folder);
    for (int Suffix = First; Suffix < First + 1000; Suffix++) {
        if (Suffix == 1)
            (void)snprintf(Path, PathSize, "%s/%s.dat", HistoryFolder, Stamp);
        else
            (void)snprintf(Path, PathSize, "%s/%s-%d.dat", HistoryFolder, Stamp, Suffix);
        if (link(Temp, Path) == 0) {
            unlink(Temp);
            return true;
        }
        if (errno != EEXIST) break;
    }
    Say(Kept, KeptSize, strerror(errno));
    Path[0] = '\0';
    Discard(-1, Temp);
    return false;
}

// Only the newest records stay.
static void Prune() {
    char Names[KeptMost + 1][KeptNameSize];
    while (KeptRecords(Names, KeptMost + 1) > KeptMost) {
        char Path[PATH_MAX];
        (void)snprintf(Path, sizeof Path, "%s/%s", HistoryFolder, Names[KeptMost]);
        if (unlink(Path) != 0) return;
    }
}

// Runs one change of the entry, keeping the record it replaces first when
// history is on; a change that fails takes its kept copy back out.
static int WithHistory(int (*Change)(const WORDS*, const char*), const WORDS* Words, char* Kept,
                       size_t KeptSize) {
    char Target[PATH_MAX];
    char KeptPath[PATH_MAX];

    if (Kept && KeptSize) Kept[0] = '\0';
    SaveTarget(Target, sizeof Target);
    int Lock = LockHistory(Kept, KeptSize);
    KeptPath[0] = '\0';
    if (Lock >= 0) KeepCurrent(KeptPath, sizeof KeptPath, Kept, KeptSize);
    int Result = Change(Words, Target);
    if (Result != Saved && KeptPath[0] != '\0') Discard(-1, KeptPath);
    if (Lock >= 0) {
        Prune();
        Discard(Lock, NULL);
    }
    return Result;
}

int SaveWords(const WORDS* Words, char* Kept, size_t KeptSize) {
    return WithHistory(SaveRecord, Words, Kept, KeptSize);
}

// Removes the data file's name, or the file a link points at so that the
// link stays; only where the door may write it.
static int RemoveRecord(const WORDS*, const char* Target) {
    struct stat Old;
    int fd;

    do {
        fd = open(DataFile, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return NotOpened;
    bool Regular = fstat(fd, &Old) == 0 && S_ISREG(Old.st_mode);
    close(fd);
    if (!Regular) {
        errno = EINVAL;
        return NotOpened;
    }
    if (unlink(Target) != 0) return NotWritten;
    SyncFolder(Target);
    return Saved;
}

int ClearWords(char* Kept, size_t KeptSize) {
    return WithHistory(RemoveRecord, NULL, Kept, KeptSize);
}
