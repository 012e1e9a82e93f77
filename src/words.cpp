#include "words.h"

#include "file_io.h"
#include "open_checked.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

// A 32-bit build without large-file support cannot list the history folder
// on ext4 (inode numbers past 32 bits).
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");

const char DataFile[] = "valedict.dat";
const char HistoryFolder[] = "valedict.old";

// Closes and removes what a failed step leaves, keeping the step's errno.
static void Discard(int fd, const char* Temp) {
    int Saved = errno;
    if (fd >= 0) close(fd);
    if (Temp) unlink(Temp);
    errno = Saved;
}

// Replaces Path by the path its symbolic link points to (relative links
// are taken from Path's folder); false when Path is no link.
static bool LinkTarget(char* Path, size_t Size) {
    char Link[PATH_MAX];
    char Next[PATH_MAX];
    ssize_t Length = readlink(Path, Link, sizeof Link - 1);
    if (Length < 0) return false;
    Link[Length] = '\0';
    const char* Slash = strrchr(Path, '/');
    int Length2;
    if (Link[0] == '/' || Slash == NULL)
        Length2 = snprintf(Next, sizeof Next, "%s", Link);
    else
        Length2 = snprintf(Next, sizeof Next, "%.*s/%s", (int)(Slash - Path), Path, Link);
    if (Length2 < 0 || (size_t)Length2 >= Size) return false;
    memcpy(Path, Next, (size_t)Length2 + 1);
    return true;
}

// The folder that holds Path, with its last slash ("." when there is none).
static void FolderOf(const char* Path, char* Folder, size_t Size) {
    const char* Slash = strrchr(Path, '/');
    (void)snprintf(Folder, Size, "%.*s", Slash ? (int)(Slash - Path + 1) : 1, Slash ? Path : ".");
}

// Opens the data file for reading without ever blocking: a FIFO, a device
// or a folder under its name holds no entry.
FILE* OpenRecord(const char* Path) {
    struct stat Info;
    FILE* fp;

    int fd = od::open_checked(Path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return NULL;
    if (fstat(fd, &Info) != 0 || !S_ISREG(Info.st_mode)) {
        Discard(fd, NULL);
        return NULL;
    }
    fp = fdopen(fd, "rb");
    if (fp == NULL) Discard(fd, NULL);
    return fp;
}

// Follows a symbolic link so that the sysop's link stays a link and the
// record lands where it points.
static void SaveTarget(char* Target, size_t Size) {
    (void)snprintf(Target, Size, "%s", DataFile);
    for (int Hops = 0; Hops < 16 && LinkTarget(Target, Size); Hops++) {
    }
}

// Root acts as the owner of the folder it works in: that user may have put
// links and files there, and as that user they reach nothing more than that
// user could reach anyway. Files made from here on are that user's too.
bool ActAsFolderOwner(char* Problem, size_t Size) {
    struct stat Folder;
    if (geteuid() != 0) return true;
    if (stat(".", &Folder) != 0) {
        (void)snprintf(Problem, Size, "%s", strerror(errno));
        return false;
    }
    if (Folder.st_uid == 0) {
        if ((Folder.st_mode & (S_IWGRP | S_IWOTH)) == 0) return true; // root's own
        (void)snprintf(Problem, Size,
                       "owned by root but writable by its group or others: give it to the "
                       "door's user, or take the write permission away (chmod go-w)");
        return false;
    }
    // A folder given to its user with chown alone keeps root's group, which
    // that user is not in: taking it would reach files only root's group may.
    if (Folder.st_gid == 0) {
        (void)snprintf(Problem, Size, "its group is root's: give it the door user's group (chgrp)");
        return false;
    }
    uid_t Uid = Folder.st_uid;
    gid_t Gid = Folder.st_gid;
    // Groups first, then the group, then the user: once the user is set, the
    // rest can no longer be changed. Root must be gone for good.
    bool Done = setgroups(0, NULL) == 0 && setgid(Gid) == 0 && setuid(Uid) == 0 &&
                getuid() == Uid && geteuid() == Uid && getgid() == Gid && getegid() == Gid;
    if (Done && setuid(0) == 0) {
        Done = false;
        errno = EPERM;
    }
    if (!Done)
        (void)snprintf(Problem, Size, "cannot act as its owner (user %lu, group %lu): %s",
                       (unsigned long)Uid, (unsigned long)Gid, strerror(errno));
    return Done;
}

static const int RenameRefused = -1;

// A save's new file is the data file's name, this, and six letters or
// digits: a name no sysop gives a copy, so a leftover can be told.
static const char SavingMark[] = ".saving.";

// Writes the record to a new file beside Target and renames it over Target,
// so that a reader sees the old record or the new one, whole. Old, when
// given, is the file being replaced: the new one takes its owner, group and
// permission bits, or the rename is refused (RenameRefused) and nothing has
// changed.
static int ReplaceFile(const WORDS* Words, const char* Target, const struct stat* Old) {
    char Temp[PATH_MAX + 16];
    int fd;

    (void)snprintf(Temp, sizeof Temp, "%s%sXXXXXX", Target, SavingMark);
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
    bool Written = od::write_all_at(fd, Words, sizeof *Words, 0) && od::sync_file(fd);
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
    od::sync_folder_of(Target);
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
    if (!od::write_all_at(fd, Words, sizeof *Words, 0)) return NotWritten;
    if (Old->st_size > (off_t)sizeof *Words && ftruncate(fd, sizeof *Words) != 0) return NotWritten;
    if (Old->st_mode & 06000) (void)fchmod(fd, Old->st_mode & 0777);
    return od::sync_file(fd) ? Saved : NotWritten;
}

// Saves the record by the data file's own rights: the save happens exactly
// where the door may open the file for writing, or create it.
static int SaveRecord(const WORDS* Words, const char* Target) {
    struct stat Old;
    int fd;

    // No O_TRUNC: the open only asks the kernel whether this may be written.
    fd = od::open_checked(DataFile, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

// The history folder, opened as the data file is.
static int OpenHistory() {
    return od::open_checked(HistoryFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

static bool TakeLock(void* Dir) {
    return flock(*static_cast<int*>(Dir), LOCK_EX | LOCK_NB) == 0;
}

// Saves from several doors and the tool take turns while history is on, so
// that each replaced record is kept exactly once. Returns the folder's
// descriptor (locked), -2 when history is off, -1 when it cannot be used.
static int LockHistory(char* Kept, size_t KeptSize) {
    int Dir = OpenHistory();
    if (Dir < 0 && errno == ENOENT) return -2;
    if (Dir < 0) {
        Say(Kept, KeptSize, strerror(errno));
        return -1;
    }
    // A save takes milliseconds; a holder stuck far longer must not cost the
    // caller their save.
    if (od::retry_while_busy(5000, TakeLock, &Dir)) return Dir;
    Say(Kept, KeptSize, "cannot take its lock");
    close(Dir);
    return -1;
}

// The highest suffix a kept name may carry: far more than saves in a second.
static const long SuffixMost = 999999;

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
        // Plain digits without a leading zero, 2 to SuffixMost.
        if (Name[16] != '-' || Name[17] == '0' || Length - 21 > 6) return false;
        long Value = 0;
        for (size_t At = 17; At < Length - 4; At++) {
            if (Name[At] < '0' || Name[At] > '9') return false;
            Value = Value * 10 + (Name[At] - '0');
        }
        if (Value < 2 || Value > SuffixMost) return false;
        *Suffix = Value;
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

// The folder's entries from the start, through a descriptor of their own
// (closedir closes it; Dir stays open).
static DIR* ReadFolder(int Dir) {
    int Copy = fcntl(Dir, F_DUPFD_CLOEXEC, 0);
    if (Copy < 0) return NULL;
    DIR* Folder = fdopendir(Copy);
    if (Folder == NULL) {
        Discard(Copy, NULL);
        return NULL;
    }
    rewinddir(Folder); // a duplicate shares the offset of the last reading
    return Folder;
}

// Reads every name in the history folder and keeps the newest Max records
// in Names, newest first. A link or anything else that is no regular file
// is never a record. Returns the number of records, or -1 with errno.
static int ListKept(int Dir, char (*Names)[KeptNameSize], int Max) {
    DIR* Folder = ReadFolder(Dir);
    if (Folder == NULL) return -1;
    int Count = 0;
    for (;;) {
        errno = 0;
        struct dirent* Entry = readdir(Folder);
        if (Entry == NULL) break;
        char Stamp[17];
        long Suffix;
        struct stat Info;
        if (!KeptName(Entry->d_name, Stamp, &Suffix)) continue;
        if (fstatat(Dir, Entry->d_name, &Info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue; // pruned meanwhile
            break;
        }
        if (!S_ISREG(Info.st_mode)) continue;
        int Have = Count < Max ? Count : Max;
        Count++;
        int At = Have;
        while (At > 0 && Newer(Entry->d_name, Names[At - 1])) At--;
        if (At >= Max) continue;
        int Last = Have < Max - 1 ? Have : Max - 1;
        memmove(Names[At + 1], Names[At], (size_t)(Last - At) * KeptNameSize);
        memcpy(Names[At], Entry->d_name, strlen(Entry->d_name) + 1);
    }
    int Why = errno;
    closedir(Folder);
    errno = Why;
    return Why == 0 ? Count : -1;
}

int KeptRecords(char (*Names)[KeptNameSize], int Max) {
    int Dir = OpenHistory();
    if (Dir < 0) return errno == ENOENT || errno == ENOTDIR ? -1 : -2;
    int Count = ListKept(Dir, Names, Max);
    Discard(Dir, NULL);
    return Count < 0 ? -2 : Count;
}

bool ReadKept(const char* Name, WORDS* Words, size_t* Got) {
    char Stamp[17];
    long Suffix;
    struct stat Info;

    memset(Words, 0, sizeof *Words);
    *Got = 0;
    if (!KeptName(Name, Stamp, &Suffix)) {
        errno = EINVAL;
        return false;
    }
    int Dir = OpenHistory();
    if (Dir < 0) return false;
    int fd;
    do {
        fd = openat(Dir, Name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    Discard(Dir, NULL);
    if (fd < 0) return false;
    if (fstat(fd, &Info) != 0 || !S_ISREG(Info.st_mode)) {
        errno = EINVAL;
        Discard(fd, NULL);
        return false;
    }
    ssize_t Done = od::read_all_at(fd, Words, sizeof *Words, 0);
    if (Done < 0) {
        Discard(fd, NULL);
        return false;
    }
    *Got = (size_t)Done;
    close(fd);
    return true;
}

// Our temporaries are Prefix and six letters or digits, as mkstemp makes.
static bool Temporary(const char* Name, const char* Prefix) {
    size_t Length = strlen(Prefix);
    if (strncmp(Name, Prefix, Length) != 0 || strlen(Name) != Length + 6) return false;
    for (const char* At = Name + Length; *At; At++)
        if (!((*At >= 'A' && *At <= 'Z') || (*At >= 'a' && *At <= 'z') ||
              (*At >= '0' && *At <= '9')))
            return false;
    return true;
}

// Removes what saves killed part-way left in the folder Dir: regular files
// named as our temporaries and older than a minute (a live save is far
// quicker) and, in the history folder, links under kept names, which are
// never records and which a far-future name would keep for ever.
static void Sweep(int Dir, const char* Prefix, bool History) {
    DIR* Folder = ReadFolder(Dir);
    if (Folder == NULL) return;
    time_t Before = time(NULL) - 60;
    struct dirent* Entry;
    while ((Entry = readdir(Folder)) != NULL) {
        char Stamp[17];
        long Suffix;
        struct stat Info;
        bool Ours = Temporary(Entry->d_name, Prefix);
        bool Named = History && KeptName(Entry->d_name, Stamp, &Suffix);
        if (!Ours && !Named) continue;
        if (fstatat(Dir, Entry->d_name, &Info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if ((Ours && S_ISREG(Info.st_mode) && Info.st_mtime < Before) ||
            (Named && S_ISLNK(Info.st_mode)))
            (void)unlinkat(Dir, Entry->d_name, 0);
    }
    closedir(Folder);
}

// The leftovers of killed saves beside the data file.
static void SweepSaves(const char* Target) {
    char Folder[PATH_MAX];
    char Prefix[PATH_MAX + sizeof SavingMark];
    const char* Slash = strrchr(Target, '/');
    FolderOf(Target, Folder, sizeof Folder);
    (void)snprintf(Prefix, sizeof Prefix, "%s%s", Slash ? Slash + 1 : Target, SavingMark);
    int Dir = open(Folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Dir < 0) return;
    Sweep(Dir, Prefix, false);
    close(Dir);
}

static const char KeepingMark[] = ".keeping.";

// A new file in the history folder under a name of our own: KeepingMark
// and six letters or digits. mkstemp takes a path; this stays in Dir.
static int CreateKeeping(int Dir, char* Name, size_t Size) {
    static const char Letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned long long Seed = (unsigned long long)time(NULL) * 1000003ULL ^
                              (unsigned long long)getpid() << 20 ^ (unsigned long long)clock();
    for (int Tries = 0; Tries < 100; Tries++) {
        Seed = Seed * 6364136223846793005ULL + 1442695040888963407ULL;
        char Six[7];
        for (int At = 0; At < 6; At++) Six[At] = Letters[(Seed >> (16 + 7 * At)) % 62];
        Six[6] = '\0';
        (void)snprintf(Name, Size, "%s%s", KeepingMark, Six);
        int fd = openat(Dir, Name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Copies the record now in the data file into the history folder Dir;
// Name gets the kept file's name, empty when there was nothing to keep.
static bool KeepCurrent(int Dir, char* Name, size_t NameSize, char* Kept, size_t KeptSize) {
    WORDS Words;
    FILE* fp;

    Name[0] = '\0';
    fp = OpenRecord(DataFile);
    if (fp == NULL) return true; // no entry: nothing is replaced
    memset(&Words, 0, sizeof Words);
    size_t Got = fread(&Words, 1, sizeof Words, fp);
    // A kept entry is as private as the data file it came from.
    struct stat Data;
    bool HaveMode = fstat(fileno(fp), &Data) == 0;
    (void)fclose(fp);
    if (Got == 0) return true;

    char Temp[32];
    int fd = CreateKeeping(Dir, Temp, sizeof Temp);
    if (fd < 0) {
        Say(Kept, KeptSize, strerror(errno));
        return false;
    }
    mode_t Mask = umask(0);
    umask(Mask);
    (void)fchmod(fd, HaveMode ? Data.st_mode & 0666 : 0666 & ~Mask);
    bool Written = od::write_all_at(fd, &Words, sizeof Words, 0) && od::sync_file(fd);
    Written = (close(fd) == 0 || errno == EINTR) && Written;
    if (!Written) {
        int Why = errno;
        (void)unlinkat(Dir, Temp, 0);
        Say(Kept, KeptSize, strerror(Why));
        return false;
    }
    // The name appears only once the file is whole: a link never replaces.
    char Stamp[32];
    time_t Now = time(NULL);
    struct tm Utc;
    if (gmtime_r(&Now, &Utc) == NULL ||
        strftime(Stamp, sizeof Stamp, "%Y%m%dT%H%M%SZ", &Utc) == 0) {
        Say(Kept, KeptSize, "no time of day");
        (void)unlinkat(Dir, Temp, 0);
        return false;
    }
    // Past the highest suffix of this second: a pruned lower one must not
    // come back and sort as older than it is.
    long First = 1;
    DIR* Folder = ReadFolder(Dir);
    struct dirent* Entry;
    while (Folder && (Entry = readdir(Folder)) != NULL) {
        char Other[17];
        long Suffix;
        if (KeptName(Entry->d_name, Other, &Suffix) && strcmp(Other, Stamp) == 0 && Suffix >= First)
            First = Suffix + 1;
    }
    if (Folder) closedir(Folder);
    errno = EEXIST;
    for (long Suffix = First; Suffix < First + 1000 && Suffix <= SuffixMost; Suffix++) {
        if (Suffix == 1)
            (void)snprintf(Name, NameSize, "%.16s.dat", Stamp);
        else
            (void)snprintf(Name, NameSize, "%.16s-%d.dat", Stamp, (int)Suffix);
        if (linkat(Dir, Temp, Dir, Name, 0) == 0) {
            (void)unlinkat(Dir, Temp, 0);
            return true;
        }
        if (errno != EEXIST) break;
    }
    Say(Kept, KeptSize, strerror(errno));
    Name[0] = '\0';
    (void)unlinkat(Dir, Temp, 0);
    return false;
}

// Only the newest records stay.
static void Prune(int Dir) {
    char Names[KeptMost + 1][KeptNameSize];
    while (ListKept(Dir, Names, KeptMost + 1) > KeptMost)
        if (unlinkat(Dir, Names[KeptMost], 0) != 0) return;
}

// Runs one change of the entry, keeping the record it replaces first when
// history is on; a change that fails takes its kept copy back out. Then,
// under the same lock, what killed saves left behind goes.
static int WithHistory(int (*Change)(const WORDS*, const char*), const WORDS* Words, char* Kept,
                       size_t KeptSize) {
    char Target[PATH_MAX];
    char KeptFile[KeptNameSize];

    if (Kept && KeptSize) Kept[0] = '\0';
    SaveTarget(Target, sizeof Target);
    int Lock = LockHistory(Kept, KeptSize);
    KeptFile[0] = '\0';
    if (Lock >= 0) KeepCurrent(Lock, KeptFile, sizeof KeptFile, Kept, KeptSize);
    int Result = Change(Words, Target);
    int Why = errno;
    if (Result != Saved && KeptFile[0] != '\0') (void)unlinkat(Lock, KeptFile, 0);
    if (!od::planted_link(DataFile)) SweepSaves(Target); // never where a planted link leads
    if (Lock >= 0) {
        Sweep(Lock, KeepingMark, true);
        Prune(Lock);
        close(Lock);
    }
    errno = Why;
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

    fd = od::open_checked(DataFile, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return NotOpened;
    bool Regular = fstat(fd, &Old) == 0 && S_ISREG(Old.st_mode);
    close(fd);
    if (!Regular) {
        errno = EINVAL;
        return NotOpened;
    }
    if (unlink(Target) != 0) return NotWritten;
    od::sync_folder_of(Target);
    return Saved;
}

int ClearWords(char* Kept, size_t KeptSize) {
    return WithHistory(RemoveRecord, NULL, Kept, KeptSize);
}
