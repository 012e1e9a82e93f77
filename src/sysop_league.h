// valedict-sysop's league commands.
#pragma once

#include "words.h"

// After a save by the tool: sends the entry to the league when one is set
// up; a problem is one line on standard error and in the sysop log.
void ShareSaved(const WORDS& Words);

// Runs "league COMMAND": its exit status, or -1 when there is no such command.
int LeagueCommand(const char* Command);
