// valedict-sysop's league commands.
#pragma once

#include "words.h"

// Saves a new entry as SaveWords does and, when a league is set up, sends
// it there; a league's problem is one line on standard error and in the
// sysop log, and never costs the save.
int SaveEntry(const WORDS* Words, char* Kept, size_t KeptSize);

// Runs "league COMMAND": its exit status, or -1 when there is no such command.
int LeagueCommand(const char* Command);
