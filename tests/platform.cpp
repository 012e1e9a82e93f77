#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#if defined(__linux__)
#include <sys/mount.h>
#endif

namespace platform {

bool emulated() {
    return std::getenv("QEMU_LD_PREFIX") != nullptr;
}

#if defined(__linux__)

std::optional<pid_t> first_child(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child = -1;
    if (in >> child && child > 0) return child;
    return -1; // none yet
}

// The kernel's function the process sleeps in, not /proc/PID/syscall: its
// numbers are the kernel's, which under qemu-user are not the program's.
std::optional<bool> sleeps_in_poll(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/wchan");
    std::string where;
    in >> where;
    return where.starts_with("poll_schedule_timeout");
}

std::optional<char> process_state(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return '?';
    return text[close + 2];
}

bool mount_small_disk(const std::string& path, long bytes, std::string& why) {
    std::string size = "size=" + std::to_string(bytes);
    if (::mount("tmpfs", path.c_str(), "tmpfs", 0, size.c_str()) == 0) return true;
    why = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
    return false;
}

void unmount(const std::string& path) {
    ::umount2(path.c_str(), MNT_DETACH);
}

#else // FreeBSD, NetBSD: no /proc to read, and mount(2) differs

std::optional<pid_t> first_child(pid_t) {
    return std::nullopt;
}

std::optional<bool> sleeps_in_poll(pid_t) {
    return std::nullopt;
}

std::optional<char> process_state(pid_t) {
    return std::nullopt;
}

bool mount_small_disk(const std::string&, long, std::string& why) {
    why = "mounting a small disk is done for Linux only";
    return false;
}

void unmount(const std::string&) {}

#endif

} // namespace platform
