#include "league_state.h"

#include "file_io.h"
#include "league_files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

const char PendingEntry[] = "valedict.pending/entry.pkt";

// Bounds on what the state and the seen list keep.
enum {
    SeenMost = 4000,
    RefusedKept = 20,
    OriginsMost = 1000,
};

void ReadState(int fd, STATE* State) {
    std::string Text(StateMost, '\0');
    ssize_t Got = od::read_all_at(fd, Text.data(), Text.size(), 0);
    Text.resize(Got > 0 ? (size_t)Got : 0);
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

void WriteState(int fd, const STATE& State) {
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
    if (od::write_all_at(fd, Text.data(), Text.size(), 0)) (void)ftruncate(fd, (off_t)Text.size());
    (void)od::sync_file(fd);
}

bool CurrentKey(const STATE& State, ENTRY* Current) {
    WORDS Words;
    if (!State.HaveCurrent || !RecordOnFile(&Words) || RecordSum(&Words) != State.Sum) return false;
    *Current = State.Current;
    Current->Words = Words;
    return true;
}

void SetCurrent(STATE* State, const ENTRY& Entry) {
    State->HaveCurrent = true;
    State->Current.Written = Entry.Written;
    State->Current.Origin = Entry.Origin;
    State->Current.Serial = Entry.Serial;
    State->Sum = RecordSum(&Entry.Words);
}

std::string Today(time_t Now) {
    char Text[16];
    struct tm Utc;
    if (gmtime_r(&Now, &Utc) == NULL || strftime(Text, sizeof Text, "%Y%m%d", &Utc) == 0) return "";
    return Text;
}

int* CountOf(STATE* State, const std::string& Origin) {
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

std::set<std::string> ReadSeen(std::vector<std::string>* Order) {
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
bool WriteSeen(const std::vector<std::string>& Order) {
    std::string Text;
    size_t First = Order.size() > SeenMost ? Order.size() - SeenMost : 0;
    for (size_t At = First; At < Order.size(); At++) Text += Order[At] + "\n";
    return ReplaceWhole(SeenFile, Text);
}

// Its MSGID and its words, since two entries with one MSGID may differ.
std::string SeenKey(const ENTRY& Entry) {
    char Sum[24];
    (void)snprintf(Sum, sizeof Sum, " %016llx", RecordSum(&Entry.Words));
    return Entry.MsgId + Sum;
}

bool ReadHeld(const LEAGUE& League, ENTRY* Held) {
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

std::string Described(const ENTRY& Entry) {
    return (Entry.MsgId.empty() ? std::string("(no MSGID)") : Entry.MsgId) +
           (Entry.Board.empty() ? "" : " from \"" + Entry.Board + "\"");
}
