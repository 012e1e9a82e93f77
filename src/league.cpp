#include "league.h"

#include "file_io.h"
#include "log.h"
#include "open_checked.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static const char PendingEntry[] = "valedict.pending/entry.pkt";
static const char WaitingFile[] = "valedict.ahead"; // entries dated ahead, as one packet

// Bounds on what the league keeps and reads.
enum {
    StateMost = 64 * 1024,
    SeenMost = 4000,
    FlowMost = 64 * 1024,
    FlowLinesMost = 1000,
    RefusedKept = 20,
    OriginsMost = 1000,
    AheadMost = 3600,          // an entry dated further ahead waits...
    WaitMost = 30 * 24 * 3600, // ...unless it is dated this far ahead
    WaitingKept = 20,          // the highest this many wait
};

// A lock older than this is left by a process that died: a transfer or an
// import of a few packets takes seconds.
static const time_t StaleAfter = (time_t)12 * 3600;

static std::string Lower(std::string Text) {
    for (char& Letter : Text)
        if (Letter >= 'A' && Letter <= 'Z') Letter = (char)(Letter + 32);
    return Text;
}

// Reads a whole small file through the sticky-folder rule: 0, or -1 with
// errno (EFBIG when it holds more than Most bytes).
static int ReadSmall(const char* Path, size_t Most, std::string* Out) {
    Out->clear();
    int fd = OpenRegular(Path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (fd < 0) return -1;
    char Chunk[8192];
    for (;;) {
        ssize_t Got = od::read_all_at(fd, Chunk, sizeof Chunk, (off_t)Out->size());
        if (Got < 0) {
            int Why = errno;
            close(fd);
            errno = Why;
            return -1;
        }
        Out->append(Chunk, (size_t)Got);
        if (Out->size() > Most) {
            close(fd);
            errno = EFBIG;
            return -1;
        }
        if ((size_t)Got < sizeof Chunk) break;
    }
    close(fd);
    return 0;
}

static bool WriteAll(int fd, const std::string& Data) {
    size_t Done = 0;
    while (Done < Data.size()) {
        ssize_t Put = write(fd, Data.data() + Done, Data.size() - Done);
        if (Put < 0 && errno == EINTR) continue;
        if (Put <= 0) return false;
        Done += (size_t)Put;
    }
    while (fsync(fd) != 0)
        if (errno != EINTR) return false;
    return true;
}

static std::string FolderOf(const std::string& Path) {
    size_t Slash = Path.rfind('/');
    return Slash == std::string::npos ? "." : Path.substr(0, Slash + 1);
}

static void SyncFolder(const std::string& Folder) {
    int Dir = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Dir < 0) return;
    (void)fsync(Dir);
    close(Dir);
}

// Writes Data as a new file beside Path and renames it over Path, so that a
// reader finds the old content or the new, whole.
static bool ReplaceWhole(const std::string& Path, const std::string& Data) {
    std::string Temp = Path + ".new.XXXXXX";
    int fd = mkstemp(Temp.data());
    if (fd < 0) return false;
    mode_t Mask = umask(0);
    umask(Mask);
    bool Done = fchmod(fd, 0666 & ~Mask) == 0 && WriteAll(fd, Data);
    Done = close(fd) == 0 && Done;
    if (!Done || rename(Temp.c_str(), Path.c_str()) != 0) {
        int Why = errno;
        unlink(Temp.c_str());
        errno = Why;
        return false;
    }
    SyncFolder(FolderOf(Path));
    return true;
}

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

// What the league keeps between runs, in the state file.
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

static void ReadState(int fd, STATE* State) {
    std::string Text;
    char Chunk[4096];
    ssize_t Got;
    off_t At = 0;
    while (Text.size() < StateMost && (Got = pread(fd, Chunk, sizeof Chunk, At)) > 0) {
        Text.append(Chunk, (size_t)Got);
        At += Got;
    }
    size_t Start = 0;
    while (Start < Text.size()) {
        size_t End = Text.find('\n', Start);
        if (End == std::string::npos) break; // a line cut short is no line
        std::string Line = Text.substr(Start, End - Start);
        Start = End + 1;
        size_t Blank = Line.find(' ');
        std::string Key = Line.substr(0, Blank);
        std::string Rest = Blank == std::string::npos ? "" : Line.substr(Blank + 1);
        if (Key == "serial") {
            State->Serial = (uint32_t)strtoul(Rest.c_str(), NULL, 10);
        } else if (Key == "current") {
            char Address[64];
            long long Written;
            unsigned Serial;
            unsigned long long Sum;
            if (sscanf(Rest.c_str(), "%lld %63s %x %llx", &Written, Address, &Serial, &Sum) == 4 &&
                ReadAddress(Address, &State->Current.Origin)) {
                State->HaveCurrent = true;
                State->Current.Written = Written;
                State->Current.Serial = Serial;
                State->Sum = Sum;
            }
        } else if (Key == "export") {
            State->Export = Rest;
        } else if (Key == "import") {
            State->Import = Rest;
        } else if (Key == "day") {
            State->Day = Rest;
        } else if (Key == "count" && State->Counts.size() < OriginsMost) {
            size_t Space = Rest.find(' ');
            if (Space != std::string::npos)
                State->Counts.push_back({Rest.substr(0, Space), atoi(Rest.c_str() + Space + 1)});
        } else if (Key == "refused") {
            State->Refused.push_back(Rest);
        }
    }
    if (State->Refused.size() > RefusedKept)
        State->Refused.erase(State->Refused.begin(), State->Refused.end() - RefusedKept);
}

// Rewrites the state in place: a rename would leave a waiting step locked on
// the old file.
static void WriteState(int fd, const STATE& State) {
    std::string Text = "serial " + std::to_string(State.Serial) + "\n";
    if (State.HaveCurrent) {
        char Line[160];
        (void)snprintf(Line, sizeof Line, "current %lld %s %08x %016llx\n",
                       (long long)State.Current.Written, AddressText(State.Current.Origin).c_str(),
                       State.Current.Serial, State.Sum);
        Text += Line;
    }
    if (!State.Export.empty()) Text += "export " + State.Export + "\n";
    if (!State.Import.empty()) Text += "import " + State.Import + "\n";
    if (!State.Day.empty()) Text += "day " + State.Day + "\n";
    for (const auto& Count : State.Counts)
        Text += "count " + Count.first + " " + std::to_string(Count.second) + "\n";
    size_t First = State.Refused.size() > RefusedKept ? State.Refused.size() - RefusedKept : 0;
    for (size_t At = First; At < State.Refused.size(); At++)
        Text += "refused " + State.Refused[At] + "\n";
    if (pwrite(fd, Text.data(), Text.size(), 0) == (ssize_t)Text.size())
        (void)ftruncate(fd, (off_t)Text.size());
    (void)fsync(fd);
}

static std::string Stamp(time_t When) {
    char Text[32];
    struct tm Utc;
    if (gmtime_r(&When, &Utc) == NULL ||
        strftime(Text, sizeof Text, "%Y-%m-%d %H:%M:%S UTC", &Utc) == 0)
        return "?";
    return Text;
}

// The current entry's key, when the data file still holds what it names.
static bool CurrentKey(const STATE& State, ENTRY* Current) {
    WORDS Words;
    if (!State.HaveCurrent || !RecordOnFile(&Words) || RecordSum(&Words) != State.Sum) return false;
    *Current = State.Current;
    Current->Words = Words;
    return true;
}

static void SetCurrent(STATE* State, const ENTRY& Entry) {
    State->HaveCurrent = true;
    State->Current.Written = Entry.Written;
    State->Current.Origin = Entry.Origin;
    State->Current.Serial = Entry.Serial;
    State->Sum = RecordSum(&Entry.Words);
}

static std::set<std::string> ReadSeen(std::vector<std::string>* Order) {
    std::string Text;
    std::set<std::string> Seen;
    if (ReadSmall(SeenFile, (size_t)SeenMost * 64, &Text) != 0) return Seen;
    size_t Start = 0;
    while (Start < Text.size()) {
        size_t End = Text.find('\n', Start);
        if (End == std::string::npos) break;
        std::string Id = Text.substr(Start, End - Start);
        Start = End + 1;
        if (!Id.empty() && Seen.insert(Id).second) Order->push_back(Id);
    }
    return Seen;
}

// Only the newest SeenMost stay: an entry older than those is older than the
// current one, so it can win nowhere.
static bool WriteSeen(const std::vector<std::string>& Order) {
    std::string Text;
    size_t First = Order.size() > SeenMost ? Order.size() - SeenMost : 0;
    for (size_t At = First; At < Order.size(); At++) Text += Order[At] + "\n";
    return ReplaceWhole(SeenFile, Text);
}

// One file the tosser listed: where it is and what the flow line asks.
struct LISTED {
    std::string Line; // the whole flow line
    std::string Path;
    char Mark; // '^' remove once sent, '#' truncate, or 0
    bool Packet;
};

static bool EndsWithPkt(const std::string& Path) {
    return Path.size() > 4 && Lower(Path.substr(Path.size() - 4)) == ".pkt";
}

// The lock beside a flow file: 00000007.flo takes 00000007.bsy.
static std::string BusyOf(const std::string& Flow) {
    size_t Dot = Flow.rfind('.');
    size_t Slash = Flow.rfind('/');
    if (Dot == std::string::npos || (Slash != std::string::npos && Dot < Slash))
        return Flow + ".bsy";
    return Flow.substr(0, Dot) + ".bsy";
}

// Whether a lock is left by a process that is gone: its pid (binkd and we
// write one) names no process, or it is older than any transfer.
static bool Stale(const std::string& Busy, std::string* Since) {
    struct stat Info;
    if (lstat(Busy.c_str(), &Info) != 0) return false;
    *Since = Stamp(Info.st_mtime);
    std::string Text;
    if (ReadSmall(Busy.c_str(), 64, &Text) == 0) {
        long Pid = atol(Text.c_str());
        if (Pid > 0 && Pid < INT_MAX && kill((pid_t)Pid, 0) != 0 && errno == ESRCH) return true;
    }
    return time(NULL) - Info.st_mtime > StaleAfter;
}

// Lists what the pickup holds: the flow file's lines, or a folder's packets.
static std::string ListPickup(const std::string& Pickup, bool Folder, std::vector<LISTED>* Listed) {
    if (Folder) {
        DIR* Dir = opendir(Pickup.c_str());
        if (Dir == NULL) return Pickup + ": " + strerror(errno);
        struct dirent* Item;
        while ((Item = readdir(Dir)) != NULL && Listed->size() < FlowLinesMost) {
            std::string Leaf = Item->d_name;
            if (!EndsWithPkt(Leaf)) continue;
            std::string Path = Pickup;
            if (Path.back() != '/') Path += '/';
            Path += Leaf;
            Listed->push_back({"", Path, '^', true});
        }
        closedir(Dir);
        std::sort(Listed->begin(), Listed->end(),
                  [](const LISTED& A, const LISTED& B) { return A.Path < B.Path; });
        return "";
    }
    std::string Text;
    if (ReadSmall(Pickup.c_str(), FlowMost, &Text) != 0)
        return errno == ENOENT
                   ? ""
                   : Pickup + ": " + (errno == EFBIG ? "larger than 64 KiB" : strerror(errno));
    size_t Start = 0;
    while (Start < Text.size() && Listed->size() < FlowLinesMost) {
        size_t End = Text.find('\n', Start);
        if (End == std::string::npos) End = Text.size();
        std::string Line = Text.substr(Start, End - Start);
        Start = End + 1;
        if (!Line.empty() && Line.back() == '\r') Line.pop_back();
        if (Line.empty()) continue;
        LISTED Item = {Line, Line, 0, false};
        if (Line[0] == '^' || Line[0] == '#' || Line[0] == '~' || Line[0] == '!' ||
            Line[0] == '@') {
            Item.Mark = Line[0];
            Item.Path = Line.substr(1);
        }
        Item.Packet = Item.Mark != '~' && Item.Mark != '!' && EndsWithPkt(Item.Path);
        Listed->push_back(Item);
    }
    return "";
}

// FTN packet passwords are told apart without case.
static bool SamePassword(const std::string& A, const char* B) {
    return Lower(A) == Lower(B);
}

// Reads one listed packet whole; false with Problem when it cannot count.
static bool LoadPacket(const std::string& Path, std::string* Data, std::string* Problem) {
    if (ReadSmall(Path.c_str(), PacketMost, Data) == 0) return true;
    *Problem = errno == EFBIG ? "larger than 16 MiB" : strerror(errno);
    return false;
}

static std::string Today(time_t Now) {
    char Text[16];
    struct tm Utc;
    if (gmtime_r(&Now, &Utc) == NULL || strftime(Text, sizeof Text, "%Y%m%d", &Utc) == 0) return "";
    return Text;
}

static int* CountOf(STATE* State, const std::string& Origin) {
    for (auto& Count : State->Counts)
        if (Count.first == Origin) return &Count.second;
    // A full table gives up its least-used origin, so that forged MSGIDs
    // never shut a new board out.
    if (State->Counts.size() >= OriginsMost) {
        auto Least =
            std::min_element(State->Counts.begin(), State->Counts.end(),
                             [](const auto& A, const auto& B) { return A.second < B.second; });
        *Least = {Origin, 0};
        return &Least->second;
    }
    State->Counts.push_back({Origin, 0});
    return &State->Counts.back().second;
}

// What the seen list remembers of a taken entry: its MSGID and its words,
// since two entries with one MSGID may differ.
static std::string SeenKey(const ENTRY& Entry) {
    char Sum[24];
    (void)snprintf(Sum, sizeof Sum, " %016llx", RecordSum(&Entry.Words));
    return Entry.MsgId + Sum;
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

static std::string Described(const ENTRY& Entry) {
    return (Entry.MsgId.empty() ? std::string("(no MSGID)") : Entry.MsgId) +
           (Entry.Board.empty() ? "" : " from \"" + Entry.Board + "\"");
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

static bool ReadHeld(const LEAGUE& League, ENTRY* Held) {
    std::string Data;
    std::vector<ENTRY> Entries;
    if (ReadSmall(PendingEntry, PacketMost, &Data) != 0) return false;
    if (!ReadPacket(reinterpret_cast<const unsigned char*>(Data.data()), Data.size(), League.Area,
                    &Entries)
             .empty() ||
        Entries.size() != 1 || !Entries[0].Problem.empty())
        return false;
    *Held = Entries[0];
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

// Tidies the flow after the import: handled packets go (as the flow line
// asks), refused ones are renamed .bad for the sysop to look at, and only
// the lines not handled stay.
enum { Handled = 0, Refuse = 1, Leave = 2 };

// Keeps a refused packet for the sysop under a name of its own: link()
// never replaces an earlier one.
static void KeepBad(const std::string& Path) {
    for (int Try = 0; Try < 1000; Try++) {
        std::string Name = Path + (Try ? "." + std::to_string(Try) : "") + ".bad";
        if (link(Path.c_str(), Name.c_str()) == 0) {
            (void)unlink(Path.c_str());
            return;
        }
        if (errno != EEXIST) return;
    }
}

static void Finish(const std::string& Flow, bool Folder, const std::vector<LISTED>& Listed,
                   const std::vector<char>& Bad) {
    std::string Left;
    for (size_t At = 0; At < Listed.size(); At++) {
        const LISTED& Item = Listed[At];
        if (!Item.Packet) {
            Left += Item.Line + "\n";
            continue;
        }
        if (Bad[At] == Leave) {
            if (!Folder) Left += Item.Line + "\n";
        } else if (Bad[At] == Refuse) {
            KeepBad(Item.Path);
        } else if (Item.Mark == '^')
            (void)unlink(Item.Path.c_str());
        else if (Item.Mark == '#') {
            int fd = OpenRegular(Item.Path.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0);
            if (fd >= 0) close(fd);
        }
    }
    if (Folder) return;
    if (Left.empty())
        (void)unlink(Flow.c_str());
    else
        (void)ReplaceWhole(Flow, Left);
}

int ImportLeague(const LEAGUE& League, std::vector<std::string>* Said) {
    struct stat Info;
    bool Folder = stat(League.Pickup, &Info) == 0 && S_ISDIR(Info.st_mode);
    if (od::planted_link(League.Pickup)) {
        Said->push_back(std::string(League.Pickup) + ": " + strerror(EACCES));
        return 2;
    }
    std::string Busy = Folder ? "" : BusyOf(League.Pickup);
    if (!Folder) {
        int Lock = od::open_checked(Busy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        // No flow file: nothing new, but entries dated ahead may be due.
        if (Lock < 0 && errno == ENOENT) Busy.clear();
        if (Lock < 0 && errno != ENOENT) {
            int Why = errno;
            std::string Since;
            if (Why == EEXIST && Stale(Busy, &Since))
                Said->push_back(Busy + ": a stale lock (since " + Since +
                                "); remove it, or let binkd's kill-old-bsy do so");
            else
                Said->push_back(
                    Busy + ": " +
                    (Why == EEXIST ? "busy: the mailer holds it; try later" : strerror(Why)));
            return 2;
        }
        std::string Pid = std::to_string((long)getpid()) + "\n";
        if (Lock >= 0) {
            (void)!write(Lock, Pid.data(), Pid.size());
            close(Lock);
        }
    }
    bool Flow = !Folder && !Busy.empty();
    int Status = 0;
    int fd = LockState();
    if (fd < 0) {
        Said->push_back(std::string(StateFile) + ": " + strerror(errno));
        if (Flow) unlink(Busy.c_str());
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
    std::string Problem = Folder || Flow ? ListPickup(League.Pickup, Folder, &Listed) : "";
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
        if (!LoadPacket(Path, &Data, &Problem)) {
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
            lstat(Path.c_str(), &PacketStat) == 0 && time(NULL) - PacketStat.st_mtime < 60) {
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
    Finish(League.Pickup, Folder, Listed, Bad);
    if (Flow) unlink(Busy.c_str());
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
    struct stat Info;
    std::string Since;
    if (!(stat(League.Pickup, &Info) == 0 && S_ISDIR(Info.st_mode)) &&
        Stale(BusyOf(League.Pickup), &Since))
        Out.push_back("lock: " + BusyOf(League.Pickup) + " is stale (since " + Since +
                      "): remove it, or let binkd's kill-old-bsy do so");
    return Out;
}
