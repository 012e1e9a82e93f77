// What the sysop's side of the league keeps between runs: the state file
// (the serial, the entry on file, the last export and import, the day's
// counts, the last refusals), the list of entries taken, and a held winner.
#pragma once

#include "league_post.h"
#include "packet.h"

#include <set>
#include <string>
#include <utility>
#include <vector>

extern const char PendingEntry[]; // "valedict.pending/entry.pkt"

struct STATE {
    uint32_t Serial = 0;
    bool HaveCurrent = false;
    ENTRY Current;              // key of the entry in the data file...
    unsigned long long Sum = 0; // ...while the data file holds these bytes
    std::string Export, Import;
    std::string Day;
    std::vector<std::pair<std::string, int>> Counts;
    std::vector<std::string> Refused;
};

// Reads the state from the locked state file (fd).
void ReadState(int fd, STATE* State);

// Rewrites the state in place: a rename would leave a waiting step locked on
// the old file.
void WriteState(int fd, const STATE& State);

// The current entry's key, when the data file still holds what it names.
bool CurrentKey(const STATE& State, ENTRY* Current);
void SetCurrent(STATE* State, const ENTRY& Entry);

// "20261210", the UTC day the counts are for.
std::string Today(time_t Now);

// The day's count for an origin; a full table gives up its least-used one.
int* CountOf(STATE* State, const std::string& Origin);

// The entries taken: a set to look in and the order they came in.
std::set<std::string> ReadSeen(std::vector<std::string>* Order);
bool WriteSeen(const std::vector<std::string>& Order);

// What the seen list remembers of a taken entry.
std::string SeenKey(const ENTRY& Entry);

// The winner held for the sysop; false when there is none.
bool ReadHeld(const LEAGUE& League, ENTRY* Held);

// "MSGID from "Board"", as the sysop reads it.
std::string Described(const ENTRY& Entry);
