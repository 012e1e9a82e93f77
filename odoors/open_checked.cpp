#include "open_checked.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The path is walked one name at a time from an open folder (openat with
// O_NOFOLLOW), so the folder a link is judged in is the folder it is
// followed from: nothing can be swapped between the check and the use.
// Only libc: the door's program loads no C++ runtime.

namespace od {
namespace {

// A folder opened only to look names up in, so that a folder we may search
// but not list is passed as open(2) passes it: O_PATH on Linux, O_SEARCH
// on FreeBSD and NetBSD.
#if defined(__linux__) && defined(O_PATH)
constexpr int search_only = O_PATH;
#elif defined(O_SEARCH)
constexpr int search_only = O_SEARCH;
#else
constexpr int search_only = O_RDONLY;
#endif

// As the kernels' own bound on links followed in one path.
constexpr int most_links = 32;

// The folder reached so far; closed on every way out, errno kept.
struct Folder {
    int fd = AT_FDCWD;
    Folder() = default;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    ~Folder() { move_to(AT_FDCWD); }
    void move_to(int next) {
        if (fd >= 0) {
            int why = errno;
            ::close(fd);
            errno = why;
        }
        fd = next;
    }
    bool stat(struct stat* info) const {
        return (fd == AT_FDCWD ? ::stat(".", info) : ::fstat(fd, info)) == 0;
    }
};

bool shared(const struct stat& folder) {
    return (folder.st_mode & (S_ISVTX | S_IWOTH)) == (S_ISVTX | S_IWOTH);
}

// Linux (fs.protected_symlinks) never follows a link in a sticky,
// world-writable folder unless it belongs to the follower or to the
// folder's owner; the BSDs have no such rule, so it is kept here. Root
// follows, in a folder another user owns, only its own links: that user
// could otherwise point root at any file.
bool may_follow(const struct stat& folder, uid_t owner) {
    uid_t me = ::geteuid();
    if (shared(folder) && owner != me && owner != folder.st_uid) return false;
    return !(me == 0 && folder.st_uid != 0 && owner != 0);
}

// A hard link has no owner of its own: in a sticky, world-writable folder
// (FreeBSD lets anyone make one) or, for root, in another user's folder, a
// file with a second name may be someone's way to a file they cannot write.
bool may_open(const struct stat& folder, int fd) {
    struct stat file;
    if (::fstat(fd, &file) != 0) return false;
    if (!S_ISREG(file.st_mode) || file.st_nlink <= 1) return true;
    return !shared(folder) && !(::geteuid() == 0 && folder.st_uid != 0);
}

enum class Step { opened, refused, failed };

// Walks path from the working folder or the root. With open_last, opens
// the last name as open(2) would (fd); without, only judges the links on
// the way (fd stays -1). refused: a link or a second name breaks the rules
// above, or the path is too long or has too many links to be checked.
Step walk(const char* path, int flags, mode_t mode, bool open_last, int* fd) {
    char rest[PATH_MAX];
    *fd = -1;
    size_t length = strlen(path);
    if (length == 0) {
        errno = ENOENT;
        return Step::failed;
    }
    if (length >= sizeof rest) {
        errno = ENAMETOOLONG;
        return Step::refused;
    }
    memcpy(rest, path, length + 1);
    Folder dir;
    // A name at the root is opened by its absolute path, and the root itself
    // only when a link or a file there must be judged: one open less, and
    // qemu-user, which maps "/" to its own sysroot, leaves such a path alone.
    bool at_root = false;
    auto reach_root = [&] {
        if (!at_root) return true;
        int root;
        do {
            root = ::open("/", search_only | O_DIRECTORY | O_CLOEXEC);
        } while (root < 0 && errno == EINTR);
        if (root < 0) return false;
        dir.move_to(root);
        at_root = false;
        return true;
    };
    int links = 0;
    size_t at = 0;
    for (;;) {
        if (rest[at] == '/') {
            dir.move_to(AT_FDCWD);
            at_root = true;
            while (rest[at] == '/') at++;
        }
        char name[NAME_MAX + 2];
        size_t end = at;
        while (rest[end] != '\0' && rest[end] != '/') end++;
        if (end - at > NAME_MAX) {
            errno = ENAMETOOLONG;
            return Step::failed;
        }
        // At the root the name is held with its slash in front.
        char* const plain = name + 1;
        name[0] = '/';
        if (end == at) {
            memcpy(plain, ".", 2); // the path is the root itself
        } else {
            memcpy(plain, rest + at, end - at);
            plain[end - at] = '\0';
        }
        const char* first = at_root ? name : plain;
        size_t next = end;
        while (rest[next] == '/') next++;
        bool last = rest[next] == '\0';

        int opened;
        if (!last) {
            do {
                opened =
                    ::openat(dir.fd, first, search_only | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            } while (opened < 0 && errno == EINTR);
            if (opened >= 0) {
                dir.move_to(opened);
                at_root = false;
                at = next;
                continue;
            }
        } else if (open_last) {
            int wanted = flags | O_NOFOLLOW | (next != end ? O_DIRECTORY : 0);
            do {
                opened = ::openat(dir.fd, first, wanted, mode);
            } while (opened < 0 && errno == EINTR);
            if (opened >= 0) {
                struct stat folder;
                if (reach_root() && dir.stat(&folder) && may_open(folder, opened)) {
                    *fd = opened;
                    return Step::opened;
                }
                ::close(opened);
                errno = EACCES;
                return Step::refused;
            }
            // open(2) follows no link here either.
            if ((flags & O_NOFOLLOW) || (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL))
                return Step::failed;
        }

        // lstat tells a link, not errno: O_NOFOLLOW fails with ELOOP, EMLINK
        // or EFTYPE by system.
        int why = errno;
        if (!reach_root()) return Step::failed;
        struct stat link;
        if (::fstatat(dir.fd, plain, &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) {
            if (!open_last && last) return Step::opened; // nothing further to follow
            errno = why;
            return Step::failed;
        }
        struct stat folder;
        if (!dir.stat(&folder) || !may_follow(folder, link.st_uid) || ++links > most_links) {
            errno = links > most_links ? ELOOP : EACCES;
            return Step::refused;
        }
        // The link's target takes its name's place; what followed the name stays.
        char target[PATH_MAX];
        ssize_t got = ::readlinkat(dir.fd, plain, target, sizeof target);
        if (got <= 0) {
            if (got == 0) errno = ENOENT;
            return Step::failed;
        }
        size_t tail = strlen(rest + end);
        if ((size_t)got >= sizeof target || (size_t)got + tail >= sizeof rest) {
            errno = ENAMETOOLONG;
            return Step::refused;
        }
        memmove(rest + got, rest + end, tail + 1);
        memcpy(rest, target, (size_t)got);
        at = 0;
    }
}

} // namespace

int open_checked_at(int dir, const char* name, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::openat(dir, name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat folder;
    if (::fstat(dir, &folder) == 0 && may_open(folder, fd)) return fd;
    ::close(fd);
    errno = EACCES;
    return -1;
}

bool planted_link(const char* path) {
    int fd;
    return walk(path, 0, 0, false, &fd) == Step::refused;
}

int open_checked(const char* path, int flags, mode_t mode) {
    int fd;
    walk(path, flags, mode, true, &fd);
    return fd;
}

} // namespace od
