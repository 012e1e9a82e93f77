#include "dropfile.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

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
};

void PrintTo(const Expected& e, std::ostream* os) {
    *os << e.file;
}

class Samples : public testing::TestWithParam<Expected> {};

TEST_P(Samples, ReadAsTheBbsMeantThem) {
    const Expected& e = GetParam();
    // The samples' names carry their origin before the last '_'.
    auto format = od::format_from_name(e.file.substr(e.file.find_last_of('_') + 1));
    auto parsed = od::parse_drop_file(format, sample(e.file));
    ASSERT_TRUE(parsed.info) << parsed.error;
    EXPECT_EQ(parsed.info->name, e.name);
    EXPECT_EQ(parsed.info->real_name, e.real_name);
    EXPECT_EQ(parsed.info->ansi, e.ansi);
    EXPECT_EQ(parsed.info->local, e.local);
    EXPECT_EQ(parsed.info->node, e.node);
    EXPECT_EQ(parsed.info->seconds_left, e.seconds_left);
}

INSTANTIATE_TEST_SUITE_P(
    Door32AndDoorSys, Samples,
    testing::Values(
        Expected{"captured/talisman-0.37_door32.sys", "Zzzzrrr", "Mason Green", true, false, 0,
                 90 * 60},
        Expected{"captured/talisman-0.51_door32.sys", "aLPHA", "Robbie Whiting", true, true, 1,
                 90 * 60},
        Expected{"doc-examples/door32-spec-rev1-example_door32.sys", "g00r00", "James Coyle", true,
                 true, 1, 58 * 60},
        Expected{"generated/enigma_door32.sys", "janeq", "Jane Q Public", true, false, 3, 546 * 60},
        Expected{"reconstructed/wwiv-5_linux_door32.sys", "JANEQ", "Jane Q Public", true, true, 3,
                 3540},
        Expected{"reconstructed/synchronet-3.22_linux_socket_DOOR32.SYS", "janeq", "Jane Q Public",
                 true, false, 3, 60 * 60},
        Expected{"captured/cycon-odyssey_1994_DOOR.SYS", "Corporal Clegg", "CORPORAL CLEGG", true,
                 true, 2, 24 * 3600},
        Expected{"captured/unknown-bbs_1995_31line_DOOR.SYS", "Frank Boyd", "Frank Boyd", true,
                 false, 1, 59880},
        Expected{"generated/enigma_DOOR.SYS", "janeq", "Jane Q Public", true, false, 3, 15360},
        Expected{"reconstructed/synchronet-3.22_linux_native_31plus21blank_DOOR.SYS", "janeq",
                 "janeq", true, false, 3, 3600}),
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

    // Silly time values never end the call at once.
    auto silly = od::parse_door32("0\n-1\n0\nBBS\n1\nReal\nAlias\n30\n-5\n1\n1\n");
    ASSERT_TRUE(silly.info);
    EXPECT_EQ(silly.info->seconds_left, -1);
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

} // namespace
