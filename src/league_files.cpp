#include "league_files.h"

#include "file_io.h"
#include "league_post.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int ReadSmall(const char* Path, size_t Most, std::string* Out) {
    Out->clear();
    int fd = OpenRegular(Path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
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

bool ReplaceWhole(const std::string& Path, const std::string& Data) {
    std::string Temp = Path + ".new.XXXXXX";
    int fd = mkstemp(Temp.data());
    if (fd < 0) return false;
    mode_t Mask = umask(0);
    umask(Mask);
    bool Done = fchmod(fd, 0666 & ~Mask) == 0 &&
                od::write_all_at(fd, Data.data(), Data.size(), 0) && od::sync_file(fd);
    Done = close(fd) == 0 && Done;
    if (!Done || rename(Temp.c_str(), Path.c_str()) != 0) {
        int Why = errno;
        unlink(Temp.c_str());
        errno = Why;
        return false;
    }
    od::sync_folder_of(Path.c_str());
    return true;
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
