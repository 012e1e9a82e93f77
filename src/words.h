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
// a folder under the name holds no entry (NULL).
FILE* OpenRecord(const char* Path);

enum { Saved = 0, NotOpened = 10, NotWritten = 40 };

// Saves the record over the data file by the file's own rights: exactly where
// the door's user may open it for writing, or create it. With history on,
// the record being replaced is kept first; where it cannot be, the save still
// happens and Kept says why (empty when kept, or when history is off). On
// failure errno tells why.
int SaveWords(const WORDS* Words, char* Kept, size_t KeptSize);

// Removes the entry (with the same rights as a save), keeping it first when
// history is on. NotOpened when there is no entry or it may not be written.
int ClearWords(char* Kept, size_t KeptSize);

// The kept records, newest first: up to Max file names (in the history
// folder) in Names. Returns their number, or -1 when history is off.
enum { KeptNameSize = 40, KeptMost = 20 };
int KeptRecords(char (*Names)[KeptNameSize], int Max);
