#include "league_files.h"

#include "file_io.h"
#include "league_post.h"
#include "open_checked.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Reads what fd holds, up to Most bytes, and closes it.
static int ReadOpened(int fd, size_t Most, std::string* Out) {
    Out->clear();
    if (fd < 0) return -1;
    char Chunk[8192];
    for (;;) {
        ssize_t Got = od::read_all_at(fd, Chunk, sizeof Chunk, (off_t)Out->size());
        if (Got < 0) {
            int Why = errno;
            close(fd);
            errno = Why;
            return -1;
        }
        Out->append(Chunk, (size_t)Got);
        if (Out->size() > Most) {
            close(fd);
            errno = EFBIG;
            return -1;
        }
        if ((size_t)Got < sizeof Chunk) break;
    }
    close(fd);
    return 0;
}

int ReadSmall(const char* Path, size_t Most, std::string* Out) {
    return ReadOpened(OpenRegular(Path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0), Most,
                      Out);
}

int ReadSmallAt(int Dir, const std::string& Name, size_t Most, std::string* Out) {
    int fd = od::open_checked_at(Dir, Name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    struct stat Info;
    if (fd >= 0 && (fstat(fd, &Info) != 0 || !S_ISREG(Info.st_mode))) {
        close(fd);
        errno = EINVAL;
        fd = -1;
    }
    return ReadOpened(fd, Most, Out);
}

bool ReplaceWholeAt(int Dir, const std::string& Name, const std::string& Data) {
    std::string Temp;
    int fd = -1;
    for (int Try = 0; fd < 0 && Try < 100; Try++) {
        Temp = Name + ".new." + std::to_string((long)getpid()) + "." + std::to_string(Try);
        fd = od::open_checked_at(Dir, Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return false;
    mode_t Mask = umask(0);
    umask(Mask);
    bool Done = fchmod(fd, 0666 & ~Mask) == 0 &&
                od::write_all_at(fd, Data.data(), Data.size(), 0) && od::sync_file(fd);
    Done = close(fd) == 0 && Done;
    if (!Done || renameat(Dir, Temp.c_str(), Dir, Name.c_str()) != 0) {
        int Why = errno;
        unlinkat(Dir, Temp.c_str(), 0);
        errno = Why;
        return false;
    }
    (void)od::sync_file(Dir);
    return true;
}

bool ReplaceWhole(const std::string& Path, const std::string& Data) {
    size_t Slash = Path.rfind('/');
    std::string Folder = Slash == std::string::npos ? "." : Path.substr(0, Slash + 1);
    int Dir = od::open_checked(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (Dir < 0) return false;
    bool Done =
        ReplaceWholeAt(Dir, Slash == std::string::npos ? Path : Path.substr(Slash + 1), Data);
    int Why = errno;
    close(Dir);
    errno = Why;
    return Done;
}

std::string Lower(std::string Text) {
    for (char& Letter : Text)
        if (Letter >= 'A' && Letter <= 'Z') Letter = (char)(Letter + 32);
    return Text;
}

std::string Stamp(time_t When) {
    char Text[32];
    struct tm Utc;
    if (gmtime_r(&When, &Utc) == NULL ||
        strftime(Text, sizeof Text, "%Y-%m-%d %H:%M:%S UTC", &Utc) == 0)
        return "?";
    return Text;
}
