#include "file_io.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
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
    char folder[PATH_MAX];
    const char* slash = std::strrchr(path, '/');
    int length = slash ? static_cast<int>(slash - path + 1) : 1;
    int written = std::snprintf(folder, sizeof folder, "%.*s", length, slash ? path : ".");
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof folder) return;
    int dir = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    (void)sync_file(dir);
    ::close(dir);
}

namespace {

long long now_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct SetLock {
    int fd;
    struct flock lock;
};

bool set_lock(void* context) {
    auto* request = static_cast<SetLock*>(context);
    return ::fcntl(request->fd, F_SETLK, &request->lock) == 0;
}

} // namespace

bool retry_while_busy(long wait_ms, bool (*attempt)(void* context), void* context) {
    long long end = now_ms() + wait_ms;
    long pause = 2;
    for (;;) {
        if (attempt(context)) return true;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EACCES && errno != EINTR)
            return false;
        long long left = end - now_ms();
        if (left <= 0) break;
        long nap = pause < left ? pause : static_cast<long>(left);
        timespec sleep{nap / 1000, (nap % 1000) * 1000000};
        (void)::nanosleep(&sleep, nullptr); // a signal only cuts the pause short
        pause = pause * 2 < 50 ? pause * 2 : 50;
    }
    errno = EAGAIN;
    return false;
}

bool lock_file(int fd, short type, std::chrono::milliseconds wait) {
    SetLock request{fd, {}};
    request.lock.l_type = type;
    request.lock.l_whence = SEEK_SET; // from 0, length 0: the whole file, however it grows
    return retry_while_busy(static_cast<long>(wait.count()), set_lock, &request);
}

} // namespace od
