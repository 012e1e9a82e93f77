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

std::string BusyOf(const std::string& Flow) {
    size_t Dot = Flow.rfind('.');
    size_t Slash = Flow.rfind('/');
    if (Dot == std::string::npos || (Slash != std::string::npos && Dot < Slash))
        return Flow + ".bsy";
    return Flow.substr(0, Dot) + ".bsy";
}

// Its pid (binkd and we write one) names no process, or it is older than
// any transfer.
bool Stale(const std::string& Busy, std::string* Since) {
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

bool LockFlow(const std::string& Flow, std::string* Busy, std::vector<std::string>* Said) {
    *Busy = BusyOf(Flow);
    int Lock = od::open_checked(Busy->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (Lock < 0 && errno == ENOENT) {
        Busy->clear();
        return true;
    }
    if (Lock < 0) {
        int Why = errno;
        std::string Since;
        if (Why == EEXIST && Stale(*Busy, &Since))
            Said->push_back(*Busy + ": a stale lock (since " + Since +
                            "); remove it, or let binkd's kill-old-bsy do so");
        else
            Said->push_back(
                *Busy + ": " +
                (Why == EEXIST ? "busy: the mailer holds it; try later" : strerror(Why)));
        return false;
    }
    std::string Pid = std::to_string((long)getpid()) + "\n";
    (void)!write(Lock, Pid.data(), Pid.size());
    close(Lock);
    return true;
}

std::string ListPickup(const std::string& Pickup, bool Folder, std::vector<LISTED>* Listed) {
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

bool LoadPacket(const std::string& Path, std::string* Data, std::string* Problem) {
    if (ReadSmall(Path.c_str(), PacketMost, Data) == 0) return true;
    *Problem = errno == EFBIG ? "larger than 16 MiB" : strerror(errno);
    return false;
}

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

void Finish(const std::string& Flow, bool Folder, const std::vector<LISTED>& Listed,
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
