// Opening a path that a sysop or a door author names, never through a link
// that another local user planted on the way.
#pragma once

#include <sys/types.h>

namespace od {

// Opens path as open(2) does (mode for O_CREAT), one name at a time, and
// refuses with EACCES:
// - a symbolic link, as any part of the path, that lies in a sticky,
//   world-writable folder and belongs to neither the door's user nor that
//   folder's owner;
// - for root, a symbolic link, as any part of the path, that lies in a
//   folder another user owns and is not root's;
// - a regular file with more than one name in such a folder, whoever owns
//   it: it may be a hard link another user made to a file they cannot
//   write. Elsewhere a file's other names are left alone.
// Uses only libc, so the door's program needs no C++ runtime for it.
int open_checked(const char* path, int flags, mode_t mode = 0);

// Opens name, one name in the open folder dir, as openat(2) does but never
// through a symbolic link, and refuses a regular file with a second name
// (EACCES) where open_checked would: for a folder opened once and then
// used by its descriptor, so that it cannot be swapped in between.
int open_checked_at(int dir, const char* name, int flags, mode_t mode = 0);

// True when a link on the way to path breaks those rules, or path is too
// long or has too many links to be checked. A path that does not lead
// anywhere is not refused: whatever uses it fails by itself.
bool planted_link(const char* path);

} // namespace od
