// The second hostile review: a caller who reads slowly, files another local
// user planted, doors that print without bounds, and what reaches the
// caller's screen or the BBS's standard error.
#include "door_harness.h"
#include "platform.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
        // Run as root, the door would refuse the folder (root's, and writable
        // by others) before it got to these rules: it runs as its user.
        if (::geteuid() == 0) (void)::chown(dir.file("profile").c_str(), 65534, 65534);
    }
};

TEST(PlantedFiles, AHardLinkAsTheDataFileIsNeitherShownNorOverwritten) {
    SharedBoard shared;
    std::string before = shared.dir.read("profile");
    fs::create_hard_link(shared.dir.file("profile"), shared.board + "/valedict.dat");
    DoorOptions options;
    options.args = {shared.board + "/DOOR32.SYS"};
    options.cwd = shared.board;
    options.unprivileged = true;
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
            ASSERT_EQ(::lchown(log.c_str(), 1500, 1500), 0);
        }
        DoorOptions options;
        options.args = {shared.board + "/DOOR32.SYS"};
        options.cwd = shared.board;
        options.unprivileged = true;
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

DoorOptions hostile(const TempDir& dir, const std::string& mode, long n = 0) {
    dir.write("DOOR32.SYS", door32_sys("Jane Public", "janeq"));
    DoorOptions options;
    options.program = HOSTILE_DOOR;
    options.args = {dir.file("DOOR32.SYS"), mode, std::to_string(n)};
    options.cwd = dir.path();
    return options;
}

// Output goes out as it is made, not at the next wait for a key.
TEST(Unbounded, OutputGoesOutBeforeTheNextWait) {
    TempDir dir;
    DoorRun door(hostile(dir, "stream", 200000));
    ASSERT_TRUE(door.wait_for("ready"));
    door.type("x");
    // All but the last part of a chunk comes before the door waits again.
    EXPECT_TRUE(door.wait_until([&] { return door.output.size() > 200000 - 16384; }))
        << door.output.size() << " bytes came";
    dir.write("go", "");
    EXPECT_EQ(door.wait_exit(), 10);
}

// Runs the door on a socket under a memory limit, reading and dropping all
// it sends; its exit status (128 + N for signal N).
int run_limited(const DoorOptions& options, rlim_t memory) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        rlimit limit{memory, memory};
        ::setrlimit(RLIMIT_AS, &limit);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(pair[1], 1);
        ::dup2(pair[1], 3);
        if (::chdir(options.cwd.c_str()) != 0) ::_exit(127);
        std::vector<char*> argv{const_cast<char*>(options.program.c_str())};
        for (const auto& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pair[1]);
    std::vector<char> chunk(1 << 16);
    auto end = Clock::now() + std::chrono::seconds(120);
    while (Clock::now() < end && ::read(pair[0], chunk.data(), chunk.size()) > 0) {
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(pair[0]);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Unbounded, NoCallAbortsOnALargeArgument) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit";
#endif
    TempDir dir;
    // Under qemu-user every byte is emulated: a tenth of the output still
    // goes through the same loop, and the native run shows that it never
    // takes the memory of what it sends.
    DoorOptions options = hostile(dir, "huge", platform::emulated() ? 20000000 : 200000000);
    std::string drop = door32_sys("Jane Public", "janeq");
    dir.write("DOOR32.SYS", "2\r\n3\r\n" + drop.substr(std::string("0\r\n-1\r\n").size()));
    // 200 MB of od_repeat and fields of INT_MAX columns, in 128 MB.
    EXPECT_EQ(run_limited(options, rlim_t{128} << 20), 10);
}

// A field where the cursor's column is unknown keeps to the screen's width.
TEST(Unbounded, AFieldOfUnknownColumnIsClippedToTheScreen) {
    for (int width : {0, INT_MAX}) {
        SCOPED_TRACE(width);
        TempDir dir;
        DoorRun door(hostile(dir, "field", width));
        ASSERT_TRUE(door.wait_for("start"));
        door.type("ab\r");
        ASSERT_TRUE(door.wait_for("ended 13 'startab'")) << door.screen.all();
        EXPECT_LT(std::count(door.output.begin(), door.output.end(), ' '), 200);
        EXPECT_EQ(door.screen.row(0).substr(0, 7), "startab") << door.screen.all();
        EXPECT_EQ(door.wait_exit(), 10);
    }
}

// The warning hook asks for input: each call returns at once, the field
// being edited goes on with what the caller types, and a later warning to
// a plain wait still comes.
TEST(WarningHook, InputInsideItReturnsAtOnceAndTheFieldGoesOn) {
    TempDir dir;
    DoorRun door(hostile(dir, "warn"));
    ASSERT_TRUE(door.wait_for("start"));
    ASSERT_TRUE(door.wait_until([&] { return fs::exists(dir.file("warn.txt")); }))
        << door.screen.all();
    door.type("ab\r");
    ASSERT_TRUE(door.wait_for("ended 13 'startab'")) << door.screen.all();
    EXPECT_EQ(dir.read("warn.txt"), "key 0 answer 0 line '' edit 0 'y'\n");
    EXPECT_EQ(door.wait_exit(), 10); // the inactivity limit ends the second wait
    EXPECT_EQ(dir.read("warn.txt"), "key 0 answer 0 line '' edit 0 'y'\n"
                                    "key 0 answer 0 line '' edit 0 'y'\n");
}

// A plain caller's line is shown again after each warning the hook draws,
// also after a hook that asked for input.
TEST(WarningHook, APlainCallersLineIsShownAgainAfterEveryWarning) {
    TempDir dir;
    DoorOptions options = hostile(dir, "warn");
    dir.write("DOOR32.SYS", door32_sys("Jane Public", "janeq", 0));
    DoorRun door(options);
    ASSERT_TRUE(door.wait_for("start"));
    ASSERT_TRUE(door.wait_until([&] { return dir.read("warn.txt").size() > 0; }));
    door.type("a"); // a key re-arms the warning
    // The second warning, and the line after it.
    ASSERT_TRUE(door.wait_until([&] {
        auto first = door.output.find("[warned 3]");
        auto last = door.output.rfind("[warned 3]");
        return last != first && door.output.size() >= last + 16;
    })) << testing::PrintToString(door.output);
    EXPECT_EQ(door.output.substr(door.output.rfind("[warned 3]"), 16), "[warned 3]starta")
        << testing::PrintToString(door.output);
    door.type("\r");
    EXPECT_TRUE(door.wait_for("ended 13 'starta'")) << door.screen.all();
    door.hang_up();
    door.wait_exit();
}

// A BBSDEV.DRP whose call ends `seconds` from now; no limit when 0.
std::string bbsdev(int seconds) {
    char deadline[32] = "";
    std::time_t end = std::time(nullptr) + seconds;
    std::tm utc{};
    if (seconds > 0)
        std::strftime(deadline, sizeof deadline, "%Y-%m-%dT%H:%M:%SZ", ::gmtime_r(&end, &utc));
    return std::string("1.0\nstdio\n\nslowq\nkey\n80\n25\nY\nN\n\n") + deadline +
           "\nCP437\nen\nTestBBS 1\nBoard\nsysop\nuser\n1\nN\n";
}

// A caller who reads slowly, or not at all, never holds the node past the
// time limit, nor past the inactivity limit for one whole write.
TEST(SlowCaller, IsCutOffAtTheTimeLimitAndWithinTheStallLimit) {
    struct Case {
        const char* what;
        int seconds_left;
        int inactivity;
        bool reads; // a byte every half second
        const char* logged;
    };
    const Case cases[] = {
        {"stops reading, 4 s left, 60 s inactivity", 4, 60, false, "end: time up, exit level 10"},
        {"reads a byte now and then, 4 s left", 4, 60, true, "end: time up, exit level 10"},
        {"reads a byte now and then, no time limit, 3 s inactivity", 0, 3, true,
         "end: inactivity, exit level 10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        dir.write("BBSDEV.DRP", bbsdev(c.seconds_left));
        DoorOptions options = hostile(dir, "flood", 4000000);
        options.env = {"BBSDEV_DRP=" + dir.file("BBSDEV.DRP"),
                       "ODOORS_INACTIVITY=" + std::to_string(c.inactivity),
                       "ODOORS_LOG=" + dir.file("door.log")};
        DoorRun door(options);
        int status = -1;
        auto end = Clock::now() + std::chrono::seconds(20);
        while (status < 0 && Clock::now() < end) {
            status = door.wait_exit(false, 500);
            char byte;
            if (status < 0 && c.reads) (void)!::read(door.master, &byte, 1);
        }
        EXPECT_EQ(status, 10);
        std::string log = dir.read("door.log");
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
}

} // namespace
