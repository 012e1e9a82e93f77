// Opening a path that a sysop or a door author names, never through a link
// that another local user planted in a shared sticky folder.
#pragma once

#include <sys/types.h>

namespace od {

// Opens path as open(2) does (mode for O_CREAT), but refuses with EACCES a
// symbolic link, anywhere on the way, that lies in a sticky, world-writable
// folder and belongs to neither the door's user nor that folder's owner.
// A regular file with more than one name in such a folder is refused too,
// whoever owns it: it may be a hard link another user made to a file of the
// door's user. Outside such folders a file's other names are left alone.
int open_checked(const char* path, int flags, mode_t mode = 0);

// True when a link on the way to path breaks that rule, or path cannot be
// checked.
bool planted_link(const char* path);

} // namespace od
