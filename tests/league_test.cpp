// The league's packets and its import: what travels, what is refused, and
// that a refused or broken packet leaves the entry alone.
#include "door_harness.h"
#include "league.h"
#include "packet.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace {

const FTNADDR point_b = {21, 1, 102, 7}, board_a = {21, 1, 101, 0};

ENTRY entry(const std::string& id_addr, uint32_t serial, int64_t written, const std::string& name,
            const std::vector<std::string>& lines, const std::string& board = "Board B") {
    ENTRY e;
    EXPECT_TRUE(ReadAddress(id_addr, &e.Origin));
    char id[64];
    snprintf(id, sizeof id, "%s %08x", id_addr.c_str(), serial);
    e.MsgId = id;
    e.Serial = serial;
    e.Written = written;
    e.Board = board;
    memset(&e.Words, 0, sizeof e.Words);
    memcpy(e.Words.User, name.data(), name.size());
    for (size_t i = 0; i < lines.size(); i++)
        memcpy(e.Words.Line[i], lines[i].data(), lines[i].size());
    return e;
}

std::string packet(const ENTRY& e) {
    return MakePacket(e.Origin, board_a, "", "VALEDICT", e, time(nullptr));
}

// Several packets' messages in one packet, as a tosser bundles them: the
// first one's header, every message, one end.
std::string bundled(const std::vector<std::string>& packets) {
    std::string out = packets[0].substr(0, 58);
    for (const std::string& one : packets) out += one.substr(58, one.size() - 60);
    return out + std::string(2, '\0');
}

std::string joined(const std::vector<ENTRY>& entries) {
    std::vector<std::string> packets;
    for (const ENTRY& e : entries) packets.push_back(packet(e));
    return bundled(packets);
}

void replace(std::string& bytes, const std::string& from, const std::string& to) {
    auto at = bytes.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    bytes.replace(at, from.size(), to);
}

TEST(LeaguePacket, RoundTripsAndKeepsTheRecordByteForByte) {
    ENTRY sent = entry("21:1/102.7", 0x6758a0b2, 1796900000, "Alice", {"hello", "there"});
    std::string bytes = packet(sent);
    // Little-endian header: the point's net in aux net, Type 2+ capability.
    EXPECT_EQ((unsigned char)bytes[18], 2);
    EXPECT_EQ((unsigned char)bytes[20], 0xff);
    EXPECT_EQ((unsigned char)bytes[38], 1);
    EXPECT_EQ((unsigned char)bytes[44], 1);
    EXPECT_EQ((unsigned char)bytes[50], 7);
    EXPECT_NE(bytes.find("\x01MSGID: 21:1/102.7 6758a0b2\r"), std::string::npos);
    EXPECT_NE(bytes.find("\x01TZUTC: 0000\r"), std::string::npos);
    EXPECT_NE(bytes.find("Written: 2026-12-10T"), std::string::npos);
    std::vector<ENTRY> got;
    ASSERT_EQ(ReadPacket((const unsigned char*)bytes.data(), bytes.size(), "valedict", &got), "");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Problem, "");
    EXPECT_EQ(got[0].MsgId, sent.MsgId);
    EXPECT_EQ(got[0].Written, sent.Written);
    EXPECT_EQ(got[0].Board, "Board B");
    EXPECT_EQ(memcmp(&got[0].Words, &sent.Words, sizeof sent.Words), 0);
    ASSERT_EQ(ReadPacket((const unsigned char*)bytes.data(), bytes.size(), "OTHER", &got), "");
    EXPECT_TRUE(got.empty());
}

TEST(LeaguePacket, BrokenPacketsYieldNothing) {
    std::string good = packet(entry("21:1/102.7", 1, 1796900000, "A", {"a"}));
    std::string not_ended = good.substr(0, good.size() - 2);
    std::string bad_type = good;
    bad_type[58] = 7;
    std::string long_date = good;
    replace(long_date, std::string("\0VALEDICT\0", 10), std::string(30, 'x') + "VALEDICT" + '\0');
    struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"header cut short", good.substr(0, 40)},
        {"message cut short", good.substr(0, good.size() - 40)},
        {"no end mark", not_ended},
        {"garbage message type", bad_type},
        {"date field without its zero", long_date},
        {"not type 2", std::string(18, '\0') + "\x03" + std::string(60, '\0')},
        {"over 16 MiB", good + std::string(PacketMost, '\0')},
    };
    for (auto& c : cases) {
        std::vector<ENTRY> got(1);
        EXPECT_NE(
            ReadPacket((const unsigned char*)c.bytes.data(), c.bytes.size(), "VALEDICT", &got), "")
            << c.what;
        EXPECT_TRUE(got.empty()) << c.what;
    }
    std::vector<ENTRY> got;
    // A tosser's bundle after an outage: every message counts.
    std::vector<ENTRY> bundle(1000, entry("21:1/102.7", 1, 1796900000, "A", {"a"}));
    std::string full = joined(bundle);
    EXPECT_EQ(ReadPacket((const unsigned char*)full.data(), full.size(), "VALEDICT", &got), "");
    EXPECT_EQ(got.size(), 1000u);
}

// A board with the league on: its ini, its toss and pickup folders.
struct Board {
    TempDir dir;
    explicit Board(const std::string& extra = "") {
        ::mkdir(dir.file("toss").c_str(), 0755);
        ::mkdir(dir.file("pickup").c_str(), 0755);
        dir.write("valedict.ini",
                  "[league]\narea = VALEDICT\npoint = 21:1/101.7\nboard = 21:1/101\n"
                  "name = Board A\ntoss = " +
                      dir.file("toss") + "\npickup = " + dir.file("pickup") + "\n" + extra);
    }
    int packets = 0;
    void drop(const std::string& bytes) {
        dir.write("pickup/" + std::to_string(++packets) + ".pkt", bytes);
    }
    std::string record() const {
        return ::access(dir.file("valedict.dat").c_str(), F_OK) == 0 ? dir.read("valedict.dat")
                                                                     : "";
    }
};

bool fs_empty(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return true;
    int count = 0;
    while (dirent* item = ::readdir(dir))
        if (item->d_name[0] != '.') count++;
    ::closedir(dir);
    return count == 0;
}

struct Ran {
    int status;
    std::string out;
};

Ran sysop(const std::string& cwd, const std::vector<std::string>& args,
          const std::string& input = "") {
    std::string command = "cd '" + cwd + "' && printf '%s' '" + input + "' | " + VALEDICT_SYSOP;
    for (auto& a : args) command += " '" + a + "'";
    command += " 2>&1";
    Ran ran{-1, ""};
    FILE* p = ::popen(command.c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) ran.out.append(buf, n);
    int status = ::pclose(p);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return ran;
}

TEST(LeagueImport, TakesTheHighestEntryAndMapsControlBytes) {
    Board board;
    int64_t now = time(nullptr);
    ENTRY older = entry("21:1/102.7", 1, now - 60, "Older", {"old"});
    ENTRY newer = entry("21:1/103.7", 2, now - 30, "Newer", {"XLINEX", "two"});
    std::string bytes = packet(newer);
    replace(bytes, "XLINEX",
            "\x1b[2J\x07\x9b"
            "1m");
    board.drop(packet(older));
    board.drop(bytes);
    Ran ran = sysop(board.dir.path(), {"league", "import"});
    EXPECT_EQ(ran.status, 0) << ran.out;
    std::string record = board.record();
    ASSERT_EQ(record.size(), 386u) << ran.out;
    EXPECT_EQ(record, data_record({"?[2J??1m", "two"}, "Newer"));
    for (unsigned char c : record) EXPECT_TRUE(c == 0 || (c >= 32 && c <= 126));
    // Handled packets are gone; status tells the import.
    EXPECT_NE(::access(board.dir.file("pickup/1.pkt").c_str(), F_OK), 0);
    EXPECT_NE(sysop(board.dir.path(), {"league", "status"}).out.find("2 entries taken"),
              std::string::npos);
}

TEST(LeagueImport, EachRefusalLeavesTheEntryAlone) {
    int64_t now = time(nullptr);
    const std::string before = data_record({"local"}, "Sysop");
    struct {
        const char* what;
        std::string extra; // settings
        std::vector<std::string> packets;
        std::string reason;
    } cases[] = {
        {"dated too far ahead",
         "",
         {packet(entry("21:1/102.7", 1, now + 40 * 86400, "Future", {"x"}))},
         "30 days ahead"},
        {"another packet password",
         "password = SECRET\n",
         {MakePacket(point_b, board_a, "OTHER", "VALEDICT", entry("21:1/102.7", 1, now, "B", {"x"}),
                     now)},
         "not the packet password"},
        {"blocked address",
         "block = 21:1/*\n",
         {packet(entry("21:1/102.7", 1, now, "B", {"x"}))},
         "blocked (21:1/*)"},
        {"blocked point",
         "block = 21:1/102.7\n",
         {packet(entry("21:1/102.7", 1, now, "B", {"x"}))},
         "blocked"},
        {"blocked name",
         "block = 21:9/*, board b\n",
         {packet(entry("21:1/102.7", 1, now, "B", {"x"}))},
         "blocked (board b)"},
        {"no name", "", {packet(entry("21:1/102.7", 1, now, "", {"x"}))}, "no Name"},
        {"no line", "", {packet(entry("21:1/102.7", 1, now, "B", {}))}, "no Line"},
        {"no msgid",
         "",
         {[&] {
             std::string b = packet(entry("21:1/102.7", 1, now, "B", {"x"}));
             replace(b, "\x01MSGID:", "\x01MSGIX:");
             return b;
         }()},
         "no MSGID"},
        {"bad date",
         "",
         {[&] {
             std::string b = packet(entry("21:1/102.7", 1, now, "B", {"x"}));
             replace(b, "Written: 2", "Written: x");
             return b;
         }()},
         "no Written"},
        {"message over 4 KiB",
         "",
         {[&] {
             std::string b = packet(entry("21:1/102.7", 1, now, "B", {"x"}));
             replace(b, "Line: x", "Line: x" + std::string(5000, 'y'));
             return b;
         }()},
         "over 4 KiB"},
        {"truncated",
         "",
         {packet(entry("21:1/102.7", 1, now, "B", {"x"})).substr(0, 120)},
         "cut short"},
        {"garbage", "", {std::string(300, 'G')}, "refused packet"},
    };
    for (auto& c : cases) {
        Board board(c.extra);
        board.dir.write("valedict.dat", before);
        for (auto& p : c.packets) board.drop(p);
        // Written a while ago: a packet cut short is no longer being written.
        struct timeval then[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
        for (int i = 1; i <= board.packets; i++)
            ::utimes(board.dir.file("pickup/" + std::to_string(i) + ".pkt").c_str(), then);
        Ran ran = sysop(board.dir.path(), {"league", "import"});
        EXPECT_NE(ran.out.find(c.reason), std::string::npos) << c.what << ": " << ran.out;
        EXPECT_EQ(board.record(), before) << c.what;
        EXPECT_NE(sysop(board.dir.path(), {"league", "status"}).out.find("refused 2"),
                  std::string::npos)
            << c.what;
    }
}

TEST(LeagueImport, DuplicatesAndTheDailyLimit) {
    int64_t now = time(nullptr);
    Board board("per_day = 2\n");
    // Dated ahead (within the hour), so that it beats a local save made after it.
    ENTRY ahead = entry("21:1/102.7", 1, now + 1800, "Ahead", {"ahead"});
    board.drop(packet(ahead));
    EXPECT_EQ(sysop(board.dir.path(), {"league", "import"}).status, 0);
    EXPECT_EQ(board.record(), data_record({"ahead"}, "Ahead"));
    EXPECT_EQ(sysop(board.dir.path(), {"set", "--name", "Sysop"}, "local\n").status, 0);
    ASSERT_EQ(board.record(), data_record({"local"}, "Sysop"));
    // A rescan brings it again: taken once already.
    board.drop(packet(ahead));
    Ran ran = sysop(board.dir.path(), {"league", "import"});
    EXPECT_NE(ran.out.find("duplicate"), std::string::npos) << ran.out;
    EXPECT_EQ(board.record(), data_record({"local"}, "Sysop"));
    // One more from that origin is within the day's two, counted newest first.
    board.drop(joined({entry("21:1/102.7", 2, now + 1801, "Second", {"2"}),
                       entry("21:1/102.7", 3, now + 1802, "Third", {"3"})}));
    ran = sysop(board.dir.path(), {"league", "import"});
    EXPECT_NE(ran.out.find("more than per_day (2)"), std::string::npos) << ran.out;
    EXPECT_EQ(board.record(), data_record({"3"}, "Third"));
    EXPECT_NE(ran.out.find("00000002 from \"Board B\": more than per_day"), std::string::npos);
    // The local save went out as one packet in the toss folder.
    EXPECT_NE(
        sysop(board.dir.path(), {"league", "status"}).out.find("into " + board.dir.file("toss/")),
        std::string::npos);
}

TEST(LeagueImport, HeldWinnersWaitForTheSysop) {
    Board board("hold = yes\n");
    board.dir.write("valedict.dat", data_record({"local"}, "Sysop"));
    board.drop(packet(entry("21:1/102.7", 1, time(nullptr), "Held", {"held"})));
    EXPECT_EQ(sysop(board.dir.path(), {"league", "import"}).status, 0);
    EXPECT_EQ(board.record(), data_record({"local"}, "Sysop"));
    EXPECT_NE(sysop(board.dir.path(), {"league", "status"}).out.find("pending: 21:1/102.7"),
              std::string::npos);
    EXPECT_EQ(sysop(board.dir.path(), {"league", "accept"}).status, 0);
    EXPECT_EQ(board.record(), data_record({"held"}, "Held"));
    EXPECT_NE(sysop(board.dir.path(), {"league", "accept"}).out.find("nothing is pending"),
              std::string::npos);
}

TEST(LeagueSettings, AMistakeIsOneLineNamingTheKeyAndTheLeagueStaysOff) {
    struct {
        const char* extra;
        const char* said;
    } cases[] = {
        {"per_day = lots\n", "valedict.ini: line 8: per_day: not a whole number"},
        {"hold = maybe\n", "line 8: hold: not yes or no"},
        {"block = 21:x/*\n", "block: \"21:x/*\" is not an address pattern"},
        {"password = longerthan8\n", "password: more than 8"},
        {"colour = red\n", "colour: not a setting"},
        {"area = OTHER\n", "area: given twice"},
    };
    for (auto& c : cases) {
        Board board(c.extra);
        Ran ran = sysop(board.dir.path(), {"set", "--name", "Sysop"}, "local\n");
        EXPECT_EQ(ran.status, 0) << ran.out; // the local save stands
        EXPECT_NE(ran.out.find(c.said), std::string::npos) << ran.out;
        EXPECT_EQ(std::count(ran.out.begin(), ran.out.end(), '\n'), 1) << ran.out;
        EXPECT_EQ(board.record(), data_record({"local"}, "Sysop"));
        EXPECT_EQ(::access(board.dir.file("valedict.league").c_str(), F_OK), -1);
        EXPECT_EQ(sysop(board.dir.path(), {"league", "import"}).status, 1);
    }
    Board wrong_point;
    wrong_point.dir.write("valedict.ini",
                          "[league]\narea=V\npoint=21:1/102.7\nboard=21:1/101\nname=A\n"
                          "toss=/tmp\npickup=/tmp\n");
    EXPECT_NE(
        sysop(wrong_point.dir.path(), {"league", "status"}).out.find("not a point of the board"),
        std::string::npos);
}

// A caller saves through the door; the screen and exit level are the same
// with or without a league, and an entry that cannot go out is still saved.
std::string door_save(const TempDir& dir, const std::string& line) {
    dir.write("DOOR32.SYS", door32_sys("Jane Public", "janeq"));
    DoorOptions options;
    options.args = {dir.path()};
    options.cwd = dir.path();
    options.env = {"ODOORS_LOG=" + dir.file("door.log")};
    DoorRun door(options);
    EXPECT_TRUE(door.wait_for("Would you like to add some valedicts [Y/n]:")) << door.screen.all();
    door.type("Y" + line + "\r\rY");
    EXPECT_EQ(door.wait_exit(), 10);
    return door.screen.all();
}

TEST(LeagueDoor, WithoutALeagueNothingMoreIsWrittenAndAFailedSendCostsNothing) {
    Board none;
    none.dir.write("valedict.ini", "[other]\nkey = value\n");
    std::string plain = door_save(none.dir, "words");
    EXPECT_EQ(none.record(), data_record({"words"}, "janeq"));
    for (const char* leaf : {"valedict.league", "valedict.seen", "valedict.pending"})
        EXPECT_NE(::access(none.dir.file(leaf).c_str(), F_OK), 0) << leaf;
    EXPECT_TRUE(fs_empty(none.dir.file("toss")));

    Board broken;
    ::rmdir(broken.dir.file("toss").c_str());
    std::string screen = door_save(broken.dir, "words");
    EXPECT_EQ(screen, plain);
    EXPECT_EQ(broken.record(), data_record({"words"}, "janeq"));
    EXPECT_NE(broken.dir.read("door.log").find("league: the entry was saved but not sent"),
              std::string::npos);
    EXPECT_NE(sysop(broken.dir.path(), {"league", "status"}).out.find("not sent"),
              std::string::npos);

    Board sent;
    EXPECT_EQ(door_save(sent.dir, "words"), plain);
    EXPECT_FALSE(fs_empty(sent.dir.file("toss")));
}

TEST(LeagueImport, AStaleLockIsReportedAndNothingIsTaken) {
    Board board;
    ::mkdir(board.dir.file("out").c_str(), 0755);
    std::string ini = board.dir.read("valedict.ini");
    ini.replace(ini.find("pickup = "), std::string::npos,
                "pickup = " + board.dir.file("out/00000007.flo") + "\n");
    board.dir.write("valedict.ini", ini);
    board.dir.write("x.pkt", packet(entry("21:1/102.7", 1, time(nullptr), "New", {"new"})));
    board.dir.write("out/00000007.flo", "^" + board.dir.file("x.pkt") + "\n");
    pid_t gone = ::fork();
    if (gone == 0) _exit(0);
    ::waitpid(gone, nullptr, 0);
    board.dir.write("out/00000007.bsy", std::to_string(gone) + "\n");
    Ran ran = sysop(board.dir.path(), {"league", "import"});
    EXPECT_EQ(ran.status, 2);
    EXPECT_NE(ran.out.find("a stale lock"), std::string::npos) << ran.out;
    EXPECT_EQ(board.record(), "");
    EXPECT_NE(sysop(board.dir.path(), {"league", "status"}).out.find("00000007.bsy is stale"),
              std::string::npos);
    ::unlink(board.dir.file("out/00000007.bsy").c_str());
    EXPECT_EQ(sysop(board.dir.path(), {"league", "import"}).status, 0);
    EXPECT_EQ(board.record(), data_record({"new"}, "New"));
    EXPECT_NE(::access(board.dir.file("x.pkt").c_str(), F_OK), 0);
    EXPECT_NE(::access(board.dir.file("out/00000007.flo").c_str(), F_OK), 0);
}

} // namespace

namespace {

int count_leaves(const std::string& folder, const std::string& ending) {
    DIR* dir = ::opendir(folder.c_str());
    int count = 0;
    while (dirent* item = dir ? ::readdir(dir) : nullptr) {
        std::string leaf = item->d_name;
        if (leaf.size() >= ending.size() &&
            leaf.compare(leaf.size() - ending.size(), ending.size(), ending) == 0)
            count++;
    }
    if (dir) ::closedir(dir);
    return count;
}

TEST(LeagueOrder, EqualKeysStillOrderAndARefusalBurnsNothing) {
    int64_t now = time(nullptr);
    // One key written two ways, with different words: both orders agree.
    ENTRY x = entry("21:1/102.5", 0x77, now - 10, "X", {"x"});
    ENTRY y = entry("21:1/102.5", 0x77, now - 10, "Y", {"y"});
    std::string short_id = packet(y);
    replace(short_id, "21:1/102.5 00000077", "21:1/102.5 77");
    Board one, two;
    one.drop(packet(x));
    one.drop(short_id);
    two.drop(short_id);
    two.drop(packet(x));
    EXPECT_EQ(sysop(one.dir.path(), {"league", "import"}).status, 0);
    EXPECT_EQ(sysop(two.dir.path(), {"league", "import"}).status, 0);
    EXPECT_EQ(one.record(), data_record({"y"}, "Y"));
    EXPECT_EQ(two.record(), one.record());
    // A refused message with a guessed MSGID leaves the real one takeable.
    Board board;
    ENTRY real = entry("21:1/101.7", 0x7fff0001, now - 5, "Real", {"real"});
    ENTRY forged = entry("21:1/101.7", 0x7fff0001, now - 5, "Forged", {});
    board.drop(packet(forged));
    EXPECT_NE(sysop(board.dir.path(), {"league", "import"}).out.find("no Line"), std::string::npos);
    board.drop(packet(real));
    Ran ran = sysop(board.dir.path(), {"league", "import"});
    EXPECT_EQ(board.record(), data_record({"real"}, "Real")) << ran.out;
    // Taken once, an import again changes nothing.
    std::string state = board.dir.read("valedict.seen");
    board.drop(packet(real));
    ran = sysop(board.dir.path(), {"league", "import"});
    EXPECT_NE(ran.out.find("duplicate"), std::string::npos) << ran.out;
    EXPECT_EQ(board.dir.read("valedict.seen"), state);
    EXPECT_EQ(board.record(), data_record({"real"}, "Real"));
}

TEST(LeagueOrder, AnEntryDatedAheadWaitsForItsTime) {
    int64_t now = time(nullptr);
    Board board;
    board.dir.write("valedict.dat", data_record({"local"}, "Sysop"));
    ENTRY ahead = entry("21:1/102.7", 9, now + 7200, "Ahead", {"ahead"});
    board.drop(packet(ahead));
    Ran ran = sysop(board.dir.path(), {"league", "import"});
    EXPECT_NE(ran.out.find("waiting: 21:1/102.7 00000009"), std::string::npos) << ran.out;
    EXPECT_EQ(board.record(), data_record({"local"}, "Sysop"));
    // Still waiting at the next import, with no packet at all.
    EXPECT_EQ(sysop(board.dir.path(), {"league", "import"}).status, 0);
    EXPECT_EQ(board.record(), data_record({"local"}, "Sysop"));
    std::string waiting = board.dir.read("valedict.ahead");
    EXPECT_NE(waiting.find("Line: ahead"), std::string::npos);
    // Once the clock reaches it (here: the waiting entry made due), it is
    // taken without a new packet.
    board.dir.write("valedict.ahead",
                    MakePackets(point_b, point_b, "VALEDICT",
                                {entry("21:1/102.7", 9, now, "Due", {"due"})}, now));
    ran = sysop(board.dir.path(), {"league", "import"});
    EXPECT_EQ(board.record(), data_record({"due"}, "Due")) << ran.out;
    EXPECT_NE(::access(board.dir.file("valedict.ahead").c_str(), F_OK), 0);
}

// The packets a board's own saves put into its toss folder, taken out.
std::vector<std::string> tossed(const Board& board) {
    std::vector<std::string> sent;
    DIR* toss = ::opendir(board.dir.file("toss").c_str());
    while (dirent* item = toss ? ::readdir(toss) : nullptr) {
        if (item->d_name[0] == '.') continue;
        sent.push_back(board.dir.read(std::string("toss/") + item->d_name));
        ::unlink(board.dir.file(std::string("toss/") + item->d_name).c_str());
    }
    if (toss) ::closedir(toss);
    return sent;
}

std::vector<ENTRY> entries_of(const std::string& bytes) {
    std::vector<ENTRY> got;
    EXPECT_EQ(ReadPacket((const unsigned char*)bytes.data(), bytes.size(), "VALEDICT", &got), "");
    return got;
}

TEST(LeagueOrder, ALocalSaveOrRestoreBeatsWhatItReplacesAndGoesOut) {
    int64_t now = time(nullptr);
    Board board;
    ::mkdir(board.dir.file("valedict.old").c_str(), 0755);
    // Another board's clock runs ten minutes ahead.
    ENTRY ahead = entry("21:1/102.7", 1, now + 600, "Ahead", {"ahead"});
    board.drop(packet(ahead));
    EXPECT_EQ(sysop(board.dir.path(), {"league", "import"}).status, 0);
    EXPECT_EQ(sysop(board.dir.path(), {"set", "--name", "Sysop"}, "local\n").status, 0);
    std::vector<std::string> sent = tossed(board);
    ASSERT_EQ(sent.size(), 1u);
    std::vector<ENTRY> got = entries_of(sent[0]);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(Beats(got[0], ahead)); // every other board takes it too
    // A restore is a save: kept record 1 (the entry from ahead) goes out anew.
    EXPECT_EQ(sysop(board.dir.path(), {"restore", "1"}).status, 0);
    EXPECT_EQ(board.record(), data_record({"ahead"}, "Ahead"));
    EXPECT_EQ(count_leaves(board.dir.file("toss"), ".pkt"), 1);
}

TEST(LeagueFiles, RefusedPacketsKeepTheirOwnNamesAndNewOriginsGetIn) {
    int64_t now = time(nullptr);
    Board board;
    board.dir.write("pickup/x.pkt", std::string(300, 'G'));
    sysop(board.dir.path(), {"league", "import"});
    board.dir.write("pickup/x.pkt", std::string(300, 'H'));
    sysop(board.dir.path(), {"league", "import"});
    EXPECT_EQ(count_leaves(board.dir.file("pickup"), ".bad"), 2);
    // A packet cut short just now may still be being written: it stays.
    std::string whole = packet(entry("21:1/102.7", 1, now - 200, "W", {"w"}));
    board.dir.write("pickup/y.pkt", whole.substr(0, 100));
    EXPECT_NE(sysop(board.dir.path(), {"league", "import"}).out.find("left for the next import"),
              std::string::npos);
    EXPECT_EQ(board.dir.read("pickup/y.pkt"), whole.substr(0, 100));
    ::unlink(board.dir.file("pickup/y.pkt").c_str());
    // A thousand forged origins fill the day's table; a real new board still
    // gets in, and no refusal says per_day.
    std::vector<ENTRY> forged;
    for (unsigned i = 1; i <= 1000; i++)
        forged.push_back(entry("21:9/" + std::to_string(i), 1, now - 100, "F", {"f"}));
    board.drop(joined(forged));
    Ran ran = sysop(board.dir.path(), {"league", "import"});
    EXPECT_EQ(ran.out.find("per_day"), std::string::npos);
    board.drop(packet(entry("21:1/105", 2, now - 1, "New", {"new board"})));
    ran = sysop(board.dir.path(), {"league", "import"});
    EXPECT_EQ(ran.out.find("per_day"), std::string::npos) << ran.out;
    EXPECT_EQ(board.record(), data_record({"new board"}, "New"));
}

// The order the guide gives, written out on its own: Written, origin,
// serial, then the record's bytes.
bool newer(const ENTRY& a, const ENTRY& b) {
    auto key = [](const ENTRY& e) {
        return std::make_tuple(e.Written, e.Origin.Zone, e.Origin.Net, e.Origin.Node,
                               e.Origin.Point, e.Serial);
    };
    if (key(a) != key(b)) return key(a) > key(b);
    return memcmp(&a.Words, &b.Words, sizeof a.Words) > 0;
}

// The record a board should end with: the highest whole entry of the set
// not dated more than an hour ahead.
std::string reference(const std::vector<std::string>& set, int64_t now) {
    std::vector<ENTRY> whole;
    for (const std::string& bytes : set)
        for (const ENTRY& e : entries_of(bytes))
            if (e.Problem.empty() && e.Written <= now + 3600) whole.push_back(e);
    EXPECT_FALSE(whole.empty());
    if (whole.empty()) return "";
    const ENTRY& top = *std::max_element(
        whole.begin(), whole.end(), [](const ENTRY& a, const ENTRY& b) { return newer(b, a); });
    return std::string(reinterpret_cast<const char*>(&top.Words), sizeof top.Words);
}

// The tool's import, run in this process in the board's folder, so that many
// orders stay quick under the sanitizers and qemu.
void import_here(const Board& board) {
    char back[PATH_MAX];
    ASSERT_NE(::getcwd(back, sizeof back), nullptr);
    ASSERT_EQ(::chdir(board.dir.path().c_str()), 0);
    static LEAGUE league;
    char problem[ProblemMost];
    std::vector<std::string> said;
    EXPECT_EQ(ReadLeague(&league, problem, sizeof problem), LeagueOn) << problem;
    ImportLeague(league, &said);
    ASSERT_EQ(::chdir(back), 0);
}

// Feeds the set in this order to a board that imports after each packet
// and, with Batched, to two more: one bundle, and two imports split at
// Split. Each ends with Expected.
void feed(const std::vector<std::string>& set, const std::vector<int>& order, bool batched,
          size_t split, const std::string& expected) {
    std::string told;
    std::vector<std::string> ordered;
    for (int i : order) {
        ordered.push_back(set[i]);
        told += std::to_string(i) + " ";
    }
    Board each;
    for (const std::string& bytes : ordered) {
        each.drop(bytes);
        import_here(each);
    }
    EXPECT_EQ(each.record(), expected) << "one by one: " << told;
    if (!batched) return;
    Board bundle, halves;
    bundle.drop(bundled(ordered));
    import_here(bundle);
    EXPECT_EQ(bundle.record(), expected) << "bundled: " << told;
    for (size_t i = 0; i < ordered.size(); i++) {
        halves.drop(ordered[i]);
        if (i + 1 == split || i + 1 == ordered.size()) import_here(halves);
    }
    EXPECT_EQ(halves.record(), expected) << "split after " << split << ": " << told;
}

// Boards fed one set of packets in every order and in different batchings
// end with the same bytes, the entry the whole set's order puts highest.
TEST(LeagueConvergence, EveryOrderAndBatchingEndsAlike) {
    int64_t now = time(nullptr);
    // Three and Four share a time and an origin; Five has Four's key with
    // its serial written short; Broken shares Four's MSGID and would win
    // were it taken.
    std::string five = packet(entry("21:1/104.7", 0x13, now - 20, "Five", {"five"}));
    replace(five, "21:1/104.7 00000013", "21:1/104.7 13");
    const std::vector<std::string> core = {
        packet(entry("21:1/104.7", 0x12, now - 20, "Three", {"three"})),
        packet(entry("21:1/104.7", 0x13, now - 20, "Four", {"four"})),
        five,
        packet(entry("21:1/105.7", 0x14, now + 7200, "Ahead", {"ahead"})),
        packet(entry("21:1/104.7", 0x13, now + 30, "Broken", {})),
    };
    const std::string expected = reference(core, now);
    EXPECT_EQ(expected, data_record({"four"}, "Four"));
    std::vector<int> order = {0, 1, 2, 3, 4};
    size_t runs = 0;
    do {
        feed(core, order, runs % 3 == 0, 1 + runs % 4, expected);
        runs++;
        if (HasFailure()) return;
    } while (std::next_permutation(order.begin(), order.end()));

    // A board of the league saves and restores: it takes an entry dated
    // ahead (a clock running fast, or the same second), saves in what is
    // still that entry's time, then restores what the import replaced. It
    // ends with what boards fed its packets end with.
    Board source;
    std::string ini = source.dir.read("valedict.ini");
    replace(ini, "point = 21:1/101.7\nboard = 21:1/101", "point = 21:1/102.7\nboard = 21:1/102");
    source.dir.write("valedict.ini", ini);
    ::mkdir(source.dir.file("valedict.old").c_str(), 0755);
    ASSERT_EQ(sysop(source.dir.path(), {"set", "--name", "Sysop"}, "kept\n").status, 0);
    std::vector<std::string> set = tossed(source);
    ENTRY theirs = entry("21:1/103.7", 0x15, now + 100, "Theirs", {"theirs"});
    set.push_back(packet(theirs));
    source.drop(set.back());
    import_here(source);
    ASSERT_EQ(sysop(source.dir.path(), {"set", "--name", "Sysop"}, "mine\n").status, 0);
    for (const std::string& p : tossed(source)) set.push_back(p);
    ASSERT_EQ(sysop(source.dir.path(), {"restore", "2"}).status, 0);
    std::vector<std::string> restored = tossed(source);
    ASSERT_EQ(set.size(), 3u);
    ASSERT_EQ(restored.size(), 1u);
    set.push_back(restored[0]);
    ENTRY broken = entries_of(restored[0]).at(0);
    broken.Written += 30;
    broken.Words = entry("21:1/102.7", 0, 0, "Broken", {}).Words;
    set.push_back(packet(entry("21:1/102.5", 0x16, now - 50, "One", {"one"})));
    set.push_back(packet(broken));
    for (size_t i = 4; i < set.size(); i++) source.drop(set[i]);
    import_here(source);
    const std::string restored_words = reference(set, now);
    EXPECT_EQ(restored_words, data_record({"kept"}, "Sysop"));
    EXPECT_EQ(source.record(), restored_words);
    order = {0, 1, 2, 3, 4, 5};
    runs = 0;
    do {
        if (runs % 60 == 0) feed(set, order, true, 1 + runs / 60 % 5, restored_words);
        runs++;
        if (HasFailure()) return;
    } while (std::next_permutation(order.begin(), order.end()));
}

} // namespace
