#include "open_checked.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace od {
namespace {

// Where the link at path points, taken from path's folder when relative;
// empty when path is no link.
std::string link_target(const std::string& path) {
    char link[PATH_MAX];
    ssize_t length = readlink(path.c_str(), link, sizeof link - 1);
    if (length <= 0) return {};
    std::string target(link, static_cast<size_t>(length));
    auto slash = path.rfind('/');
    if (target[0] == '/' || slash == std::string::npos) return target;
    return path.substr(0, slash + 1) + target;
}

// The folder that holds path, with its last slash ("." when there is none).
std::string folder_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// Linux (fs.protected_symlinks) never follows a link in a sticky,
// world-writable folder unless the link belongs to the follower or to the
// folder's owner; the BSDs have no such rule, so every link on the way to
// the file, folders' included, is held to it here. budget bounds the links
// looked at; a path that cannot be checked counts as refused.
bool forbidden(const std::string& path, int& budget) {
    if (path.size() >= PATH_MAX) return true;
    for (size_t end = 1; end <= path.size(); end++) {
        if ((end < path.size() && path[end] != '/') || path[end - 1] == '/') continue;
        std::string prefix = path.substr(0, end);
        struct stat link, folder;
        if (lstat(prefix.c_str(), &link) != 0) return false; // nothing further to follow
        if (!S_ISLNK(link.st_mode)) continue;
        if (--budget < 0) return true;
        if (stat(folder_of(prefix).c_str(), &folder) != 0) return true;
        bool shared = (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
        if (shared && link.st_uid != geteuid() && link.st_uid != folder.st_uid) return true;
        auto target = link_target(prefix);
        if (target.empty() || forbidden(target, budget)) return true;
    }
    return false;
}

// The name the file at path has in its own folder: path with the links at
// its end followed (folders on the way are left to stat).
std::string final_name(std::string path) {
    for (int hops = 0; hops < 32; hops++) {
        auto target = link_target(path);
        if (target.empty()) break;
        path = target;
    }
    return path;
}

// A regular file with several names in a sticky, world-writable folder may
// be another user's hard link to a file of the door's user (FreeBSD lets
// anyone make one). A hard link has no owner of its own, so who made it
// cannot be told: such a file is refused whoever owns it.
bool planted_hard_link(int fd, const char* path) {
    struct stat file, folder;
    if (::fstat(fd, &file) != 0) return true;
    if (!S_ISREG(file.st_mode) || file.st_nlink <= 1) return false;
    if (::stat(folder_of(final_name(path)).c_str(), &folder) != 0) return true;
    return (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
}

} // namespace

bool planted_link(const char* path) {
    int budget = 32;
    return forbidden(path, budget);
}

// lstat tells a link, not errno: O_NOFOLLOW fails with ELOOP, EMLINK or
// EFTYPE by system.
int open_checked(const char* path, int flags, mode_t mode) {
    for (int tries = 0; tries < 3; tries++) {
        struct stat info;
        bool link = lstat(path, &info) == 0 && S_ISLNK(info.st_mode);
        if (link && planted_link(path)) {
            errno = EACCES;
            return -1;
        }
        int fd;
        do {
            fd = open(path, flags | (link ? 0 : O_NOFOLLOW), mode);
        } while (fd < 0 && errno == EINTR);
        if (fd >= 0 && planted_hard_link(fd, path)) {
            ::close(fd);
            errno = EACCES;
            return -1;
        }
        if (fd >= 0 || link) return fd;
        // A link put under the name since the lstat is judged again.
        int why = errno;
        if (lstat(path, &info) != 0 || !S_ISLNK(info.st_mode)) {
            errno = why;
            return -1;
        }
    }
    errno = EACCES;
    return -1;
}

} // namespace od
