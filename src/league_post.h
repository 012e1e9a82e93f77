// The league as the door meets it: the [league] settings, and one packet out
// for each local save. Fixed-size buffers and the C library only, since the
// door loads nothing beyond libODoors and libc; the sysop's tool builds on
// the same pieces.
#pragma once

#include "words.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

extern const char LeagueFile[];    // "valedict.ini", beside the data file
extern const char StateFile[];     // "valedict.league": serial, current entry, status
extern const char SeenFile[];      // "valedict.seen": the entries already taken
extern const char PendingFolder[]; // "valedict.pending": a held winner

// A zone:net/node.point address.
struct FTNADDR {
    unsigned Zone, Net, Node, Point;
};

enum {
    AreaSize = 51,      // an echo tag of up to 50 characters
    BoardSize = 36,     // a board's name of up to 35
    SecretSize = 9,     // a packet password of up to 8
    BlockMost = 32,     // address patterns and names in block
    BlockTextSize = 40, // one of them, as the sysop wrote it
    AddressSize = 32,   // "65535:65535/65535.65535"
    WrittenSize = 32,   // "2026-12-10T11:30:00Z"
    ProblemMost = 512,  // one line saying what went wrong
    StateMost = 65536,  // the state file is read up to this much
};

struct BLOCK {
    bool Address; // an address pattern, else a board's name
    int Parts[4]; // zone, net, node, point; -1 matches any
    char Text[BlockTextSize];
};

struct LEAGUE {
    char Area[AreaSize], Name[BoardSize], Password[SecretSize];
    char Toss[PATH_MAX], Pickup[PATH_MAX];
    FTNADDR Point, Board;
    BLOCK Block[BlockMost];
    int Blocks;
    bool Hold;
    int PerDay;
};

enum { LeagueOff = 0, LeagueOn = 1, LeagueWrong = 2 };

// Reads the [league] section of valedict.ini. Off when there is no such file
// or section; Wrong with Problem, one line naming the file, the key and what
// is wrong with it.
int ReadLeague(LEAGUE* League, char* Problem, size_t ProblemSize);

// Saves the record as SaveWords does and, once saved, posts it as the
// league's newest entry: one packet into the toss folder, dated so that it
// beats the entry it replaces by the order every board uses. Problem says
// what kept it from the league (empty when it went out); that never costs
// the save.
int SaveShared(const LEAGUE* League, const WORDS* Words, char* Kept, size_t KeptSize, char* Problem,
               size_t ProblemSize);

// Reads "21:1/101" or "21:1/101.7" (a "@domain" after it is dropped); every
// number 0-65535, the zone above 0.
bool ParseAddress(const char* Text, size_t Length, FTNADDR* Address);
void FormatAddress(const FTNADDR* Address, char* Out, size_t Size);
int CompareAddress(const FTNADDR* A, const FTNADDR* B);

// "2026-12-10T11:30:00Z", the time an entry was written (UTC).
void FormatWritten(int64_t Time, char Out[WrittenSize]);

// A packet's bytes, put together piece by piece so that the same bytes come
// out on every machine: the 58-byte header, then each message, then the
// two-byte end. Each returns how many bytes it put, 0 when Size is short.
enum { HeaderSize = 58 };
size_t PutHeader(unsigned char* Out, const FTNADDR* From, const FTNADDR* To, const char* Password,
                 int64_t Now);

// One entry as echomail in Area: MsgId is "21:1/101.7 6758a0b2".
struct POSTED {
    const char* MsgId;
    FTNADDR Origin;
    int64_t Written;
    const char* Board;
    const WORDS* Words;
};
size_t PutMessage(unsigned char* Out, size_t Size, const FTNADDR* To, const char* Area,
                  const POSTED* Entry);

// What the state file says of the entry on file and of the serials used.
struct CURRENT {
    uint32_t Serial; // the last serial posted
    bool Have;       // the state names the entry on file:
    int64_t Written;
    FTNADDR Origin;
    uint32_t IdSerial;
    unsigned long long Sum; // while the data file holds bytes of this sum
};

// A checksum of the data file's record (FNV-1a), to tell whether the entry
// the state describes is still the one on file.
unsigned long long RecordSum(const WORDS* Words);

// Reads the data file's whole record; false when there is none.
bool RecordOnFile(WORDS* Words);

// The serial and current entry from the state file's text.
void ReadCurrent(const char* Text, size_t Length, CURRENT* Current);

// Opens and locks the state file: every league step takes turns on it.
// -1 with errno when it cannot be had.
int LockState(void);

// Opens a file through the sticky-folder rule; a FIFO, a device or a
// folder under the name is refused (EINVAL).
int OpenRegular(const char* Path, int Flags, mode_t Mode);
