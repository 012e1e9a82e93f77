// The door's path from start to end, as a caller on a terminal meets it.
#include "door_harness.h"
#include "platform.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace {

constexpr const char* question = "Would you like to add some valedicts [Y/n]:";

struct Call {
    TempDir dir;
    std::unique_ptr<DoorRun> door;

    explicit Call(std::vector<std::string> args = {},
                  std::string drop = door32_sys("Jane Public", "janeq")) {
        dir.write("DOOR32.SYS", drop);
        if (args.empty()) args.push_back(dir.path());
        DoorOptions options;
        options.args = args;
        options.cwd = dir.path();
        door = std::make_unique<DoorRun>(options);
    }
};

TEST(DoorFlow, BannerTextsAndColours) {
    Call call;
    ASSERT_TRUE(call.door->wait_for(question)) << call.door->screen.all();
    const Screen& s = call.door->screen;
    EXPECT_EQ(s.row(0), "VALEDICT v1.05, Aug 14 2003.  The Valedict Quote Door.");
    EXPECT_EQ(s.cell(0, 0).colour, 11);  // bright cyan
    EXPECT_EQ(s.cell(0, 29).colour, 11); // the second of the two blanks
    EXPECT_EQ(s.cell(0, 30).colour, 15); // bright white
    EXPECT_EQ(s.cell(0, 53).colour, 15);
    EXPECT_NE(s.row(1).find("valedict"), std::string::npos);
    EXPECT_NE(s.row(1).find("BSD 2-Clause"), std::string::npos);
    for (int c = 0; c < static_cast<int>(s.row(1).size()); ++c) EXPECT_EQ(s.cell(1, c).colour, 9);
    EXPECT_EQ(s.row(2), "");
    int q = s.find_row(question);
    EXPECT_EQ(s.row(q), question); // no blank after the colon
    EXPECT_EQ(s.cell(q, 0).colour, 7);
    EXPECT_EQ(s.cursor_row(), q);
    EXPECT_EQ(s.cursor_col(), static_cast<int>(std::string(question).size()));
    // Before anything is drawn the keypad goes numeric, so that its cursor
    // keys never come as ESC O p and the like.
    EXPECT_EQ(call.door->output.substr(0, 2), "\x1b>");
    call.door->type("n");
    EXPECT_EQ(call.door->wait_exit(), 10);
}

struct Answer {
    std::string keys;
    std::string echo;
};

void PrintTo(const Answer& a, std::ostream* os) {
    *os << testing::PrintToString(a.keys);
}

class Answers : public testing::TestWithParam<Answer> {};

TEST_P(Answers, EchoedOnTheQuestionLine) {
    Call call;
    ASSERT_TRUE(call.door->wait_for(question));
    call.door->type(GetParam().keys);
    ASSERT_TRUE(call.door->wait_for(std::string(question) + GetParam().echo));
    const Screen& s = call.door->screen;
    int q = s.find_row(question);
    EXPECT_EQ(s.row(q), question + GetParam().echo);
    EXPECT_EQ(s.cell(q, static_cast<int>(std::string(question).size())).colour, 11);
    if (GetParam().echo == "Yes") {
        // The entry step begins; an empty first line ends it.
        ASSERT_TRUE(call.door->wait_for("1:"));
        call.door->type("\r");
    }
    EXPECT_EQ(call.door->wait_exit(), 10);
}

INSTANTIATE_TEST_SUITE_P(Keys, Answers,
                         testing::Values(Answer{"N", "No"}, Answer{"n", "No"}, Answer{"Y", "Yes"},
                                         Answer{"y", "Yes"}, Answer{"\r", "Yes"},
                                         Answer{"\n", "Yes"}, Answer{"\r\n", "Yes"},
                                         Answer{"x7 \x1b[A\tN", "No"}));

TEST(DoorFlow, CrLfAtTheQuestionIsOneEnter) {
    // Were the LF taken as a second Enter, the first entry prompt would end at once.
    Call call;
    ASSERT_TRUE(call.door->wait_for(question));
    call.door->type("\r");
    ASSERT_TRUE(call.door->wait_for("1:"));
    call.door->type("\n");
    call.door->type("hello\r");
    ASSERT_TRUE(call.door->wait_for("2:"));
    EXPECT_NE(call.door->screen.all().find("1: hello"), std::string::npos)
        << call.door->screen.all();
}

// A BBS starts the door on a hot key; what the caller typed after it, before
// the door's first screen, answers nothing the door asks. On a terminal and
// on a telnet socket.
TEST(DoorFlow, KeysTypedBeforeTheFirstScreenAreNoAnswer) {
    for (bool socket : {false, true}) {
        SCOPED_TRACE(socket ? "socket" : "terminal");
        TempDir dir;
        std::string drop = door32_sys("Jane Public", "janeq");
        if (socket) drop = "2\r\n3\r\n" + drop.substr(std::string("0\r\n-1\r\n").size());
        dir.write("DOOR32.SYS", drop);
        DoorOptions options;
        options.args = {dir.path()};
        options.cwd = dir.path();
        if (socket) options.link = DoorOptions::Link::SocketPair;
        options.typed_ahead = "\ry\x1b[A";
        DoorRun door(options);
        ASSERT_TRUE(door.wait_for(question)) << door.screen.all();
        door.type("n");
        ASSERT_TRUE(door.wait_for(std::string(question) + "No")) << door.screen.all();
        EXPECT_EQ(door.wait_exit(), 10);
        EXPECT_EQ(door.screen.find_row("1:"), -1) << door.screen.all();
        EXPECT_FALSE(std::filesystem::exists(dir.file("valedict.dat")));
    }
}

TEST(DoorFlow, WhichDropFileIsRead) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32_sys("Here Caller", "cwd"));
    auto run = [&](std::vector<std::string> args) {
        DoorOptions options;
        options.args = std::move(args);
        options.cwd = dir.path();
        options.separate_stderr = true;
        DoorRun door(options);
        EXPECT_TRUE(door.wait_for(question)) << door.err;
        door.type("N");
        return door.wait_exit();
    };
    EXPECT_EQ(run({}), 10);   // no argument: the working folder
    EXPECT_EQ(run({""}), 10); // empty: the same
    EXPECT_EQ(run({dir.path(), "extra", "more"}), 10);
}

TEST(DoorFlow, LongArgumentIsCutTo59Characters) {
    TempDir dir;
    std::string folder = dir.path() + "/";
    folder += std::string(59 - folder.size(), 'd');
    ASSERT_EQ(folder.size(), 59u);
    std::filesystem::create_directory(folder);
    std::ofstream(folder + "/door32.sys", std::ios::binary) << door32_sys("Long Path", "lp");
    // The first 59 characters name the folder; what follows never reaches the library.
    DoorOptions options;
    options.args = {folder + "/ignored/past/the/limit"};
    options.cwd = dir.path();
    options.separate_stderr = true;
    DoorRun door(options);
    ASSERT_TRUE(door.wait_for(question)) << door.err;
    door.type("N");
    EXPECT_EQ(door.wait_exit(), 10);

    // A path that does not exist is reported as cut, and the sysop is told why.
    DoorOptions missing = options;
    std::string other = folder.substr(0, 58) + "e";
    missing.args = {other + "/more"};
    DoorRun failing(missing);
    EXPECT_EQ(failing.wait_exit(), 1);
    EXPECT_NE(failing.err.find(": " + other +
                               ": no such drop file or folder; the path may have "
                               "been cut at 59 characters: pass the node folder "
                               "or a shorter path\n"),
              std::string::npos)
        << failing.err;
    EXPECT_EQ(std::count(failing.err.begin(), failing.err.end(), '\n'), 1) << failing.err;

    // One character short of the field: the path is whole, and not said to be cut.
    missing.args = {other.substr(0, 58)};
    DoorRun whole(missing);
    EXPECT_EQ(whole.wait_exit(), 1);
    EXPECT_NE(whole.err.find(": " + other.substr(0, 58) + ": no such drop file or folder\n"),
              std::string::npos)
        << whole.err;
}

TEST(DoorFlow, SysopMistakesEndTheDoorBeforeAnythingIsShown) {
    TempDir dir;
    dir.write("DOOR32.SYS", "0\r\n-1\r\n38400\r\n");
    struct Case {
        std::string arg;
        std::string message;
    };
    for (const Case& c :
         {Case{dir.file("nowhere"), dir.file("nowhere") + ": no such drop file or folder"},
          Case{dir.file("DOOR32.SYS"), dir.file("DOOR32.SYS") + ": file ends at line 3"},
          Case{dir.file("nothing/"), "no such drop file"}}) {
        DoorOptions options;
        options.args = {c.arg};
        options.cwd = dir.path();
        options.separate_stderr = true;
        DoorRun door(options);
        EXPECT_EQ(door.wait_exit(), 1);
        EXPECT_EQ(door.output, "") << c.arg;
        EXPECT_NE(door.err.find(c.message), std::string::npos) << door.err;
        EXPECT_EQ(door.err.find("cut at"), std::string::npos) << door.err; // short paths are whole
        EXPECT_EQ(std::count(door.err.begin(), door.err.end(), '\n'), 1) << door.err;
    }
}

TEST(DoorFlow, HelpAndVersionAnswerASysopAtTheShell) {
    TempDir dir; // no drop file: none is looked for
    struct Case {
        std::string program, arg, first_line;
    };
    for (const Case& c :
         {Case{door_path(), "--version",
               "valedict " VALEDICT_VERSION " (libODoors " ODOORS_VERSION ")\r\n"},
          Case{door_path(), "--help", "usage: valedict [DROP-FILE | NODE-FOLDER]\r\n"},
          Case{door_path(), "-h", "usage: valedict [DROP-FILE | NODE-FOLDER]\r\n"},
          Case{VALEDICT_SYSOP, "--version", "valedict-sysop " VALEDICT_VERSION "\r\n"}}) {
        DoorOptions options;
        options.program = c.program;
        options.args = {c.arg};
        options.cwd = dir.path();
        options.separate_stderr = true;
        DoorRun run(options);
        EXPECT_EQ(run.wait_exit(), 0) << c.program << " " << c.arg << ": " << run.err;
        EXPECT_EQ(run.output.substr(0, c.first_line.size()), c.first_line) << run.output;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.output.find('\x1b'), std::string::npos); // text for a shell, no colours
    }
}

// The last screen held for a BBS that clears it the moment the door ends:
// until a key pressed after it showed, or the seconds run out; never after a
// hang-up or a signal, nor after the library's own end of the call. A hang-up
// or a signal during the hold ends the door as it would at any other time.
TEST(DoorFlow, LingerHoldsTheLastScreenUntilAKey) {
    enum class Act { Key, Nothing, HangUp, Sighup, Sigterm, Sigquit };
    struct Case {
        const char* name;
        std::string end_door_mode; // empty: valedict, answering N
        std::string linger;
        Act act;
        bool holds;
        int status;
        std::string logged;
        std::string answer = "N";
        bool socket = false;
        std::vector<std::string> env = {};
    };
    const Case cases[] = {
        {"a key", "", "600", Act::Key, true, 10, "end: door, exit level 10"},
        {"keys typed ahead", "", "600", Act::Key, true, 10, "end: door", "N\r\r"},
        {"telnet on a socket", "", "600", Act::Key, true, 10, "end: door", "N", true},
        {"the seconds", "", "1", Act::Nothing, false, 10, "end: door, exit level 10"},
        {"a hang-up", "", "600", Act::HangUp, true, 10, "end: hang-up"},
        {"SIGHUP", "", "600", Act::Sighup, true, 10, "end: hang-up SIGHUP, exit level 10"},
        {"SIGTERM", "", "600", Act::Sigterm, true, 10, "end: signal SIGTERM, exit level 10"},
        {"SIGQUIT", "", "600", Act::Sigquit, true, 128 + SIGQUIT, "end: signal SIGQUIT"},
        {"inactivity",
         "",
         "600",
         Act::Nothing,
         false,
         10,
         "end: inactivity",
         "",
         false,
         {"ODOORS_INACTIVITY=1"}},
        // Said harmless: standard error may be the caller's screen.
        {"no number", "", "soon\x1b[2J", Act::Nothing, false, 10,
         "'soon?[2J' is not a whole number of seconds; ignored"},
        {"a unit", "", "5s", Act::Nothing, false, 10, "'5s' is not a whole number"},
        {"the inactivity limit",
         "",
         "600",
         Act::Nothing,
         false,
         10,
         "end: door, exit level 10",
         "N",
         false,
         {"ODOORS_INACTIVITY=2"}},
        {"SIGQUIT, door without od_exit", "return", "600", Act::Sigquit, true, 128 + SIGQUIT,
         "end: signal SIGQUIT, without od_exit"},
        {"return from main", "return", "600", Act::Key, true, 0, "end: door, without od_exit"},
        {"keys typed while the door works", "busy", "600", Act::Key, true, 0, "end: door"},
        {"od_exit in the end callback", "quit", "600", Act::Nothing, false, 10,
         "end: inactivity, exit level 10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string drop = door32_sys("Jane Public", "janeq");
        if (c.socket) drop = "2\r\n3\r\n" + drop.substr(std::string("0\r\n-1\r\n").size());
        dir.write("DOOR32.SYS", drop);
        DoorOptions options;
        options.args = {dir.path()};
        if (!c.end_door_mode.empty()) {
            options.program = END_DOOR;
            options.args = {dir.file("DOOR32.SYS"), c.end_door_mode};
        }
        if (c.socket) options.link = DoorOptions::Link::SocketPair;
        options.cwd = dir.path();
        options.env = c.env;
        options.env.push_back("ODOORS_LINGER=" + c.linger);
        options.env.push_back("ODOORS_LOG=" + dir.file("door.log"));
        options.separate_stderr = true;
        DoorRun door(options);
        if (c.end_door_mode.empty()) {
            ASSERT_TRUE(door.wait_for(question)) << door.screen.all();
            door.type(c.answer);
            if (!c.answer.empty()) {
                ASSERT_TRUE(door.wait_for("[Y/n]:No"));
            }
        } else {
            ASSERT_TRUE(door.wait_for("ready")) << door.screen.all();
            if (c.end_door_mode != "quit") door.type("x");
            if (c.end_door_mode == "busy") {
                // An Enter typed before the last screen shows is no key for the hold.
                ASSERT_TRUE(door.wait_for("working"));
                door.type("\r");
                dir.write("go", "");
            }
            ASSERT_TRUE(door.wait_for(c.end_door_mode == "quit" ? "quitting" : "bye"));
        }
        if (c.holds) {
            // What is no key press leaves the hold alone.
            if (c.socket)
                door.type("\xff\xf1"); // telnet NOP
            else
                door.resize(30, 100);
            // Still there a good while after its last screen, which a door
            // that holds for 600 s cannot fail; the terminal is still raw.
            EXPECT_EQ(door.wait_exit(true, 1000), -1) << "ended without a key";
            termios during{};
            if (!c.socket && door.terminal_mode(during)) {
                EXPECT_EQ(during.c_lflag & (ECHO | ICANON), 0u) << "the terminal went back early";
            }
        }
        if (c.act == Act::Key) door.type(" ");
        if (c.act == Act::HangUp) door.hang_up();
        if (c.act == Act::Sighup) door.signal(SIGHUP);
        if (c.act == Act::Sigterm) door.signal(SIGTERM);
        if (c.act == Act::Sigquit) door.signal(SIGQUIT);
        auto sent = door.output.size();
        EXPECT_EQ(door.wait_exit(), c.status);
        if (c.holds) {
            EXPECT_EQ(door.output.size(), sent) << "wrote after the hold";
        }
        std::string log = dir.read("door.log") + door.err;
        EXPECT_NE(log.find(c.logged), std::string::npos) << log;
        // The log's own prefix names the program; the line does not again.
        EXPECT_EQ(dir.read("door.log").find("]: valedict: "), std::string::npos) << log;
    }
}

TEST(DoorFlow, TerminalModeIsRawWhileRunningAndRestoredAfter) {
    Call call;
    termios before = call.door->initial_mode;
    ASSERT_NE(before.c_lflag & ECHO, 0u);
    ASSERT_TRUE(call.door->wait_for(question));
    termios during{};
    ASSERT_TRUE(call.door->terminal_mode(during));
    EXPECT_EQ(during.c_lflag & (ECHO | ICANON), 0u);
    call.door->type("N");
    ASSERT_EQ(call.door->wait_exit(), 10);
    termios after{};
    ASSERT_TRUE(call.door->terminal_mode(after));
    EXPECT_EQ(after.c_lflag & (ECHO | ICANON | ISIG), before.c_lflag & (ECHO | ICANON | ISIG));
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
}

TEST(DoorFlow, SignalsEndTheDoorWithTheTerminalRestored) {
    // A hang-up's signals end the call with its exit level; every other
    // signal keeps its own end, but the terminal goes back first.
    const int hang_ups[] = {SIGHUP, SIGTERM, SIGINT};
    for (int signo : {SIGHUP, SIGTERM, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,
                      SIGPROF, SIGXCPU, SIGSEGV, SIGABRT}) {
        bool hang_up =
            std::find(std::begin(hang_ups), std::end(hang_ups), signo) != std::end(hang_ups);
        Call call;
        termios before = call.door->initial_mode;
        ASSERT_TRUE(call.door->wait_for(question));
        auto sent = call.door->output.size();
        call.door->signal(signo);
        EXPECT_EQ(call.door->wait_exit(), hang_up ? 10 : 128 + signo) << strsignal(signo);
        std::string wrote = call.door->output.substr(sent);
        // qemu-user tells of the core it dumps for the program, on the terminal.
        if (platform::emulated() && wrote.starts_with("qemu: uncaught target signal"))
            wrote.erase(0, wrote.find('\n') + 1);
        EXPECT_EQ(wrote, "") << "wrote after " << strsignal(signo);
        termios after{};
        ASSERT_TRUE(call.door->terminal_mode(after));
        EXPECT_EQ(after.c_lflag & (ECHO | ICANON), before.c_lflag & (ECHO | ICANON))
            << strsignal(signo);
    }
}

TEST(DoorFlow, JobControlGivesTheTerminalBackAndTakesItAgain) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32_sys("Jane Public", "janeq"));
    DoorOptions options;
    options.args = {dir.path()};
    options.cwd = dir.path();
    options.job_control = true;
    DoorRun door(options);
    ASSERT_TRUE(door.wait_for(question)) << door.screen.all();
    pid_t job = door.door_pid();
    if (!platform::process_state(job)) GTEST_SKIP() << "this system cannot tell a process's state";
    auto state = [&] { return platform::process_state(job).value_or('?'); };
    auto mode_becomes = [&](bool raw) {
        for (int tries = 0; tries < 500; ++tries) {
            termios now{};
            if (door.terminal_mode(now) && ((now.c_lflag & (ECHO | ICANON)) == 0) == raw)
                return true;
            ::usleep(10000);
        }
        return false;
    };
    ::kill(job, SIGTSTP);
    for (int tries = 0; tries < 500 && state() != 'T'; ++tries) ::usleep(10000);
    EXPECT_EQ(state(), 'T') << "the door did not stop";
    EXPECT_TRUE(mode_becomes(false)) << "the terminal stayed raw while stopped";
    ::kill(job, SIGCONT);
    EXPECT_TRUE(mode_becomes(true)) << "raw mode did not come back";
    door.type("N"); // acts at once: no Enter needed
    EXPECT_TRUE(door.wait_for("[Y/n]:No")) << door.screen.all();
    EXPECT_EQ(door.wait_exit(), 10);
}

TEST(DoorFlow, HangUpAtTheQuestionEndsTheDoor) {
    Call call;
    ASSERT_TRUE(call.door->wait_for(question));
    call.door->hang_up();
    EXPECT_EQ(call.door->wait_exit(), 10);
}

} // namespace
