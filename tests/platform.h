// What the tests need from the system that Linux, FreeBSD and NetBSD provide
// differently. Where only Linux has it (/proc, tmpfs mounts), the answer is
// "unknown" elsewhere and the test that needs it skips with a reason.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

#if defined(__linux__)
#include <pty.h>
#elif defined(__FreeBSD__) || defined(__DragonFly__)
#include <libutil.h>
#else
#include <util.h> // NetBSD, OpenBSD
#endif

extern "C" {
extern char** environ; // POSIX, but not every unistd.h declares it
}

namespace platform {

// The first child of `pid`; nothing where the system cannot say.
std::optional<pid_t> first_child(pid_t pid);

// Whether `pid` sleeps in poll; nothing where the system cannot say.
std::optional<bool> sleeps_in_poll(pid_t pid);

// The state letter of `pid` as ps shows it ('T' stopped); nothing where the
// system cannot say.
std::optional<char> process_state(pid_t pid);

// Whether the tests run under qemu-user (scripts/cross-test sets
// QEMU_LD_PREFIX for it), where some answers are the emulator's own.
bool emulated();

// Mounts a tmpfs of `bytes` at `path`; false with the reason where it cannot.
bool mount_small_disk(const std::string& path, long bytes, std::string& why);
void unmount(const std::string& path);

} // namespace platform
