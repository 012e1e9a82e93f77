// The second hostile review: a caller who reads slowly, files another local
// user planted, doors that print without bounds, and what reaches the
// caller's screen or the BBS's standard error.
#include "door_harness.h"
#include "platform.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* question = "Would you like to add some valedicts [Y/n]:";

// A folder as /tmp is, holding the node's drop file and the door's files,
// and beside it a private file of the door's user.
struct SharedBoard {
    TempDir dir;
    std::string board = dir.file("board");
    SharedBoard() {
        ::chmod(dir.path().c_str(), 0755);
        fs::create_directory(board);
        ::chmod(board.c_str(), 01777);
        dir.write("board/DOOR32.SYS", door32_sys("Jane Public", "janeq"));
        dir.write("profile", data_record({"the door user's own secret"}, "secret"));
        ::chmod(dir.file("profile").c_str(), 0600);
    }
};

TEST(PlantedFiles, AHardLinkAsTheDataFileIsNeitherShownNorOverwritten) {
    SharedBoard shared;
    std::string before = shared.dir.read("profile");
    fs::create_hard_link(shared.dir.file("profile"), shared.board + "/valedict.dat");
    DoorOptions options;
    options.args = {shared.board + "/DOOR32.SYS"};
    options.cwd = shared.board;
    DoorRun door(options);
    ASSERT_TRUE(door.wait_for(question)) << door.screen.all();
    EXPECT_EQ(door.screen.find_row("secret"), -1) << door.screen.all();
    EXPECT_GE(door.screen.find_row("No current Valedicts on file."), 0) << door.screen.all();
    door.type("Yoverwritten\r\rY");
    EXPECT_EQ(door.wait_exit(), 10);
    EXPECT_EQ(shared.dir.read("profile"), before);
}

TEST(PlantedFiles, TheLogIsNeverAppendedToAPlantedLinkOrName) {
    for (bool hard : {false, true}) {
        SCOPED_TRACE(hard ? "a hard link" : "a symbolic link of another user");
        SharedBoard shared;
        std::string before = shared.dir.read("profile");
        std::string log = shared.board + "/valedict.log";
        if (hard) {
            fs::create_hard_link(shared.dir.file("profile"), log);
        } else {
            if (::geteuid() != 0) {
                std::cout << "[ SKIPPED  ] a link of another user needs root\n";
                continue;
            }
            fs::create_symlink(shared.dir.file("profile"), log);
            ASSERT_EQ(::lchown(log.c_str(), 65534, 65534), 0);
        }
        DoorOptions options;
        options.args = {shared.board + "/DOOR32.SYS"};
        options.cwd = shared.board;
        options.env = {"ODOORS_LOG=" + log};
        options.separate_stderr = true;
        DoorRun door(options);
        ASSERT_TRUE(door.wait_for(question)) << door.screen.all();
        door.type("N");
        EXPECT_EQ(door.wait_exit(), 10);
        EXPECT_EQ(shared.dir.read("profile"), before);
        EXPECT_NE(door.err.find("cannot open the log"), std::string::npos) << door.err;
    }
}

// What the log's start line makes of a caller's name, read as a shell would.
TEST(PlantedFiles, ALogLineRunsNoCommandInAShell) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32_sys("x;touch${IFS}PWNED;:", "x;touch${IFS}PWNED;:"));
    DoorOptions options;
    options.args = {dir.file("DOOR32.SYS")};
    options.cwd = dir.path();
    options.env = {"ODOORS_LOG=" + dir.file("door.log")};
    DoorRun door(options);
    ASSERT_TRUE(door.wait_for(question)) << door.screen.all();
    door.type("N");
    EXPECT_EQ(door.wait_exit(), 10);
    std::string log = dir.read("door.log");
    EXPECT_NE(log.find("user \"x;touch\\${IFS}PWNED;:\""), std::string::npos) << log;
    std::string run = "cd '" + dir.path() + "' && sh ./door.log >/dev/null 2>&1";
    (void)std::system(run.c_str());
    EXPECT_FALSE(fs::exists(dir.file("PWNED"))) << log;
}

TEST(PlantedFiles, AFifoOrTheCallersTerminalAsTheDropFileEndsTheDoorAtOnce) {
    for (const char* kind : {"fifo", "tty", "null"}) {
        SCOPED_TRACE(kind);
        TempDir dir;
        std::string drop = dir.file("DOOR32.SYS");
        if (std::string(kind) == "fifo") {
            ASSERT_EQ(::mkfifo(drop.c_str(), 0600), 0);
        } else {
            fs::create_symlink(std::string(kind) == "tty" ? "/dev/tty" : "/dev/null", drop);
        }
        DoorOptions options;
        options.args = {dir.path()};
        options.cwd = dir.path();
        options.separate_stderr = true;
        DoorRun door(options);
        door.type("Jane\r");
        EXPECT_EQ(door.wait_exit(true, 5000), 1); // -1: still waiting in open
        EXPECT_NE(door.err.find("not a regular file"), std::string::npos) << door.err;
        EXPECT_EQ(std::count(door.err.begin(), door.err.end(), '\n'), 1) << door.err;
    }
}

} // namespace

// Standard error is the caller's screen on some BBSes: a refused setting is
// shown cut and with its control bytes as '?'.
TEST(Settings, ARefusalShowsTheValueCutAndHarmless) {
    std::string long_value = "bogus\x1b[2J" + std::string(200, 'x');
    struct Case {
        std::string setting, says;
    };
    const Case cases[] = {
        {"ODOORS_IO=bogus\x1b[2J\x9b"
         "2J",
         "not 'bogus?[2J?2J'"},
        {"ODOORS_IO=" + long_value, "not 'bogus?[2J" + std::string(80 - 9, 'x') + "...'"},
        {"ODOORS_WARN=" + long_value, "'bogus?[2J" + std::string(80 - 9, 'x') + "...' is not"},
        {"ODOORS_LOG=/nowhere/\x1b]0;owned\x07", "/nowhere/?]0;owned?: cannot open the log"},
        {"BBSDEV_DRP=/nowhere/\x1b[2J", "/nowhere/?[2J: cannot read drop file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting);
        TempDir dir;
        dir.write("DOOR32.SYS", door32_sys("Jane Public", "janeq"));
        DoorOptions options;
        options.args = {dir.path()};
        options.cwd = dir.path();
        options.env = {c.setting};
        options.separate_stderr = true;
        DoorRun door(options);
        if (door.wait_for(question)) door.type("N");
        door.wait_exit();
        EXPECT_NE(door.err.find(c.says), std::string::npos) << door.err;
        for (char ch : door.err)
            EXPECT_TRUE(ch == '\n' || (static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7f &&
                                       static_cast<unsigned char>(ch) < 0x80))
                << door.err;
    }
}
