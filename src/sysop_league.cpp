// valedict-sysop's league commands: import, accept, reject, status.
#include "sysop_league.h"

#include "league.h"
#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Each line goes to the sysop (standard output, or standard error for a
// problem) and to the sysop log when ODOORS_LOG names one.
static void Tell(const std::vector<std::string>& Lines, bool Problem) {
    od::Log Log;
    const char* Path = getenv("ODOORS_LOG");
    if (Path && *Path) Log.open(Path, "valedict-sysop");
    for (const std::string& Said : Lines) {
        std::string Line = od::harmless(Said); // a path from a flow file may hold anything
        if (Problem)
            (void)fprintf(stderr, "valedict-sysop: league: %s\n", Line.c_str());
        else
            printf("%s\n", Line.c_str());
        if (Log.is_open()) Log.write("league: " + Line);
    }
}

// Reads the league's settings; false after saying why there is none to use.
static bool Settings(LEAGUE* League) {
    char Problem[ProblemMost];
    int State = ReadLeague(League, Problem, sizeof Problem);
    if (State == LeagueOn) return true;
    if (State == LeagueOff)
        (void)snprintf(Problem, sizeof Problem, "no [league] section in %s", LeagueFile);
    Tell({Problem}, true);
    return false;
}

int SaveEntry(const WORDS* Words, char* Kept, size_t KeptSize) {
    static LEAGUE League;
    char Problem[ProblemMost];
    int Result;
    if (ReadLeague(&League, Problem, sizeof Problem) == LeagueOn)
        Result = SaveShared(&League, Words, Kept, KeptSize, Problem, sizeof Problem);
    else
        Result = SaveWords(Words, Kept, KeptSize);
    int Why = errno;
    if (Problem[0]) Tell({Problem}, true);
    errno = Why;
    return Result;
}

int LeagueCommand(const char* Command) {
    static LEAGUE League;
    std::vector<std::string> Said;
    bool Import = strcmp(Command, "import") == 0, Accept = strcmp(Command, "accept") == 0;
    bool Reject = strcmp(Command, "reject") == 0, Status = strcmp(Command, "status") == 0;
    if (!Import && !Accept && !Reject && !Status) return -1;
    if (!Settings(&League)) return 1;
    if (Status) {
        Said = LeagueStatus(League);
        for (const std::string& Line : Said) printf("%s\n", od::harmless(Line).c_str());
        return fflush(stdout) == 0 ? 0 : 2;
    }
    int Result = Import ? ImportLeague(League, &Said) : SettlePending(League, Accept, &Said);
    Tell(Said, Result != 0);
    return Result;
}
