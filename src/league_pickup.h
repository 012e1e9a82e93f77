// What the tosser left for the door's point: the flow file's lines and its
// lock, or a folder's packets, and tidying them once the import is done.
#pragma once

#include <string>
#include <vector>

// One file the tosser listed: where it is and what the flow line asks.
struct LISTED {
    std::string Line; // the whole flow line
    std::string Path;
    char Mark; // '^' remove once sent, '#' truncate, or 0
    bool Packet;
};

// The lock beside a flow file: 00000007.flo takes 00000007.bsy.
std::string BusyOf(const std::string& Flow);

// Whether a lock is left by a process that is gone; Since gets its time.
bool Stale(const std::string& Busy, std::string* Since);

// Takes the flow file's lock for this process: true with Busy naming it, or
// Busy empty when there is no flow file (nothing new); false after saying
// why in Said.
bool LockFlow(const std::string& Flow, std::string* Busy, std::vector<std::string>* Said);

// Lists what the pickup holds: the flow file's lines, or a folder's packets.
// What went wrong, or empty.
std::string ListPickup(const std::string& Pickup, bool Folder, std::vector<LISTED>* Listed);

// Reads one listed packet whole; false with Problem when it cannot count.
bool LoadPacket(const std::string& Path, std::string* Data, std::string* Problem);

// What became of each listed packet.
enum { Handled = 0, Refuse = 1, Leave = 2 };

// Tidies the pickup after the import: handled packets go (as the flow line
// asks), refused ones are renamed .bad for the sysop to look at, and only
// the lines not handled stay.
void Finish(const std::string& Flow, bool Folder, const std::vector<LISTED>& Listed,
            const std::vector<char>& Bad);
