// The sysop's side of a league of boards sharing one entry: it takes the
// newest entry back from the packets the board's tosser leaves for the door,
// holds it for the sysop, and says what happened.
#pragma once

#include "league_post.h"
#include "packet.h"
#include "words.h"

#include <string>
#include <vector>

// Reads the packets the tosser left for the door, takes the newest entry
// that passes every check (or holds it), and says what it did in Said, one
// line each. Returns 0, or 2 when the packets could not be reached.
int ImportLeague(const LEAGUE& League, std::vector<std::string>* Said);

// Puts the held winner in place (Accept) or drops it.
int SettlePending(const LEAGUE& League, bool Accept, std::vector<std::string>* Said);

// The last export and import, what waits, what was refused and why, and a
// lock left behind.
std::vector<std::string> LeagueStatus(const LEAGUE& League);
