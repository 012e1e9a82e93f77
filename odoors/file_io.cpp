#include "file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace od {

bool write_all_at(int fd, const void* data, std::size_t size, off_t offset) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t done = ::pwrite(fd, next, size, offset);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        next += done;
        size -= static_cast<std::size_t>(done);
        offset += done;
    }
    return true;
}

ssize_t read_all_at(int fd, void* data, std::size_t size, off_t offset) {
    char* next = static_cast<char*>(data);
    std::size_t got = 0;
    while (got < size) {
        ssize_t done = ::pread(fd, next + got, size - got, offset + static_cast<off_t>(got));
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return -1;
        if (done == 0) break;
        got += static_cast<std::size_t>(done);
    }
    return static_cast<ssize_t>(got);
}

bool sync_file(int fd) {
    while (::fsync(fd) != 0)
        if (errno != EINTR) return false;
    return true;
}

void sync_folder_of(const char* path) {
    const char* slash = std::strrchr(path, '/');
    std::string folder =
        slash ? std::string(path, static_cast<std::size_t>(slash - path + 1)) : ".";
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    (void)sync_file(dir);
    ::close(dir);
}

bool retry_while_busy(std::chrono::milliseconds wait, const std::function<bool()>& attempt) {
    auto end = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(2);
    for (;;) {
        if (attempt()) return true;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EACCES && errno != EINTR)
            return false;
        auto now = std::chrono::steady_clock::now();
        if (now >= end) break;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(pause, end - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
    errno = EAGAIN;
    return false;
}

bool lock_file(int fd, short type, std::chrono::milliseconds wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET; // from 0, length 0: the whole file, however it grows
    return retry_while_busy(wait, [&] { return ::fcntl(fd, F_SETLK, &lock) == 0; });
}

} // namespace od
