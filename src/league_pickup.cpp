#include "league_pickup.h"

#include "league_files.h"
#include "league_post.h"
#include "open_checked.h"
#include "packet.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Bounds on what a flow file may hold.
enum {
    FlowMost = 64 * 1024,
    FlowLinesMost = 1000,
};

// A lock older than this is left by a process that died: a transfer or an
// import of a few packets takes seconds.
static const time_t StaleAfter = (time_t)12 * 3600;

static bool EndsWithPkt(const std::string& Path) {
    return Path.size() > 4 && Lower(Path.substr(Path.size() - 4)) == ".pkt";
}

PICKUP::~PICKUP() {
    if (Dir >= 0) close(Dir);
}

bool OpenPickup(const std::string& Path, PICKUP* Pickup, std::vector<std::string>* Said) {
    const int Flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    Pickup->Path = Path;
    Pickup->Dir = od::open_checked(Path.c_str(), Flags);
    if (Pickup->Dir >= 0) {
        Pickup->Folder = true;
        Pickup->Where = Path.back() == '/' ? Path : Path + "/";
        return true;
    }
    // A flow file, or nothing yet under its name: its folder holds its lock.
    if (errno == ENOTDIR || errno == ENOENT) {
        size_t Slash = Path.rfind('/');
        Pickup->Where = Slash == std::string::npos ? "" : Path.substr(0, Slash + 1);
        Pickup->Leaf = Path.substr(Slash == std::string::npos ? 0 : Slash + 1);
        Pickup->Dir = od::open_checked(Pickup->Where.empty() ? "." : Pickup->Where.c_str(), Flags);
        if (Pickup->Dir >= 0 || errno == ENOENT) return true;
    }
    Said->push_back(Path + ": " + strerror(errno));
    return false;
}

std::string BusyOf(const std::string& Flow) {
    size_t Dot = Flow.rfind('.');
    size_t Slash = Flow.rfind('/');
    if (Dot == std::string::npos || (Slash != std::string::npos && Dot < Slash))
        return Flow + ".bsy";
    return Flow.substr(0, Dot) + ".bsy";
}

// Its pid (binkd and we write one) names no process, or it is older than
// any transfer.
bool Stale(const PICKUP& Pickup, std::string* Since) {
    struct stat Info;
    std::string Busy = BusyOf(Pickup.Leaf);
    if (Pickup.Folder || Pickup.Dir < 0 ||
        fstatat(Pickup.Dir, Busy.c_str(), &Info, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    *Since = Stamp(Info.st_mtime);
    std::string Text;
    if (ReadSmallAt(Pickup.Dir, Busy, 64, &Text) == 0) {
        long Pid = atol(Text.c_str());
        if (Pid > 0 && Pid < INT_MAX && kill((pid_t)Pid, 0) != 0 && errno == ESRCH) return true;
    }
    return time(NULL) - Info.st_mtime > StaleAfter;
}

bool LockFlow(PICKUP* Pickup, std::vector<std::string>* Said) {
    if (Pickup->Dir < 0) return true;
    std::string Busy = BusyOf(Pickup->Leaf);
    int Lock = od::open_checked_at(Pickup->Dir, Busy.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (Lock < 0) {
        int Why = errno;
        std::string Since;
        if (Why == EEXIST && Stale(*Pickup, &Since))
            Said->push_back(Pickup->Where + Busy + ": a stale lock (since " + Since +
                            "); remove it, or let binkd's kill-old-bsy do so");
        else
            Said->push_back(
                Pickup->Where + Busy + ": " +
                (Why == EEXIST ? "busy: the mailer holds it; try later" : strerror(Why)));
        return false;
    }
    Pickup->Busy = Busy;
    std::string Pid = std::to_string((long)getpid()) + "\n";
    (void)!write(Lock, Pid.data(), Pid.size());
    close(Lock);
    return true;
}

void UnlockFlow(PICKUP* Pickup) {
    if (!Pickup->Busy.empty()) (void)unlinkat(Pickup->Dir, Pickup->Busy.c_str(), 0);
    Pickup->Busy.clear();
}

std::string ListPickup(const PICKUP& Pickup, std::vector<LISTED>* Listed) {
    if (Pickup.Folder) {
        int Copy = dup(Pickup.Dir);
        DIR* Dir = Copy < 0 ? NULL : fdopendir(Copy);
        if (Dir == NULL) {
            int Why = errno;
            if (Copy >= 0) close(Copy);
            return Pickup.Path + ": " + strerror(Why);
        }
        rewinddir(Dir);
        struct dirent* Item;
        while ((Item = readdir(Dir)) != NULL && Listed->size() < FlowLinesMost) {
            std::string Leaf = Item->d_name;
            if (!EndsWithPkt(Leaf)) continue;
            Listed->push_back({"", Pickup.Where + Leaf, Leaf, '^', true});
        }
        closedir(Dir);
        std::sort(Listed->begin(), Listed->end(),
                  [](const LISTED& A, const LISTED& B) { return A.Path < B.Path; });
        return "";
    }
    std::string Text;
    if (ReadSmallAt(Pickup.Dir, Pickup.Leaf, FlowMost, &Text) != 0)
        return errno == ENOENT
                   ? ""
                   : Pickup.Path + ": " + (errno == EFBIG ? "larger than 64 KiB" : strerror(errno));
    size_t Start = 0;
    while (Start < Text.size() && Listed->size() < FlowLinesMost) {
        size_t End = Text.find('\n', Start);
        if (End == std::string::npos) End = Text.size();
        std::string Line = Text.substr(Start, End - Start);
        Start = End + 1;
        if (!Line.empty() && Line.back() == '\r') Line.pop_back();
        if (Line.empty()) continue;
        LISTED Item = {Line, Line, "", 0, false};
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

bool LoadPacket(const PICKUP& Pickup, const LISTED& Item, std::string* Data, std::string* Problem) {
    int Read = Item.Name.empty() ? ReadSmall(Item.Path.c_str(), PacketMost, Data)
                                 : ReadSmallAt(Pickup.Dir, Item.Name, PacketMost, Data);
    if (Read == 0) return true;
    *Problem = errno == EFBIG ? "larger than 16 MiB" : strerror(errno);
    return false;
}

// Keeps a refused packet for the sysop under a name of its own: linkat()
// never replaces an earlier one. A flow file's line names its packet by
// path (At is AT_FDCWD), a folder's packet is a name in the folder.
static void KeepBad(int At, const std::string& Name) {
    for (int Try = 0; Try < 1000; Try++) {
        std::string Bad = Name + (Try ? "." + std::to_string(Try) : "") + ".bad";
        if (linkat(At, Name.c_str(), At, Bad.c_str(), 0) == 0) {
            (void)unlinkat(At, Name.c_str(), 0);
            return;
        }
        if (errno != EEXIST) return;
    }
}

void Finish(const PICKUP& Pickup, const std::vector<LISTED>& Listed, const std::vector<char>& Bad) {
    std::string Left;
    for (size_t At = 0; At < Listed.size(); At++) {
        const LISTED& Item = Listed[At];
        int In = Item.Name.empty() ? AT_FDCWD : Pickup.Dir;
        const std::string& Name = Item.Name.empty() ? Item.Path : Item.Name;
        if (!Item.Packet) {
            Left += Item.Line + "\n";
            continue;
        }
        if (Bad[At] == Leave) {
            if (!Pickup.Folder) Left += Item.Line + "\n";
        } else if (Bad[At] == Refuse) {
            KeepBad(In, Name);
        } else if (Item.Mark == '^')
            (void)unlinkat(In, Name.c_str(), 0);
        else if (Item.Mark == '#') {
            int fd = OpenRegular(Item.Path.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0);
            if (fd >= 0) close(fd);
        }
    }
    if (Pickup.Folder || Pickup.Dir < 0) return;
    if (Left.empty())
        (void)unlinkat(Pickup.Dir, Pickup.Leaf.c_str(), 0);
    else
        (void)ReplaceWholeAt(Pickup.Dir, Pickup.Leaf, Left);
}
