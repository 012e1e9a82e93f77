#include "dropfile.h"

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

std::string sample(const std::string& name) {
    std::ifstream in(std::string(DROPFILE_SAMPLES) + "/" + name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_FALSE(all.str().empty()) << name;
    return all.str();
}

struct Expected {
    std::string file;
    std::string name;
    std::string real_name;
    bool ansi;
    bool local;
    int node;
    int seconds_left;
    int security;
    int user_number;
    std::string system_name;
};

// The call a parse gave, or an empty one and a failure: one parse that
// fails never crashes the whole binary.
template <typename Parsed> od::CallInfo info_of(const Parsed& parsed) {
    if (parsed.info) return *parsed.info;
    ADD_FAILURE() << "no call: " << parsed.error;
    return {};
}

void PrintTo(const Expected& e, std::ostream* os) {
    *os << e.file;
}

class Samples : public testing::TestWithParam<Expected> {};

TEST_P(Samples, ReadAsTheBbsMeantThem) {
    const Expected& e = GetParam();
    // The samples' names carry their origin before the last '_'; the reader
    // is given a copy under the name a BBS writes.
    std::string pattern =
        (std::filesystem::temp_directory_path() / "odoors-sample-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    std::filesystem::path dir = pattern;
    auto copy = dir / e.file.substr(e.file.find_last_of('_') + 1);
    std::ofstream(copy, std::ios::binary) << sample(e.file);
    auto parsed = od::read_drop_file(copy.string());
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(parsed.info) << parsed.error;
    EXPECT_EQ(parsed.info->name, e.name);
    EXPECT_EQ(parsed.info->real_name, e.real_name);
    EXPECT_EQ(parsed.info->ansi, e.ansi);
    EXPECT_EQ(parsed.info->local, e.local);
    EXPECT_EQ(parsed.info->node, e.node);
    EXPECT_EQ(parsed.info->seconds_left, e.seconds_left);
    EXPECT_EQ(parsed.info->security, e.security);
    EXPECT_EQ(parsed.info->user_number, e.user_number);
    EXPECT_EQ(parsed.info->system_name, e.system_name);
}

INSTANTIATE_TEST_SUITE_P(
    EveryFormat, Samples,
    testing::Values(Expected{"captured/talisman-0.37_door32.sys", "Zzzzrrr", "Mason Green", true,
                             false, 0, 90 * 60, 100, 1, "Talisman v0.37-dev"},
                    Expected{"captured/talisman-0.51_door32.sys", "aLPHA", "Robbie Whiting", true,
                             true, 1, 90 * 60, 100, 1, "Talisman v0.51-dev"},
                    Expected{"doc-examples/door32-rev1-doc-example_door32.sys", "g00r00",
                             "James Coyle", true, true, 1, 58 * 60, 255, 1, "Mystic 1.07"},
                    Expected{"generated/enigma_door32.sys", "janeq", "Jane Q Public", true, false,
                             3, 546 * 60, 30, 42, "Example ENiGMA Board"},
                    Expected{"reconstructed/wwiv-5_linux_door32.sys", "JANEQ", "Jane Q Public",
                             true, true, 3, 3540, 30, 42, "WWIV 5.9.0"},
                    Expected{"reconstructed/synchronet-3.22_linux_socket_DOOR32.SYS", "janeq",
                             "Jane Q Public", true, false, 3, 60 * 60, 30, 42,
                             "Synchronet BBS for Linux  Version 3.22a"},
                    Expected{"captured/cycon-odyssey_1994_DOOR.SYS", "Corporal Clegg",
                             "CORPORAL CLEGG", true, true, 2, 24 * 3600, 255, 1, ""},
                    Expected{"captured/unknown-bbs_1995_31line_DOOR.SYS", "Frank Boyd",
                             "Frank Boyd", true, false, 1, 59880, 9, 1, ""},
                    Expected{"generated/enigma_DOOR.SYS", "janeq", "Jane Q Public", true, false, 3,
                             15360, 30, 42, ""},
                    Expected{"reconstructed/synchronet-3.22_linux_native_31plus21blank_DOOR.SYS",
                             "janeq", "janeq", true, false, 3, 3600, 30, 42, ""},
                    Expected{"reconstructed/synchronet-3.22_linux_native_52line_DOOR.SYS", "janeq",
                             "janeq", true, false, 3, 3600, 30, 42, ""},
                    Expected{"reconstructed/synchronet-3.22_linux_stdio_DOOR32.SYS", "janeq",
                             "Jane Q Public", true, true, 3, 3600, 30, 42,
                             "Synchronet BBS for Linux  Version 3.22a"},
                    Expected{"reconstructed/envy_door32.sys", "janeq", "Jane Q Public", true, true,
                             3, 3600, 30, 42, "Envy 0.x-gitrev"},
                    Expected{"reconstructed/magicka-0.9_door32.sys", "janeq", "Jane Public", true,
                             false, 3, 3600, 30, 42, "Magicka 0.9"},
                    Expected{"reconstructed/mystic-1.10_linux_door32.sys", "janeq", "Jane Q Public",
                             true, false, 3, 3600, 30, 42, "Mystic 1.10 A38"},
                    Expected{"reconstructed/talisman_door32.sys", "janeq", "Jane Q Public", true,
                             false, 3, 3600, 30, 42, "Talisman v0.51-dev"},
                    Expected{"reconstructed/wwiv-5_linux_door.sys", "JANEQ", "Jane Q Public", true,
                             false, 3, 3540, 30, 42, ""},
                    Expected{"captured/mystic-win_2026_DOOR.SYS", "dexter", "Dexter Cellfish", true,
                             false, 1, 59940, 255, 1, ""},
                    Expected{"captured/renegade_DORINFO1.DEF", "LEE PALMER", "LEE PALMER", true,
                             true, 1, 24 * 3600, 255, 0, "The Renegade BBS"},
                    Expected{"doc-examples/synchronet-wiki-example_DORINFO1.DEF", "Jose Canseco",
                             "Jose Canseco", true, false, 1, 3600, 10, 0, "Dix Bates Gates BBS"},
                    Expected{"generated/enigma_DORINFO3.DEF", "janeq", "janeq", true, false, 3,
                             546 * 60, 30, 0, "Example ENiGMA Board"},
                    Expected{"captured/wwiv4_1991_CHAIN.TXT", "ANTONIN ARTAUD", "MARK S. ATKINSON",
                             true, false, 0, 2259, 90, 31, "//\\/\\aize BBS"},
                    Expected{"doc-examples/wwiv-docs-mrbill-example_CHAIN.TXT", "MRBILL", "Bill",
                             true, true, 0, 2225, 255, 1, "MrBill's Abode"},
                    Expected{"reconstructed/wwiv-5_linux_chain.txt", "JANEQ", "Jane Q Public", true,
                             false, 0, 3599, 30, 42, "Example WWIV BBS"}),
    [](const testing::TestParamInfo<Expected>& info) {
        std::string name;
        for (char c : info.param.file.substr(info.param.file.find('/') + 1))
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(DropFile, LinesAreSplitOnAnyLineEndAndTrimmed) {
    auto lines = od::split_lines("a\r\n  b  \nc\r\r\nlast");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "a");
    EXPECT_EQ(lines[1], "b");
    EXPECT_EQ(lines[2], "c\r"); // only one CR belongs to the line end
    EXPECT_EQ(lines[3], "last");
}

TEST(DropFile, NumbersAsOldWritersPutThem) {
    EXPECT_EQ(od::parse_number("    100.00"), 100);
    EXPECT_EQ(od::parse_number("-1"), -1);
    EXPECT_EQ(od::parse_number(" 42 "), 42);
    EXPECT_FALSE(od::parse_number(""));
    EXPECT_FALSE(od::parse_number("Y"));
    EXPECT_FALSE(od::parse_number("12abc"));
    EXPECT_EQ(od::parse_number("1e300"), 1000000000000000LL); // clamped, not overflowed
    // Cut toward zero wherever the point falls.
    EXPECT_EQ(od::parse_number("0007.9"), 7);
    EXPECT_EQ(od::parse_number("-0.5"), 0);
    EXPECT_EQ(od::parse_number("0.0625e2"), 6);
    EXPECT_EQ(od::parse_number("+12.5E1"), 125);
    EXPECT_EQ(od::parse_number("3e-1"), 0);
    EXPECT_EQ(od::parse_number("-99999999999999999999"), -1000000000000000LL);
    EXPECT_EQ(od::parse_number("999999999999999.9"), 999999999999999LL);
    for (const char* broken : {"-", ".", "1e", "1e+", "0x10", "1..2", "inf", "nan", "1 2"})
        EXPECT_FALSE(od::parse_number(broken)) << broken;
}

TEST(DropFile, HostileFilesNeverYieldANameTheyDoNotHold) {
    // Too short to name the caller.
    auto shortfile = od::parse_door32("2\r\n5\r\n38400\r\n");
    EXPECT_FALSE(shortfile.info);
    EXPECT_NE(shortfile.error.find("line 3"), std::string::npos) << shortfile.error;
    // Name lines present but blank.
    auto blank = od::parse_door32("0\n0\n0\nX\n1\n   \n\t\n");
    EXPECT_FALSE(blank.info);
    EXPECT_NE(blank.error.find("lines 6 and 7"), std::string::npos);
    EXPECT_FALSE(od::parse_door_sys("COM0:\n1\n8\n1\n").info);

    // Binary junk: no crash, no control byte in the name.
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 7) % 256);
    for (auto parse : {od::parse_door32, od::parse_door_sys}) {
        auto r = parse(junk);
        if (!r.info) continue;
        for (char c : r.info->name) EXPECT_GE(static_cast<unsigned char>(c), 32);
    }

    // An overlong name is cut to 35 characters; a 100 000-character line is no problem.
    std::string longname(100000, 'x');
    auto cut = od::parse_door32("0\n-1\n0\nBBS\n1\nReal\n" + longname + "\n");
    ASSERT_TRUE(cut.info);
    EXPECT_EQ(cut.info->name, std::string(35, 'x'));
    auto escaped = od::parse_door32("0\n-1\n0\nBBS\n1\nReal\n\x1b[2Jevil\x07\n");
    ASSERT_TRUE(escaped.info);
    EXPECT_EQ(escaped.info->name, "[2Jevil");
    // The BBS's name, security level and record number are bounded the same way.
    auto system = od::parse_door32("0\n-1\n0\n\x1b]0;x\x07" + longname +
                                   "\n99999999999\nReal\nA\n" + "1e12\n60\n");
    ASSERT_TRUE(system.info);
    EXPECT_EQ(system.info->system_name, "]0;x" + std::string(59, 'x'));
    EXPECT_EQ(system.info->user_number, 0x7fffffff);
    EXPECT_EQ(system.info->security, 65535);
    auto negative = od::parse_door32("0\n-1\n0\nBBS\n-3\nReal\nA\nhigh\n60\n");
    ASSERT_TRUE(negative.info);
    EXPECT_EQ(negative.info->user_number, 0);
    EXPECT_EQ(negative.info->security, 0);

    // Silly time values never end the call at once.
    auto silly = od::parse_door32("0\n-1\n0\nBBS\n1\nReal\nAlias\n30\n-5\n1\n1\n");
    ASSERT_TRUE(silly.info);
    EXPECT_EQ(silly.info->seconds_left, -1);
}

std::string door_sys(const std::string& seconds, const std::string& minutes) {
    std::string text;
    for (int n = 1; n <= 52; ++n)
        text += (n == 10 ? "Caller" : n == 18 ? seconds : n == 19 ? minutes : "") + "\n";
    return text;
}

// Whole-minute writers put 0 when under a minute is left: the call ends within
// that minute, never at once, and only a missing or unreadable value is no limit.
TEST(DropFile, TimeLeftOfZeroIsUnderAMinuteNotNoLimit) {
    using F = od::DropFormat;
    struct Case {
        F format;
        std::string text;
        int seconds_left;
    };
    const Case cases[] = {
        {F::Door32, "0\n-1\n0\nSynchronet\n1\nReal\nAlias\n30\n0\n1\n1\n", 30},
        {F::Door32, "0\n-1\n0\nSynchronet\n1\nReal\nAlias\n30\n\n1\n1\n", -1},
        {F::Door32, "0\n-1\n0\nSynchronet\n1\nReal\nAlias\n30\nsoon\n1\n1\n", -1},
        {F::Door32, "0\n4\n0\nWWIV 5.9.0\n1\nReal\nAlias\n30\n0\n1\n1\n", 30},
        {F::Door32, "0\n4\n0\nWWIV 5.9.0\n1\nReal\nAlias\n30\n45\n1\n1\n", 45},
        {F::DoorSys, door_sys("0", "0"), 30},
        {F::DoorSys, door_sys("45", "0"), 45},
        {F::DoorSys, door_sys("3", "0"), 3}, // seconds are exact
        {F::DoorSys, door_sys("", "0"), 30},
        {F::DoorSys, door_sys("-1", "0"), 30}, // nonsense seconds, minutes still count
        {F::DoorSys, door_sys("0", ""), 30},
        {F::DoorSys, door_sys("120", "-1"), 120},
        {F::DoorSys, door_sys("", ""), -1},
        {F::DorInfo, "B\nS\nO\nCOM1\n0\n0\nJane\nQ\nhere\n1\n10\n0\n", 30},
        {F::DorInfo, "B\nS\nO\nCOM1\n0\n0\nJane\nQ\nhere\n1\n10\n\n", -1},
        {F::Chain, "1\nJANEQ\nJane\n\n\n\n\n\n\n\n30\n0\n0\n1\n1\n      0.00\n", 30},
        {F::Chain, "1\nJANEQ\nJane\n\n\n\n\n\n\n\n30\n0\n0\n1\n1\n     50.75\n", 50},
        {F::DoorFileSr, "Caller\n1\n1\n24\n38400\n1\n0\nReal\n", 30},
        {F::DoorFileSr, "Caller\n1\n1\n24\n38400\n1\n-1\nReal\n", -1},
    };
    for (const auto& c : cases) {
        auto parsed = od::parse_drop_file(c.format, c.text);
        ASSERT_TRUE(parsed.info) << parsed.error;
        EXPECT_EQ(parsed.info->seconds_left, c.seconds_left) << c.text;
    }
}

TEST(DropFile, FolderSearchIsCaseInsensitiveAndOrdered) {
    auto dir = std::filesystem::temp_directory_path() / "odoors-dropfile-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "Door.Sys") << std::string(9, '\n') << "From Door Sys\n";
    auto only_door_sys = od::read_drop_file(dir.string() + "/");
    ASSERT_TRUE(only_door_sys.info) << only_door_sys.error;
    EXPECT_EQ(only_door_sys.info->name, "From Door Sys");
    EXPECT_EQ(only_door_sys.path, (dir / "Door.Sys").string());

    std::ofstream(dir / "door32.SYS") << "0\n-1\n0\nBBS\n1\nReal\nFrom Door32\n";
    auto both = od::read_drop_file(dir.string());
    ASSERT_TRUE(both.info);
    EXPECT_EQ(both.info->name, "From Door32"); // DOOR32.SYS comes first

    auto direct = od::read_drop_file((dir / "Door.Sys").string());
    ASSERT_TRUE(direct.info);
    EXPECT_EQ(direct.info->name, "From Door Sys"); // a file named is the file read

    auto missing = od::read_drop_file((dir / "door32.sys.gone").string());
    EXPECT_FALSE(missing.info);
    std::ofstream(dir / "notes.txt") << "hello\n";
    auto unknown = od::read_drop_file((dir / "notes.txt").string());
    EXPECT_FALSE(unknown.info);
    EXPECT_NE(unknown.error.find("DOOR32.SYS"), std::string::npos);

    std::filesystem::remove(dir / "door32.SYS");
    std::filesystem::remove(dir / "Door.Sys");
    auto empty = od::read_drop_file(dir.string());
    EXPECT_FALSE(empty.info);
    EXPECT_EQ(empty.path, dir.string());
    std::filesystem::remove_all(dir);
}

TEST(DropFile, EveryFormatRefusesAFileThatNamesNoCaller) {
    for (auto format : {od::DropFormat::Door32, od::DropFormat::DoorSys, od::DropFormat::DorInfo,
                        od::DropFormat::Chain, od::DropFormat::DoorFileSr}) {
        auto empty = od::parse_drop_file(format, "");
        EXPECT_FALSE(empty.info);
        EXPECT_NE(empty.error.find("line"), std::string::npos) << empty.error;
        EXPECT_FALSE(od::parse_drop_file(format, std::string(200, '\n')).info);
    }
}

TEST(DropFile, DorinfoAndDoorfileSrDetails) {
    auto same = od::parse_dorinfo("B\nS\nO\nCOM0\n0\n0\nJane\n\nhere\n0\n10\n15\n");
    ASSERT_TRUE(same.info);
    EXPECT_EQ(same.info->name, "Jane"); // an empty last name
    EXPECT_FALSE(same.info->ansi);      // graphics 0: plain text
    EXPECT_TRUE(same.info->local);
    EXPECT_EQ(same.info->seconds_left, 15 * 60);
    auto sr =
        od::parse_doorfile_sr("The Caller\r\n1 \r\n1\r\n24\r\n38400\r\n0\r\n-1\r\nReal Name\r\n");
    ASSERT_TRUE(sr.info);
    EXPECT_EQ(sr.info->name, "The Caller");
    EXPECT_EQ(sr.info->real_name, "Real Name");
    EXPECT_TRUE(sr.info->ansi); // Synchronet's trailing blank on line 2
    EXPECT_EQ(sr.info->seconds_left, -1);
    EXPECT_EQ(sr.info->rows, 24);    // page length
    EXPECT_EQ(sr.info->security, 0); // the format gives none of these
    EXPECT_EQ(sr.info->user_number, 0);
    EXPECT_EQ(sr.info->system_name, "");
    EXPECT_FALSE(info_of(od::parse_doorfile_sr("X\n-1\n")).ansi);
    EXPECT_EQ(info_of(od::parse_doorfile_sr("X\n1\n1\n0\n")).rows, 0); // 0: not told
    EXPECT_EQ(od::format_from_name("DORINFOa.DEF"), od::DropFormat::DorInfo);
    EXPECT_EQ(od::format_from_name("dorinfo.def"), od::DropFormat::Unknown);
    EXPECT_EQ(od::format_from_name("DOORFILE.SR"), od::DropFormat::DoorFileSr);
}

std::string bbsdev(const std::string& comm, const std::string& param, const std::string& alias,
                   const std::string& deadline = "", const std::string& charset = "UTF-8",
                   const std::string& version = "1.0", const std::string& access = "sysop",
                   const std::string& board = "B\xc3\xb6rd") {
    return version + "\n" + comm + "\n" + param + "\n" + alias + "\nkey\n80\n25\nY\nN\n\n" +
           deadline + "\n" + charset + "\nen\nTestBBS 1\n" + board + "\nsysop\n" + access +
           "\n7\nN\n";
}

TEST(DropFile, BbsDevSaysEverythingOutright) {
    std::time_t now = 1796774400; // 2026-12-09T00:00:00Z
    auto size = od::parse_bbsdev(bbsdev("local", "", "sized"), now);
    ASSERT_TRUE(size.info) << size.error;
    EXPECT_EQ(size.info->cols, 80);
    EXPECT_EQ(size.info->rows, 25);
    auto socket =
        od::parse_bbsdev(bbsdev("socket", "5", "J\xc3\xbcrgen", "2026-12-09T00:10:00Z"), now);
    ASSERT_TRUE(socket.info) << socket.error;
    EXPECT_EQ(socket.info->link, od::CallInfo::Link::Socket);
    EXPECT_EQ(socket.info->handle, 5);
    EXPECT_EQ(socket.info->name, "J\x81rgen"); // ü in CP437
    EXPECT_EQ(socket.info->seconds_left, 600);
    EXPECT_EQ(socket.info->charset, "UTF-8");
    EXPECT_EQ(socket.info->node, 7);
    EXPECT_EQ(socket.info->security, 255); // "sysop"
    EXPECT_EQ(socket.info->user_number, 0);
    EXPECT_EQ(socket.info->system_name, "B\x94rd"); // the board's name, in CP437
    auto cosysop =
        info_of(od::parse_bbsdev(bbsdev("local", "", "j", "", "UTF-8", "1.0", "CoSysop", ""), now));
    EXPECT_EQ(cosysop.security, 254);
    EXPECT_EQ(cosysop.system_name, "TestBBS 1"); // no board name: the software
    EXPECT_EQ(
        info_of(od::parse_bbsdev(bbsdev("local", "", "j", "", "UTF-8", "1.0", "40"), now)).security,
        40);

    auto stdio = od::parse_bbsdev(bbsdev("stdio", "", "janeq", "", "IBM437"), now);
    ASSERT_TRUE(stdio.info);
    EXPECT_EQ(stdio.info->link, od::CallInfo::Link::Stdio);
    EXPECT_EQ(stdio.info->seconds_left, -1);

    auto serial = od::parse_bbsdev(bbsdev("serial", "/dev/ttyS0", "janeq"), now);
    EXPECT_FALSE(serial.info);
    EXPECT_NE(serial.error.find("serial hardware"), std::string::npos) << serial.error;
    EXPECT_FALSE(od::parse_bbsdev(bbsdev("stdio", "", "janeq", "", "UTF-8", "2.0"), now).info);
    EXPECT_FALSE(od::parse_bbsdev(bbsdev("socket", "", "janeq"), now).info);
    EXPECT_FALSE(od::parse_bbsdev(bbsdev("stdio", "", ""), now).info);
    auto bare_cr = od::parse_bbsdev("1.0\nstdio\n\rjaneq\n", now);
    EXPECT_FALSE(bare_cr.info);
    EXPECT_NE(bare_cr.error.find("line 3"), std::string::npos) << bare_cr.error;
    auto crlf = od::parse_bbsdev("1.0\r\nlocal\r\n\r\njaneq\r\n", now);
    ASSERT_TRUE(crlf.info) << crlf.error;
    EXPECT_TRUE(crlf.info->local);
}

// A deadline already gone ends the call soon but not at once; nonsense is no
// limit; one past 2038, 2106 or in 9999 ("no limit") is a day away, where
// long and time_t are 32 bits too.
TEST(DropFile, BbsDevDeadlines) {
    constexpr long long today = 1796774400; // 2026-12-09T00:00:00Z
    struct Case {
        long long now;
        const char* deadline;
        int seconds_left;
    };
    const Case cases[] = {
        {today, "2020-01-01T00:00:00Z", 30},
        {today, "2026-12-09T00:00:00Z", 30},
        {today, "2026-12-09T00:00:45Z", 45},
        {today, "tomorrow", -1},
        {today, "2038-01-19T03:14:08Z", 24 * 3600},
        {today, "2106-02-07T06:28:16Z", 24 * 3600},
        {today, "9999-12-31T23:59:59Z", 24 * 3600},
        {(1LL << 31) - 600, "2038-01-19T03:14:08Z", 600},
        {(1LL << 31) + 600, "2038-01-19T03:14:08Z", 30},
        {(1LL << 32) - 600, "2106-02-07T06:28:16Z", 600},
        {253402300799 - 600, "9999-12-31T23:59:59Z", 600},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            info_of(od::parse_bbsdev(bbsdev("stdio", "", "j", c.deadline), c.now)).seconds_left,
            c.seconds_left)
            << c.deadline << " at " << c.now;
}

TEST(DropFile, AFolderWithSeveralFormatsAndDorinfoNodes) {
    auto dir = std::filesystem::temp_directory_path() / "odoors-folder-test";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "doorfile.sr") << "From SR\n1\n";
    std::ofstream(dir / "CHAIN.TXT") << "1\nFrom Chain\n";
    EXPECT_EQ(info_of(od::read_drop_file(dir.string())).name, "From Chain");
    std::ofstream(dir / "DORINFOB.DEF") << "B\nS\nO\nCOM1\n0\n0\nFrom\nDorinfo\n";
    auto hex = info_of(od::read_drop_file(dir.string()));
    EXPECT_EQ(hex.name, "From Dorinfo");
    EXPECT_EQ(hex.node, 11); // Synchronet's hex B
    std::ofstream(dir / "dorinfo1.def") << "B\nS\nO\nCOM1\n0\n0\nNode\nOne\n";
    EXPECT_EQ(info_of(od::read_drop_file(dir.string())).name, "Node One"); // DORINFO1 first
    std::ofstream(dir / "door.sys") << std::string(9, '\n') << "From Door Sys\n";
    EXPECT_EQ(info_of(od::read_drop_file(dir.string())).name, "From Door Sys");
    std::filesystem::remove_all(dir);
}

} // namespace
