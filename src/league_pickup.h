// What the tosser left for the door's point: the flow file's lines and its
// lock, or a folder's packets, and tidying them once the import is done.
#pragma once

#include <string>
#include <vector>

// The pickup's folder, opened once: the folder of packets itself, or the
// folder that holds the flow file. Every name in it is used through Dir, so
// that the folder cannot be swapped between a check and a use.
struct PICKUP {
    int Dir = -1;        // -1 when the flow file's folder is not there yet
    bool Folder = false; // a folder of packets, else a flow file
    std::string Path;    // as the settings give it
    std::string Where;   // the folder's path, ending in '/', for what is said
    std::string Leaf;    // the flow file's name in Dir
    std::string Busy;    // its lock's name in Dir, while this import holds it
    PICKUP() = default;
    PICKUP(const PICKUP&) = delete;
    PICKUP& operator=(const PICKUP&) = delete;
    ~PICKUP();
};

// Opens the pickup's folder; false after saying why in Said.
bool OpenPickup(const std::string& Path, PICKUP* Pickup, std::vector<std::string>* Said);

// One file the tosser listed: where it is and what the flow line asks.
struct LISTED {
    std::string Line; // the whole flow line
    std::string Path;
    std::string Name; // in the pickup's folder; empty for a flow file's line
    char Mark;        // '^' remove once sent, '#' truncate, or 0
    bool Packet;
};

// The lock beside a flow file: 00000007.flo takes 00000007.bsy.
std::string BusyOf(const std::string& Flow);

// Whether the flow file's lock is left by a process that is gone; Since
// gets its time.
bool Stale(const PICKUP& Pickup, std::string* Since);

// Takes the flow file's lock for this process: true with Busy set, or Busy
// empty when there is no flow file's folder (nothing new); false after
// saying why in Said.
bool LockFlow(PICKUP* Pickup, std::vector<std::string>* Said);
void UnlockFlow(PICKUP* Pickup);

// Lists what the pickup holds: the flow file's lines, or a folder's packets.
// What went wrong, or empty.
std::string ListPickup(const PICKUP& Pickup, std::vector<LISTED>* Listed);

// Reads one listed packet whole; false with Problem when it cannot count.
bool LoadPacket(const PICKUP& Pickup, const LISTED& Item, std::string* Data, std::string* Problem);

// What became of each listed packet.
enum { Handled = 0, Refuse = 1, Leave = 2 };

// Tidies the pickup after the import: handled packets go (as the flow line
// asks), refused ones are renamed .bad for the sysop to look at, and only
// the lines not handled stay.
void Finish(const PICKUP& Pickup, const std::vector<LISTED>& Listed, const std::vector<char>& Bad);
