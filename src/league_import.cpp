// The import: every entry the tosser left weighed by the league's order, the
// winner put in place or held for the sysop, and the sysop's accept or reject.
#include "league.h"

#include "league_files.h"
#include "league_pickup.h"
#include "league_state.h"
#include "open_checked.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static const char WaitingFile[] = "valedict.ahead"; // entries dated ahead, as one packet

// How far ahead an entry may be dated.
enum {
    AheadMost = 3600,          // an entry dated further ahead waits...
    WaitMost = 30 * 24 * 3600, // ...unless it is dated this far ahead
    WaitingKept = 20,          // the highest this many wait
};

static bool Blocked(const LEAGUE& League, const ENTRY& Entry, std::string* Which) {
    const unsigned Origin[4] = {Entry.Origin.Zone, Entry.Origin.Net, Entry.Origin.Node,
                                Entry.Origin.Point};
    for (int At = 0; At < League.Blocks; At++) {
        const BLOCK& Block = League.Block[At];
        bool Match = true;
        if (Block.Address) {
            for (int Part = 0; Part < 4; Part++)
                if (Block.Parts[Part] >= 0 && (unsigned)Block.Parts[Part] != Origin[Part])
                    Match = false;
        } else {
            Match = Lower(Block.Text) == Lower(Entry.Board);
        }
        if (Match) {
            *Which = Block.Text;
            return true;
        }
    }
    return false;
}

// FTN packet passwords are told apart without case.
static bool SamePassword(const std::string& A, const char* B) {
    return Lower(A) == Lower(B);
}

// Why an entry may not be taken whenever it is dated, or empty.
static std::string Refusal(const LEAGUE& League, const std::set<std::string>& Seen,
                           const ENTRY& Entry) {
    std::string Which;
    if (!Entry.Problem.empty()) return Entry.Problem;
    if (Seen.count(SeenKey(Entry))) return "a duplicate (taken already)";
    if (Blocked(League, Entry, &Which)) return "blocked (" + Which + ")";
    return "";
}

// The day's bound per origin, counted once the entry is taken.
static std::string OverTheDay(const LEAGUE& League, STATE* State, const ENTRY& Entry) {
    int* Count = CountOf(State, AddressText(Entry.Origin));
    if (*Count >= League.PerDay)
        return "more than per_day (" + std::to_string(League.PerDay) + ") from this origin today";
    (*Count)++;
    return "";
}

// Replaces the record with Entry through the door's own save, so history
// keeps what it replaces; what went wrong goes to Said.
static bool Install(STATE* State, const ENTRY& Entry, std::vector<std::string>* Said) {
    char Kept[256];
    int Result = SaveWords(&Entry.Words, Kept, sizeof Kept);
    if (Result != Saved) {
        Said->push_back(std::string(DataFile) + ": " + strerror(errno));
        return false;
    }
    SetCurrent(State, Entry);
    if (Kept[0]) Said->push_back(std::string("the replaced entry was not kept: ") + Kept);
    return true;
}

// Keeps a winner for the sysop: one packet in the pending folder, the best
// held so far.
static std::string Hold(const LEAGUE& League, const ENTRY& Entry, time_t Now) {
    ENTRY Held;
    if (ReadHeld(League, &Held) && !Beats(Entry, Held)) return "";
    mode_t Mask = umask(0);
    umask(Mask);
    if (mkdir(PendingFolder, 0777 & ~Mask) != 0 && errno != EEXIST)
        return std::string(PendingFolder) + ": " + strerror(errno);
    struct stat Info;
    if (lstat(PendingFolder, &Info) != 0 || !S_ISDIR(Info.st_mode))
        return std::string(PendingFolder) + ": not a folder";
    std::string Packet = MakePacket(Entry.Origin, League.Point, "", League.Area, Entry, Now);
    if (!ReplaceWhole(PendingEntry, Packet))
        return std::string(PendingEntry) + ": " + strerror(errno);
    return "";
}

int ImportLeague(const LEAGUE& League, std::vector<std::string>* Said) {
    PICKUP Pickup;
    if (!OpenPickup(League.Pickup, &Pickup, Said)) return 2;
    bool Folder = Pickup.Folder;
    // No flow file: nothing new, but entries dated ahead may be due.
    if (!Folder && !LockFlow(&Pickup, Said)) return 2;
    bool Flow = !Folder && !Pickup.Busy.empty();
    int Status = 0;
    int fd = LockState();
    if (fd < 0) {
        Said->push_back(std::string(StateFile) + ": " + strerror(errno));
        UnlockFlow(&Pickup);
        return 2;
    }
    STATE State;
    ReadState(fd, &State);
    time_t Now = time(NULL);
    if (State.Day != Today(Now)) {
        State.Day = Today(Now);
        State.Counts.clear();
    }
    std::vector<std::string> Order;
    std::set<std::string> Seen = ReadSeen(&Order);

    std::vector<LISTED> Listed;
    std::string Problem = Folder || Flow ? ListPickup(Pickup, &Listed) : "";
    if (!Problem.empty()) {
        Said->push_back(Problem);
        Status = 2;
    }
    std::vector<char> Bad(Listed.size(), Handled);
    int Packets = 0, BadPackets = 0, Taken = 0, Refused = 0;
    bool Have = false;
    ENTRY Winner;
    std::vector<ENTRY> Waiting, Passed;
    std::set<std::string> Waits;
    auto Turn = [&](const std::string& What) {
        Refused++;
        Said->push_back("refused " + What);
        State.Refused.push_back(std::to_string((long long)Now) + " " + What);
    };
    // Each entry on its own: a bad one costs only itself.
    auto Consider = [&](const ENTRY& Entry, bool Told) {
        std::string Why = Refusal(League, Seen, Entry);
        if (Why.empty() && Entry.Written > (int64_t)Now + AheadMost) {
            if (Entry.Written > (int64_t)Now + WaitMost) {
                Why = "dated more than 30 days ahead";
            } else {
                // Neither shown early nor lost: it waits for its time.
                if (Waits.insert(SeenKey(Entry)).second) Waiting.push_back(Entry);
                if (Told)
                    Said->push_back("waiting: " + Described(Entry) + ", dated " +
                                    WrittenText(Entry.Written));
                return;
            }
        }
        if (!Why.empty()) return Turn(Described(Entry) + ": " + Why);
        Passed.push_back(Entry);
    };
    // The day's bound counts the newest first, so a flood never costs the
    // newest entry.
    auto Take = [&](const ENTRY& Entry) {
        std::string Why = OverTheDay(League, &State, Entry);
        if (!Why.empty()) return Turn(Described(Entry) + ": " + Why);
        Taken++;
        if (Seen.insert(SeenKey(Entry)).second) Order.push_back(SeenKey(Entry));
        if (!Have || Beats(Entry, Winner)) Winner = Entry;
        Have = true;
    };
    std::string Held;
    if (ReadSmall(WaitingFile, PacketMost, &Held) == 0) {
        std::vector<ENTRY> Entries;
        (void)ReadPacket(reinterpret_cast<const unsigned char*>(Held.data()), Held.size(),
                         League.Area, &Entries);
        for (const ENTRY& Entry : Entries) Consider(Entry, false);
    }
    for (size_t At = 0; At < Listed.size(); At++) {
        if (!Listed[At].Packet) continue;
        std::string Data;
        std::vector<ENTRY> Entries;
        const std::string& Path = Listed[At].Path;
        std::string Secret;
        if (!LoadPacket(Pickup, Listed[At], &Data, &Problem)) {
            if (errno == ENOENT) continue; // gone meanwhile: nothing to take
        } else {
            const unsigned char* Bytes = reinterpret_cast<const unsigned char*>(Data.data());
            Problem = ReadPacket(Bytes, Data.size(), League.Area, &Entries);
            Secret = PacketPassword(Bytes, Data.size());
        }
        // A packet still being written into a folder is left for the next
        // import: a tosser writing there takes no lock we could share.
        struct stat PacketStat;
        if (Folder && Problem.find("cut short") != std::string::npos &&
            fstatat(Pickup.Dir, Listed[At].Name.c_str(), &PacketStat, AT_SYMLINK_NOFOLLOW) == 0 &&
            time(NULL) - PacketStat.st_mtime < 60) {
            Bad[At] = Leave;
            std::string Line = "left for the next import: ";
            Line += Path;
            Line += " (";
            Line += Problem;
            Line += ")";
            Said->push_back(Line);
            continue;
        }
        if (Problem.empty() && League.Password[0] && !SamePassword(Secret, League.Password))
            Problem = "not the packet password set in " + std::string(LeagueFile);
        Packets++;
        if (!Problem.empty()) {
            Bad[At] = Refuse;
            BadPackets++;
            std::string Why = "packet " + Path;
            Why += ": ";
            Why += Problem;
            std::string Told = "refused " + Why;
            Told += " (kept as " + Path + ".bad or .N.bad)";
            Said->push_back(Told);
            State.Refused.push_back(std::to_string((long long)Now) + " " + Why);
            continue;
        }
        for (const ENTRY& Entry : Entries) Consider(Entry, true);
    }
    std::sort(Passed.begin(), Passed.end(),
              [](const ENTRY& A, const ENTRY& B) { return Beats(A, B); });
    for (const ENTRY& Entry : Passed) Take(Entry);
    // The highest wait; those beyond the bound could only be outdone.
    std::sort(Waiting.begin(), Waiting.end(),
              [](const ENTRY& A, const ENTRY& B) { return Beats(A, B); });
    if (Waiting.size() > WaitingKept) Waiting.resize(WaitingKept);
    if (Waiting.empty())
        (void)unlink(WaitingFile);
    else if (!ReplaceWhole(WaitingFile,
                           MakePackets(League.Point, League.Point, League.Area, Waiting, Now)))
        Said->push_back(std::string(WaitingFile) + ": " + strerror(errno));

    std::string Outcome = "the entry is unchanged";
    ENTRY Current;
    if (Have && CurrentKey(State, &Current) && !Beats(Winner, Current)) {
        Outcome = "the entry on file is newer than any taken";
    } else if (Have && League.Hold) {
        Problem = Hold(League, Winner, Now);
        Outcome = Problem.empty() ? "held for the sysop: " + Described(Winner) : Problem;
        if (!Problem.empty()) Status = 2;
    } else if (Have) {
        bool Done = Install(&State, Winner, Said);
        Outcome =
            Done ? "the entry is now " + Described(Winner) : "the entry could not be replaced";
        if (!Done) Status = 2;
    }
    Said->push_back(std::to_string(Packets) + " packet(s) (" + std::to_string(BadPackets) +
                    " refused), " + std::to_string(Taken) + " entries taken, " +
                    std::to_string(Refused) + " refused; " + Outcome);
    State.Import = std::to_string((long long)Now) + " " + Said->back();
    (void)WriteSeen(Order);
    WriteState(fd, State);
    close(fd);
    Finish(Pickup, Listed, Bad);
    UnlockFlow(&Pickup);
    return Status;
}

int SettlePending(const LEAGUE& League, bool Accept, std::vector<std::string>* Said) {
    int fd = LockState();
    if (fd < 0) {
        Said->push_back(std::string(StateFile) + ": " + strerror(errno));
        return 2;
    }
    STATE State;
    ReadState(fd, &State);
    ENTRY Held, Current;
    int Status = 0;
    if (!ReadHeld(League, &Held)) {
        Said->push_back("nothing is pending");
    } else if (!Accept) {
        Said->push_back("dropped " + Described(Held));
    } else if (CurrentKey(State, &Current) && !Beats(Held, Current)) {
        Said->push_back("the entry on file is newer than " + Described(Held) + ": dropped");
    } else {
        bool Done = Install(&State, Held, Said);
        Said->push_back(Done ? "the entry is now " + Described(Held)
                             : "the entry could not be replaced");
        if (!Done) Status = 2;
        WriteState(fd, State);
    }
    if (Status == 0) (void)unlink(PendingEntry);
    close(fd);
    return Status;
}
