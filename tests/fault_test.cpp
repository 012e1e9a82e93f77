// Whatever a caller, a BBS or a disk does to the door: hang-ups at every
// wait, a kill in the middle of a save, a full disk.
#include "door_harness.h"
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr const char* question = "Would you like to add some valedicts [Y/n]:";

std::string record(const std::string& line, const std::string& user) {
    return data_record({line}, user);
}

std::string door32(int comm, int handle) {
    return std::to_string(comm) + "\r\n" + std::to_string(handle) +
           "\r\n38400\r\nTest BBS\r\n1\r\nFault Caller\r\nfaultq\r\n30\r\n60\r\n1\r\n1\r\n";
}

enum class HangUp { PtyClosed, PtySighup, SocketClosed };

struct Wait {
    int prompts; // entry lines typed before the hang-up; -1: at the question
    bool at_save;
};

class HangUpAtEveryWait : public testing::TestWithParam<std::tuple<HangUp, int>> {};

TEST_P(HangUpAtEveryWait, EndsTheDoorAndKeepsTheFile) {
    auto [how, where] = GetParam();
    // where: 0 the question, 1 to 5 the line prompts, 6 the save question.
    TempDir dir;
    std::string old = record("kept as it was", "before");
    dir.write("valedict.dat", old);
    dir.write("DOOR32.SYS", door32(how == HangUp::SocketClosed ? 2 : 0, 3));
    DoorOptions options;
    options.args = {dir.path()};
    options.cwd = dir.path();
    if (how == HangUp::SocketClosed) options.link = DoorOptions::Link::SocketPair;
    DoorRun door(options);
    ASSERT_TRUE(door.wait_for(question)) << door.screen.all();
    if (where >= 1) {
        door.type("Y");
        for (int line = 1; line < where && line <= 5; ++line) {
            ASSERT_TRUE(door.wait_for(std::to_string(line) + ":"));
            door.type("line " + std::to_string(line) + "\r");
        }
        if (where == 6) {
            ASSERT_TRUE(door.wait_for("Save these valedicts [Y/n]:")) << door.screen.all();
        } else {
            ASSERT_TRUE(door.wait_for(std::to_string(where) + ":"));
        }
    }
    termios before = door.initial_mode;
    if (how == HangUp::PtySighup)
        door.signal(SIGHUP);
    else
        door.hang_up();
    EXPECT_EQ(door.wait_exit(), 10);
    EXPECT_EQ(::kill(door.pid, 0), -1); // reaped: nothing left behind
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(dir.read("valedict.dat"), old);
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_TRUE(entry.path().filename() == "valedict.dat" ||
                    entry.path().filename() == "DOOR32.SYS")
            << entry.path();
    if (how == HangUp::PtySighup) {
        termios after{};
        ASSERT_TRUE(door.terminal_mode(after));
        EXPECT_EQ(after.c_lflag & (ECHO | ICANON), before.c_lflag & (ECHO | ICANON));
    }
}

INSTANTIATE_TEST_SUITE_P(Waits, HangUpAtEveryWait,
                         testing::Combine(testing::Values(HangUp::PtyClosed, HangUp::PtySighup,
                                                          HangUp::SocketClosed),
                                          testing::Range(0, 7)));

TEST(Faults, AKillAtAnyMomentOfASaveLeavesAWholeRecord) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32(0, -1));
    std::string current = record("round 0", "faultq");
    dir.write("valedict.dat", current);
    std::mt19937 random(12345);
    for (int round = 1; round <= 40; ++round) {
        DoorOptions options;
        options.args = {dir.path()};
        options.cwd = dir.path();
        DoorRun door(options);
        ASSERT_TRUE(door.wait_for(question));
        std::string line = "round " + std::to_string(round);
        door.type("Y" + line + "\r\r");
        ASSERT_TRUE(door.wait_for("Save these valedicts [Y/n]:"));
        door.type("Y");
        ::usleep(std::uniform_int_distribution<int>(0, 3000)(random));
        door.signal(SIGKILL);
        door.wait_exit();
        std::string now = dir.read("valedict.dat");
        std::string saved = record(line, "faultq");
        ASSERT_TRUE(now == current || now == saved)
            << "round " << round << ": " << now.size() << " bytes";
        current = now;
        // A kill between creating and renaming the temporary file may leave it; remove it
        // so that the next round starts the same way.
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (entry.path().filename().string().rfind("valedict.dat.", 0) == 0)
                fs::remove(entry.path());
    }
}

TEST(Faults, AFullDiskKeepsTheOldEntry) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small filesystem needs root";
    TempDir dir;
    std::string mount_point = dir.file("disk");
    fs::create_directory(mount_point);
    if (std::string why; !platform::mount_small_disk(mount_point, 16 * 1024, why))
        GTEST_SKIP() << why;
    struct Unmount {
        std::string path;
        ~Unmount() { platform::unmount(path); }
    } unmount{mount_point};
    // A fresh tmpfs is world-writable, which root refuses to work in.
    ::chmod(mount_point.c_str(), 0755);

    std::string old = record("old words", "before");
    std::ofstream(mount_point + "/valedict.dat", std::ios::binary) << old;
    std::ofstream(mount_point + "/DOOR32.SYS", std::ios::binary) << door32(0, -1);
    {
        std::ofstream filler(mount_point + "/filler", std::ios::binary);
        std::string block(512, 'f');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
    }
    DoorOptions options;
    options.args = {mount_point};
    options.cwd = mount_point;
    DoorRun door(options);
    ASSERT_TRUE(door.wait_for(question));
    door.type("Ynew words\r\rY");
    EXPECT_EQ(door.wait_exit(), 10);
    EXPECT_GE(door.screen.find_row("Cannot write valedict.dat"), 0) << door.screen.all();
    std::ifstream in(mount_point + "/valedict.dat", std::ios::binary);
    std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(now, old);
    for (const auto& entry : fs::directory_iterator(mount_point))
        EXPECT_EQ(entry.path().filename().string().rfind("valedict.dat.", 0), std::string::npos)
            << entry.path();
}

// The small test door of the ways a call ends, with its log in the folder.
std::unique_ptr<DoorRun> end_door(const TempDir& dir, const std::string& mode) {
    dir.write("DOOR32.SYS", door32_sys("End Caller", "ender"));
    DoorOptions options;
    options.program = END_DOOR;
    options.args = {dir.file("DOOR32.SYS"), mode};
    options.cwd = dir.path();
    options.env.push_back("ODOORS_LOG=" + dir.file("door.log"));
    return std::make_unique<DoorRun>(options);
}

// The door hid the cursor; its end showed it again.
bool cursor_shown_at_end(const std::string& output) {
    auto hidden = output.rfind("\x1b[?25l");
    return hidden != std::string::npos && output.find("\x1b[?25h", hidden) != std::string::npos;
}

void expect_mode(const termios& now, const termios& want) {
    EXPECT_EQ(now.c_iflag, want.c_iflag);
    EXPECT_EQ(now.c_oflag, want.c_oflag);
    EXPECT_EQ(now.c_lflag, want.c_lflag);
    EXPECT_EQ(now.c_cflag, want.c_cflag);
}

TEST(Faults, ADoorEndingWithoutOdExitGivesTheTerminalBack) {
    for (auto [mode, status] : {std::pair{"return", 0}, std::pair{"exit", 3}}) {
        SCOPED_TRACE(mode);
        TempDir dir;
        auto door = end_door(dir, mode);
        ASSERT_TRUE(door->wait_for("ready")) << door->screen.all();
        termios now{};
        ASSERT_TRUE(door->terminal_mode(now));
        EXPECT_EQ(now.c_lflag & (ECHO | ICANON), 0u); // raw while the door runs
        door->type("x");
        EXPECT_EQ(door->wait_exit(), status);
        EXPECT_GE(door->screen.find_row("bye"), 0) << door->screen.all(); // its last words go out
        EXPECT_TRUE(cursor_shown_at_end(door->output));
        ASSERT_TRUE(door->terminal_mode(now));
        expect_mode(now, door->initial_mode);
        EXPECT_NE(dir.read("door.log").find("end: door, without od_exit, after "),
                  std::string::npos)
            << dir.read("door.log");
    }
}

TEST(Faults, ADoorsNoLimitOnInactivityIsADay) {
    TempDir dir;
    auto door = end_door(dir, "limits");
    EXPECT_EQ(door->wait_exit(), 10);
    EXPECT_GE(door->screen.find_row("inactivity 86400"), 0) << door->screen.all();
    EXPECT_TRUE(cursor_shown_at_end(door->output)); // after od_exit
}

enum class Ending { Idle, Signal, HangUp, SignalTwice };

struct EndCase {
    const char* name;
    const char* mode;
    Ending how;
    std::string typed;   // once the callback asks
    std::string results; // what its input calls gave, or "" when it never returns
    int status;
    std::string log; // the log's end line starts so
};

void PrintTo(const EndCase& c, std::ostream* os) {
    *os << c.name;
}

class EndCallback : public testing::TestWithParam<EndCase> {};

// The callback asks Y/N, edits "start", reads a line and a key, then writes
// what each gave; the code after its input calls always runs.
TEST_P(EndCallback, FinishesItsWork) {
    const EndCase& c = GetParam();
    TempDir dir;
    auto door = end_door(dir, c.mode);
    ASSERT_TRUE(door->wait_for("ready")) << door->screen.all();
    switch (c.how) {
    case Ending::Idle:
        // Past the inactivity limit, the callback's input still works.
        ASSERT_TRUE(door->wait_for("Save your game? (Y/N)")) << door->screen.all();
        door->type(c.typed);
        ASSERT_TRUE(door->wait_for("No key pressed for too long")) << door->screen.all();
        // On the bottom row, cleared, with nothing scrolled away.
        EXPECT_EQ(door->screen.row(24), "No key pressed for too long; back to the BBS.");
        EXPECT_GE(door->screen.find_row("ready"), 0) << door->screen.all();
        EXPECT_TRUE(cursor_shown_at_end(door->output));
        door->signal(SIGTERM); // in the pause before the door ends
        break;
    case Ending::Signal: door->signal(SIGTERM); break;
    case Ending::HangUp: door->hang_up(); break;
    case Ending::SignalTwice:
        door->signal(SIGTERM);
        ASSERT_TRUE(door->wait_until([&] { return fs::exists(dir.file("in_end")); }));
        EXPECT_EQ(::waitpid(door->pid, nullptr, WNOHANG), 0); // the callback still runs
        door->signal(SIGTERM);
        break;
    }
    EXPECT_EQ(door->wait_exit(), c.status);
    if (!c.results.empty()) {
        EXPECT_EQ(dir.read("end.txt"), c.results + "\n");
    }
    std::string log = dir.read("door.log");
    auto end = log.find("]: end: ");
    if (c.log.empty()) {
        EXPECT_EQ(end, std::string::npos) << log;
    } else {
        ASSERT_NE(end, std::string::npos) << log;
        EXPECT_EQ(log.substr(end + 3, c.log.size()), c.log) << log;
    }
    if (c.how != Ending::HangUp) {
        termios now{};
        ASSERT_TRUE(door->terminal_mode(now));
        expect_mode(now, door->initial_mode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, EndCallback,
    testing::Values(EndCase{"Inactivity", "idle", Ending::Idle, "Yx\rhello\rk",
                            "reason 3 answer 89 edit 13 'startx' line 'hello' key 107", 10,
                            "end: inactivity, exit level 10,"},
                    EndCase{"Signal", "save", Ending::Signal, "",
                            "reason 4 answer 0 edit 27 'start' line '' key 0", 10,
                            "end: signal SIGTERM, exit level 10,"},
                    EndCase{"HangUp", "save", Ending::HangUp, "",
                            "reason 1 answer 0 edit 27 'start' line '' key 0", 10, "end: hang-up"},
                    EndCase{
                        "NeverReturns", "stuck", Ending::SignalTwice, "", "", 10,
                        "end: signal, then a second signal in the end callback, exit level 10,"}),
    [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

} // namespace
