#include "dropfile.h"

#include "charset.h"
#include "open_checked.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Without these a 32-bit build cannot list a node folder on ext4 (inode
// numbers past 32 bits) or read a file past 2 GiB.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace od {
namespace {

constexpr std::size_t max_name = 35;
constexpr std::size_t max_system_name = 63;
constexpr long long max_security = 65535;
constexpr long long max_user_number = 0x7fffffff;
constexpr std::size_t max_file_size = 1 << 20; // no real drop file comes near this
constexpr long long max_seconds = 24LL * 60 * 60;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

// Control bytes in a name would reach the caller's terminal as commands.
std::string clean_text(std::string_view raw, std::size_t limit) {
    std::string text;
    for (char c : trim(raw)) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 32 && u != 127) text += c;
    }
    if (text.size() > limit) text.resize(limit);
    while (!text.empty() && is_blank(text.back())) text.pop_back();
    return text;
}

std::string clean_name(std::string_view raw) {
    return clean_text(raw, max_name);
}

// Line n (1-based), or an empty view when the file is shorter.
std::string_view line(const std::vector<std::string_view>& lines, std::size_t n) {
    return n <= lines.size() ? lines[n - 1] : std::string_view{};
}

int number_or(std::string_view field, int fallback, long long low, long long high) {
    auto n = parse_number(field);
    if (!n) return fallback;
    return static_cast<int>(std::clamp(*n, low, high));
}

// A screen's rows or columns: 0 when missing or too small to be meant (some
// writers put 0 or 1 for "not known").
int screen_extent(std::string_view field) {
    auto n = parse_number(field);
    if (!n || *n < 10) return 0;
    return static_cast<int>(std::min<long long>(*n, 999));
}

// A security level or record number: 0 when missing or nonsense.
int count_or_zero(std::string_view field, long long high) {
    auto n = parse_number(field);
    return n && *n > 0 ? static_cast<int>(std::min(*n, high)) : 0;
}

// Time left is unreliable in every format: unknown (no limit) only when
// missing or negative, and never more than a day. Whole-minute writers round
// down, so 0 means under a minute: it is taken as half a minute, which ends
// the call within the minute yet never at once.
constexpr int under_a_minute = 30;

int clamp_seconds(std::optional<long long> seconds) {
    if (!seconds || *seconds < 0) return -1;
    if (*seconds == 0) return under_a_minute;
    return static_cast<int>(std::min(*seconds, max_seconds));
}

std::optional<long long> not_negative(std::optional<long long> n) {
    return n && *n >= 0 ? n : std::nullopt;
}

std::optional<long long> minutes_to_seconds(std::optional<long long> minutes) {
    if (!minutes) return std::nullopt;
    return std::min(*minutes, max_seconds) * 60;
}

DropParse failure(std::string message) {
    return DropParse{std::nullopt, std::move(message)};
}

std::string base_name(std::string_view path) {
    auto slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

struct FileText {
    std::string text;
    std::string error;
};

FileText read_file(const std::string& path) {
    FileText out;
    // O_NONBLOCK: a FIFO never holds the door in open; only a regular file
    // is read, so a FIFO or a device (the caller's own terminal) is refused
    // as a folder is. Never through a link planted in a shared sticky folder.
    int fd = open_checked(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        out.error = std::strerror(errno);
        return out;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        out.error = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
        ::close(fd);
        return out;
    }
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            out.error = std::strerror(errno);
            break;
        }
        if (n == 0) break;
        out.text.append(chunk, static_cast<std::size_t>(n));
        if (out.text.size() > max_file_size) {
            out.error = "file is too large to be a drop file";
            break;
        }
    }
    ::close(fd);
    return out;
}

// The known names in the order a folder is searched.
constexpr std::string_view search_order[] = {"door32.sys",   "door.sys",  "dorinfo1.def",
                                             "dorinfo*.def", "chain.txt", "doorfile.sr"};

bool is_dorinfo(std::string_view name) {
    return name.size() == 12 && same_name(name.substr(0, 7), "dorinfo") &&
           std::isalnum(static_cast<unsigned char>(name[7])) && same_name(name.substr(8), ".def");
}

bool matches(std::string_view name, std::string_view wanted) {
    return wanted == "dorinfo*.def" ? is_dorinfo(name) : same_name(name, wanted);
}

// The node is in the name: 1 to 9, 0 for 10, then letters: Synchronet's upper
// case ones are hex digits, ENiGMA's lower case ones count on from 11.
int dorinfo_node(std::string_view name) {
    char c = name.size() > 7 ? name[7] : '1';
    if (c >= '1' && c <= '9') return c - '0';
    if (c == '0') return 10;
    if (c >= 'A' && c <= 'F') return 10 + (c - 'A');
    if (c >= 'a' && c <= 'z') return 11 + (c - 'a');
    return 0;
}

// "Jane" "Public" -> "Jane Public"; a last name repeating the first is dropped.
std::string joined_name(std::string_view first, std::string_view last) {
    if (last.empty() || same_name(first, last)) return std::string(first);
    if (first.empty()) return std::string(last);
    return std::string(first) + " " + std::string(last);
}

std::string missing_name(const std::vector<std::string_view>& lines, std::size_t last_needed,
                         const std::string& where) {
    if (lines.size() < last_needed)
        return "file ends at line " + std::to_string(lines.size()) +
               ", before the caller's name (" + where + ")";
    return "no caller name on " + where;
}

// "2026-12-08T23:59:00Z" as seconds since the epoch, UTC. In 64 bits: long
// and time_t may be 32, and 9999-12-31 is how a BBS writes "no limit".
std::optional<long long> utc_time(std::string_view text) {
    int y, mo, d, h, mi, sec;
    std::string copy(text.substr(0, 32));
    char z = 0;
    if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &sec, &z) !=
            7 ||
        z != 'Z')
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return std::nullopt;
    // Days from the civil date, so that no time zone is involved.
    y -= mo <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    long long yoe = y - era * 400;
    long long doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    long long days = era * 146097 + doe - 719468;
    return days * 86400 + h * 3600LL + mi * 60LL + sec;
}

// BBSDEV.DRP's access level: a number, or a word for the two top ranks.
int bbsdev_access(std::string_view field) {
    if (same_name(field, "sysop")) return 255;
    if (same_name(field, "cosysop")) return 254;
    return count_or_zero(field, max_security);
}

} // namespace

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        auto end = text.find('\n');
        auto one = text.substr(0, end);
        if (!one.empty() && one.back() == '\r') one.remove_suffix(1);
        lines.push_back(trim(one));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// Decimal only, with an optional fraction and exponent ("100.00", "1e3"),
// cut toward zero and held to a quadrillion; by hand, as strtod would bring
// a large part of the C library into every door's start.
std::optional<long long> parse_number(std::string_view field) {
    field = trim(field);
    constexpr long long limit = 1000000000000000LL;
    constexpr int limit_digits = 16;
    std::size_t at = 0;
    bool negative = at < field.size() && field[at] == '-';
    if (at < field.size() && (field[at] == '-' || field[at] == '+')) ++at;
    auto is_digit = [&](std::size_t i) {
        return i < field.size() && field[i] >= '0' && field[i] <= '9';
    };
    // The significant digits, and where the point falls among them.
    char digits[limit_digits + 1];
    int count = 0;
    long long point = 0;
    bool any = false;
    auto take = [&](char c, bool before_point) {
        any = true;
        if (count == 0 && c == '0') {
            if (!before_point) --point;
            return;
        }
        if (count < limit_digits + 1) digits[count++] = c;
        if (before_point) ++point;
    };
    while (is_digit(at)) take(field[at++], true);
    if (at < field.size() && field[at] == '.') {
        ++at;
        while (is_digit(at)) take(field[at++], false);
    }
    if (!any) return std::nullopt;
    if (at < field.size() && (field[at] == 'e' || field[at] == 'E')) {
        ++at;
        bool down = at < field.size() && field[at] == '-';
        if (at < field.size() && (field[at] == '-' || field[at] == '+')) ++at;
        if (!is_digit(at)) return std::nullopt;
        long long exponent = 0;
        while (is_digit(at)) exponent = std::min(exponent * 10 + (field[at++] - '0'), 100000LL);
        point += down ? -exponent : exponent;
    }
    if (at != field.size()) return std::nullopt;
    if (count == 0) return 0;
    if (point > limit_digits) return negative ? -limit : limit;
    long long value = 0;
    for (long long i = 0; i < std::min<long long>(point, count); ++i)
        value = value * 10 + (digits[i] - '0');
    for (long long i = count; i < point; ++i) value *= 10;
    value = std::min(value, limit);
    return negative ? -value : value;
}

DropFormat format_from_name(std::string_view file_name) {
    if (same_name(file_name, "door32.sys")) return DropFormat::Door32;
    if (same_name(file_name, "door.sys")) return DropFormat::DoorSys;
    if (is_dorinfo(file_name)) return DropFormat::DorInfo;
    if (same_name(file_name, "chain.txt")) return DropFormat::Chain;
    if (same_name(file_name, "doorfile.sr")) return DropFormat::DoorFileSr;
    if (same_name(file_name, "bbsdev.drp")) return DropFormat::BbsDev;
    return DropFormat::Unknown;
}

DropParse parse_door32(std::string_view text) {
    auto lines = split_lines(text);
    CallInfo info;
    info.real_name = clean_name(line(lines, 6));
    info.name = clean_name(line(lines, 7));
    if (info.name.empty()) info.name = info.real_name;
    if (info.name.empty()) return failure(missing_name(lines, 6, "lines 6 and 7"));
    info.comm_type = number_or(line(lines, 1), 0, -1, 99);
    info.handle = number_or(line(lines, 2), -1, -1, 1 << 20);
    info.local = info.comm_type == 0;
    // WWIV writes seconds where everyone else writes minutes.
    bool in_seconds = line(lines, 4).substr(0, 4) == "WWIV";
    auto left = parse_number(line(lines, 9));
    info.seconds_left = clamp_seconds(in_seconds ? left : minutes_to_seconds(left));
    info.ansi = number_or(line(lines, 10), 1, 0, 4) != 0;
    info.node = number_or(line(lines, 11), 0, 0, 65535);
    info.system_name = clean_text(line(lines, 4), max_system_name);
    info.user_number = count_or_zero(line(lines, 5), max_user_number);
    info.security = count_or_zero(line(lines, 8), max_security);
    return DropParse{info, {}};
}

DropParse parse_door_sys(std::string_view text) {
    auto lines = split_lines(text);
    CallInfo info;
    info.real_name = clean_name(line(lines, 10));
    info.name = clean_name(line(lines, 36));
    if (info.name.empty()) info.name = info.real_name;
    if (info.name.empty()) return failure(missing_name(lines, 10, "line 10"));
    auto port = line(lines, 1);
    if (!port.empty() && port.back() == ':') port.remove_suffix(1);
    info.local = same_name(port, "COM0");
    info.node = number_or(line(lines, 4), 0, 0, 65535);
    info.rows = screen_extent(line(lines, 21));
    auto seconds = not_negative(parse_number(line(lines, 18)));
    auto minutes = not_negative(parse_number(line(lines, 19)));
    // Seconds are finer, but only trusted when they agree with the minutes.
    if (seconds && minutes && std::llabs(*seconds / 60 - *minutes) <= 1)
        info.seconds_left = clamp_seconds(seconds);
    else
        info.seconds_left = clamp_seconds(minutes ? minutes_to_seconds(minutes) : seconds);
    auto graphics = line(lines, 20);
    info.ansi = !(same_name(graphics, "NG") || same_name(graphics, "7E"));
    // Line 35 is the sysop's name, not the BBS's: this format names no system.
    info.security = count_or_zero(line(lines, 15), max_security);
    info.user_number = count_or_zero(line(lines, 26), max_user_number);
    return DropParse{info, {}};
}

DropParse parse_dorinfo(std::string_view text) {
    auto lines = split_lines(text);
    CallInfo info;
    info.name = clean_name(joined_name(line(lines, 7), line(lines, 8)));
    info.real_name = info.name;
    if (info.name.empty()) return failure(missing_name(lines, 7, "lines 7 and 8"));
    info.local = same_name(line(lines, 4), "COM0") || same_name(line(lines, 4), "COM0:");
    info.ansi = number_or(line(lines, 10), 1, 0, 99) >= 1;
    info.seconds_left = clamp_seconds(minutes_to_seconds(parse_number(line(lines, 12))));
    info.system_name = clean_text(line(lines, 1), max_system_name);
    info.security = count_or_zero(line(lines, 11), max_security);
    return DropParse{info, {}};
}

DropParse parse_chain(std::string_view text) {
    auto lines = split_lines(text);
    CallInfo info;
    info.real_name = clean_name(line(lines, 3));
    info.name = clean_name(line(lines, 2));
    if (info.name.empty()) info.name = info.real_name;
    if (info.name.empty()) return failure(missing_name(lines, 3, "lines 2 and 3"));
    info.ansi = number_or(line(lines, 14), 1, 0, 1) == 1;
    info.local = number_or(line(lines, 15), 1, 0, 1) == 0;
    info.cols = screen_extent(line(lines, 9));
    info.rows = screen_extent(line(lines, 10));
    info.seconds_left = clamp_seconds(parse_number(line(lines, 16)));
    info.user_number = count_or_zero(line(lines, 1), max_user_number);
    info.security = count_or_zero(line(lines, 11), max_security);
    info.system_name = clean_text(line(lines, 22), max_system_name);
    return DropParse{info, {}};
}

DropParse parse_doorfile_sr(std::string_view text) {
    auto lines = split_lines(text);
    CallInfo info;
    info.name = clean_name(line(lines, 1));
    info.real_name = clean_name(line(lines, 8));
    if (info.name.empty()) info.name = info.real_name;
    if (info.name.empty()) return failure(missing_name(lines, 1, "line 1"));
    info.ansi = number_or(line(lines, 2), 1, -1, 1) == 1;
    info.local = number_or(line(lines, 6), 0, 0, 255) == 0;
    info.rows = screen_extent(line(lines, 4));
    info.seconds_left = clamp_seconds(minutes_to_seconds(parse_number(line(lines, 7))));
    return DropParse{info, {}};
}

DropParse parse_bbsdev(std::string_view text, long long now) {
    if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3); // tolerated, though not allowed
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
            return failure("line " +
                           std::to_string(1 + std::count(text.begin(), text.begin() + i, '\n')) +
                           ": a carriage return without a line feed");
    auto lines = split_lines(text);
    auto version = line(lines, 1);
    if (version.substr(0, 2) != "1." && version != "1")
        return failure("line 1: format version '" + std::string(version.substr(0, 20)) +
                       "' is not 1.x");
    CallInfo info;
    std::string comm = std::string(line(lines, 2));
    std::transform(comm.begin(), comm.end(), comm.begin(), lower);
    if (comm == "socket") {
        info.link = CallInfo::Link::Socket;
        info.comm_type = 2;
        auto fd = parse_number(line(lines, 3));
        if (!fd || *fd < 0 || *fd > (1 << 20))
            return failure("line 3: no socket descriptor for communications type 'socket'");
        info.handle = static_cast<int>(*fd);
    } else if (comm == "stdio" || comm == "local") {
        info.link = CallInfo::Link::Stdio;
        info.local = comm == "local";
    } else if (comm == "serial" || comm == "winserial" || comm == "uart" || comm == "fossil") {
        return failure("line 2: communications type '" + comm +
                       "' is serial hardware, which a Unix door cannot drive");
    } else {
        return failure("line 2: unknown communications type '" + comm.substr(0, 20) + "'");
    }
    // The alias is UTF-8; the door keeps names in CP437.
    info.name = clean_name(convert(line(lines, 4), "UTF-8", "CP437//TRANSLIT"));
    if (info.name.empty()) return failure(missing_name(lines, 4, "line 4"));
    info.real_name = info.name;
    info.ansi = !same_name(line(lines, 8), "N");
    // A deadline already passed means the time is up, not that there is none.
    if (auto deadline = utc_time(line(lines, 11)))
        info.seconds_left = clamp_seconds(std::max<long long>(*deadline - now, 0));
    info.charset = std::string(line(lines, 12));
    info.node = number_or(line(lines, 18), 0, 0, 65535);
    info.cols = screen_extent(line(lines, 6));
    info.rows = screen_extent(line(lines, 7));
    info.security = bbsdev_access(line(lines, 17));
    auto board = line(lines, 15).empty() ? line(lines, 14) : line(lines, 15);
    board = board.substr(0, 4 * max_system_name); // no more UTF-8 than the field can hold
    info.system_name = clean_text(convert(board, "UTF-8", "CP437//TRANSLIT"), max_system_name);
    return DropParse{info, {}};
}

DropParse parse_drop_file(DropFormat format, std::string_view text) {
    switch (format) {
    case DropFormat::Door32: return parse_door32(text);
    case DropFormat::DoorSys: return parse_door_sys(text);
    case DropFormat::DorInfo: return parse_dorinfo(text);
    case DropFormat::Chain: return parse_chain(text);
    case DropFormat::DoorFileSr: return parse_doorfile_sr(text);
    case DropFormat::BbsDev: return parse_bbsdev(text, std::time(nullptr));
    case DropFormat::Unknown: break;
    }
    return failure("not a drop file name this door knows "
                   "(DOOR32.SYS, DOOR.SYS, DORINFOx.DEF, CHAIN.TXT, DOORFILE.SR, BBSDEV.DRP)");
}

DropResult read_drop_file(std::string_view info_path) {
    std::string path(info_path.empty() ? "." : info_path);
    DropResult result;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        result.path = path;
        result.error = errno == ENOENT
                           ? "no such drop file or folder"
                           : std::string("cannot reach drop file: ") + std::strerror(errno);
        return result;
    }
    if (S_ISDIR(st.st_mode)) {
        std::string folder = path;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        std::vector<std::string> names;
        // A failed readdir (EOVERFLOW, EIO) is told, not taken for the folder's end.
        int error = 0;
        if (DIR* dir = ::opendir(folder.c_str())) {
            for (;;) {
                errno = 0;
                dirent* entry = ::readdir(dir);
                if (!entry) break;
                names.emplace_back(entry->d_name);
            }
            error = errno;
            ::closedir(dir);
        } else {
            error = errno;
        }
        if (error != 0) {
            result.path = folder;
            result.error = std::string("cannot list folder: ") + std::strerror(error);
            return result;
        }
        std::sort(names.begin(), names.end()); // same choice whatever the folder's order
        std::string found;
        for (auto wanted : search_order) {
            auto it = std::find_if(names.begin(), names.end(),
                                   [&](const std::string& n) { return matches(n, wanted); });
            if (it != names.end()) {
                found = folder + "/" + *it;
                break;
            }
        }
        if (found.empty()) {
            result.path = folder;
            result.error = "no drop file in this folder (looked for DOOR32.SYS, DOOR.SYS, "
                           "DORINFOx.DEF, CHAIN.TXT, DOORFILE.SR)";
            return result;
        }
        path = found;
    }
    return read_drop_file_at(path, format_from_name(base_name(path)));
}

DropResult read_drop_file_at(const std::string& path, DropFormat format) {
    DropResult result;
    result.path = path;
    if (format == DropFormat::Unknown) {
        result.error = parse_drop_file(format, {}).error;
        return result;
    }
    auto file = read_file(path);
    if (!file.error.empty()) {
        result.error = "cannot read drop file: " + file.error;
        return result;
    }
    auto parsed = parse_drop_file(format, file.text);
    if (parsed.info && format == DropFormat::DorInfo)
        parsed.info->node = dorinfo_node(base_name(path));
    result.info = std::move(parsed.info);
    result.error = std::move(parsed.error);
    return result;
}

} // namespace od
