// The saved record and its data file, shared by the door and the sysop's tool.
#pragma once

#include <cstddef>
#include <cstdio>

// The data file is exactly this record: other copies of the door, old and
// new, read it byte for byte.
struct WORDS {
    char Line[5][70];
    char User[36];
};
static_assert(sizeof(WORDS) == 386, "the data file holds one 386-byte record");
static_assert(offsetof(WORDS, Line) == 0 && offsetof(WORDS, User) == 350,
              "five lines of 70 bytes, then the name");

extern const char DataFile[];      // "valedict.dat", in the working folder
extern const char HistoryFolder[]; // "valedict.old": its presence switches history on

// Opens a record file for reading without ever blocking: a FIFO, a device or
// a folder under the name holds no entry (NULL). Like every open of the data
// file and the history folder, it never follows a symbolic link that another
// user left in a sticky, world-writable folder (EACCES), on any system.
FILE* OpenRecord(const char* Path);

enum { Saved = 0, NotOpened = 10, NotWritten = 40 };

// Run as root, takes the working folder's owner and group for good
// (supplementary groups dropped) before anything in the folder is opened,
// made or removed; a folder of root's own that no one else may write keeps
// root. False, with why in Problem, for a folder of root's that its group
// or others may write, or when the change fails. True at once for any
// other user.
bool ActAsFolderOwner(char* Problem, size_t Size);

// Saves the record over the data file by the file's own rights: exactly where
// the door's user may open it for writing, or create it. With history on,
// the record being replaced is kept first; where it cannot be, the save still
// happens and Kept says why (empty when kept, or when history is off). On
// failure errno tells why.
int SaveWords(const WORDS* Words, char* Kept, size_t KeptSize);

// Removes the entry (with the same rights as a save), keeping it first when
// history is on. NotOpened when there is no entry or it may not be written.
int ClearWords(char* Kept, size_t KeptSize);

// The kept records, newest first: the newest Max file names (in the history
// folder) in Names, of all of them. Returns how many there are (Names holds
// the first Max of them), -1 when history is off, or -2 with errno when the
// history folder cannot be read. Only regular files count: a link is none.
enum { KeptNameSize = 40, KeptMost = 20 };
int KeptRecords(char (*Names)[KeptNameSize], int Max);

// Reads the kept record Name from the history folder, never through a link:
// its first bytes in Words (the rest zero), how many in Got. False with errno
// when it cannot be read.
bool ReadKept(const char* Name, WORDS* Words, size_t* Got);
