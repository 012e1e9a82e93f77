// What the sysop reads of the league: exports, imports, what waits and why.
#include "league.h"

#include "league_files.h"
#include "league_pickup.h"
#include "league_state.h"
#include "open_checked.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::vector<std::string> LeagueStatus(const LEAGUE& League) {
    std::vector<std::string> Out;
    STATE State;
    int fd = od::open_checked(StateFile, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        ReadState(fd, &State);
        close(fd);
    }
    auto When = [](const std::string& Line) {
        size_t Blank = Line.find(' ');
        return Stamp((time_t)atoll(Line.c_str())) + ": " +
               (Blank == std::string::npos ? "" : Line.substr(Blank + 1));
    };
    Out.push_back("league " + std::string(League.Area) + ": point " + AddressText(League.Point) +
                  " of " + AddressText(League.Board) + " (" + std::string(League.Name) + ")" +
                  (League.Hold ? ", winners held" : ""));
    Out.push_back("last export: " + (State.Export.empty() ? "none" : When(State.Export)));
    Out.push_back("last import: " + (State.Import.empty() ? "none" : When(State.Import)));
    ENTRY Held;
    Out.push_back("pending: " + (ReadHeld(League, &Held)
                                     ? Described(Held) + ", written " + WrittenText(Held.Written) +
                                           " (league accept | league reject)"
                                     : std::string("none")));
    if (State.Refused.empty()) Out.push_back("refused: none");
    for (const std::string& Line : State.Refused) Out.push_back("refused " + When(Line));
    PICKUP Pickup;
    std::vector<std::string> Unused; // the import says what keeps it from the pickup
    std::string Since;
    if (OpenPickup(League.Pickup, &Pickup, &Unused) && Stale(Pickup, &Since))
        Out.push_back("lock: " + Pickup.Where + BusyOf(Pickup.Leaf) + " is stale (since " + Since +
                      "): remove it, or let binkd's kill-old-bsy do so");
    return Out;
}
