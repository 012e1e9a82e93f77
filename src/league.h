// A league of boards sharing one entry: the door is a point of its board,
// posts each local save as echomail and takes the newest entry back from the
// packets the board's tosser leaves for it.
#pragma once

#include "packet.h"
#include "words.h"

#include <string>
#include <vector>

extern const char LeagueFile[];    // "valedict.ini", beside the data file
extern const char StateFile[];     // "valedict.league": serial, current entry, status
extern const char SeenFile[];      // "valedict.seen": the MSGIDs already taken
extern const char PendingFolder[]; // "valedict.pending": a held winner

struct BLOCK {
    bool Address;     // an address pattern, else a board's name
    int Parts[4];     // zone, net, node, point; -1 matches any
    std::string Text; // as the sysop wrote it
};

struct LEAGUE {
    std::string Area, Name, Toss, Pickup, Password;
    FTNADDR Point, Board;
    std::vector<BLOCK> Block;
    bool Hold;
    int PerDay;
};

enum { LeagueOff = 0, LeagueOn = 1, LeagueWrong = 2 };

// Reads the [league] section of valedict.ini. Off when there is no such file
// or section; Wrong with Problem, one line naming the file, the key and what
// is wrong with it.
int ReadLeague(LEAGUE* League, std::string* Problem);

// Saves the record as SaveWords does and, once saved, posts it as the
// league's newest entry: one packet into the toss folder. Problem says what
// kept it from the league (empty when it went out); that never costs the
// save.
int SaveShared(const LEAGUE& League, const WORDS* Words, char* Kept, size_t KeptSize,
               std::string* Problem);

// Reads the packets the tosser left for the door, takes the newest entry
// that passes every check (or holds it), and says what it did in Said, one
// line each. Returns 0, or 2 when the packets could not be reached.
int ImportLeague(const LEAGUE& League, std::vector<std::string>* Said);

// Puts the held winner in place (Accept) or drops it.
int SettlePending(const LEAGUE& League, bool Accept, std::vector<std::string>* Said);

// The last export and import, what waits, what was refused and why, and a
// lock left behind.
std::vector<std::string> LeagueStatus(const LEAGUE& League);
