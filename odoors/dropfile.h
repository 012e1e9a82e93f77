// Drop files: what the BBS leaves about the call, turned into one plain struct.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace od {

struct CallInfo {
    std::string name;      // alias where the file gives one, else the real name
    std::string real_name; // may be empty
    int node = 0;
    int seconds_left = -1; // -1: the file tells nothing usable
    bool ansi = true;
    bool local = false;
    int rows = 0, cols = 0; // the caller's screen where the file tells it; 0: not told
    int comm_type = 0;      // DOOR32.SYS line 1: 0 local, 1 serial, 2 telnet
    int handle = -1;        // DOOR32.SYS line 2: socket or comm handle
    // Only BBSDEV.DRP says outright how to reach the caller and in which
    // character set; elsewhere these stay unset and the usual rules apply.
    enum class Link { Unstated, Stdio, Socket } link = Link::Unstated;
    std::string charset;
    int security = 0;        // the caller's security level; 0: not told
    int user_number = 0;     // the caller's record number on the BBS; 0: not told
    std::string system_name; // the BBS's name or software line, at most 63 bytes
};

enum class DropFormat { Door32, DoorSys, DorInfo, Chain, DoorFileSr, BbsDev, Unknown };

// A parse either yields a CallInfo or says what is wrong, naming the line.
struct DropParse {
    std::optional<CallInfo> info;
    std::string error;
};

// The result of looking for and reading a drop file: `path` is the file read,
// or the place looked at when none was found.
struct DropResult {
    std::optional<CallInfo> info;
    std::string path;
    std::string error;
};

// Splits on LF, strips one trailing CR and the blanks around each value.
std::vector<std::string_view> split_lines(std::string_view text);

// A number as old writers put them: blanks around it, decimals allowed.
std::optional<long long> parse_number(std::string_view field);

DropFormat format_from_name(std::string_view file_name);
DropParse parse_door32(std::string_view text);
DropParse parse_door_sys(std::string_view text);
DropParse parse_dorinfo(std::string_view text);
DropParse parse_chain(std::string_view text);
DropParse parse_doorfile_sr(std::string_view text);
DropParse parse_bbsdev(std::string_view text, long long now); // now: seconds since the epoch
DropParse parse_drop_file(DropFormat format, std::string_view text);

// Reads the drop file at `path`, its format told by its name.
DropResult read_drop_file_at(const std::string& path, DropFormat format);

// `info_path` names a drop file or the folder holding one (empty: "."); a
// folder is searched for DOOR32.SYS, DOOR.SYS, DORINFO1.DEF (or the one
// DORINFOx.DEF there), CHAIN.TXT and DOORFILE.SR, in that order.
DropResult read_drop_file(std::string_view info_path);

} // namespace od
