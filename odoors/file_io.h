// Whole reads and writes at an offset, syncs, and fcntl locks with a bounded
// wait: what the door's data file and the shared record files share. Plain
// C library calls only, so that the door can take these without loading the
// C++ runtime.
#pragma once

#include <chrono>
#include <cstddef>
#include <sys/types.h>

namespace od {

// Writes all of the bytes at offset; a signal in between is no failure.
bool write_all_at(int fd, const void* data, std::size_t size, off_t offset);

// Reads up to size bytes at offset, fewer only at the file's end; how many
// came, or -1 with errno.
ssize_t read_all_at(int fd, void* data, std::size_t size, off_t offset);

// fsync(2), again after a signal.
bool sync_file(int fd);

// Syncs the folder that holds path, so that a rename or removal in it
// survives a power cut too.
void sync_folder_of(const char* path);

// Calls attempt(context) until it succeeds, while it fails only because
// another process holds something (EAGAIN, EWOULDBLOCK, EACCES, EINTR), for
// at most wait_ms. Sleeps in between rather than blocking in the kernel: a
// blocking lock could only be bounded by alarm(), and the library owns
// SIGALRM. False with errno EAGAIN once the wait is over, else attempt's
// errno.
bool retry_while_busy(long wait_ms, bool (*attempt)(void* context), void* context);

// The same for any callable; it stays in the caller's code, which needs no
// more of the C++ runtime for it than the callable does.
template <class Attempt> bool retry_while_busy(std::chrono::milliseconds wait, Attempt&& attempt) {
    return retry_while_busy(
        static_cast<long>(wait.count()),
        [](void* context) { return static_cast<bool>((*static_cast<Attempt*>(context))()); },
        static_cast<void*>(&attempt));
}

// An fcntl lock over the whole file: F_RDLCK, F_WRLCK or F_UNLCK.
bool lock_file(int fd, short type, std::chrono::milliseconds wait);

} // namespace od
