// The door on the connections BBSes give it: a socket, a raw telnet socket
// with a real telnet client, the time limits, and each character set.
#include "door_harness.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace {

constexpr const char* question = "Would you like to add some valedicts [Y/n]:";

std::string door32(int comm, int handle, int ansi = 1) {
    return std::to_string(comm) + "\r\n" + std::to_string(handle) +
           "\r\n38400\r\nTest BBS\r\n1\r\nSock Caller\r\nsockq\r\n30\r\n60\r\n" +
           std::to_string(ansi) + "\r\n2\r\n";
}

std::unique_ptr<DoorRun> start(const TempDir& dir, DoorOptions options) {
    options.args = {dir.path()};
    options.cwd = dir.path();
    return std::make_unique<DoorRun>(options);
}

TEST(Socket, ACallerSavesOverTheSocketAndTheNextSeesIt) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32(2, 3));
    DoorOptions options;
    options.link = DoorOptions::Link::SocketPair;
    auto first = start(dir, options);
    ASSERT_TRUE(first->wait_for(question)) << first->screen.all();
    first->type("Y");
    ASSERT_TRUE(first->wait_for("1:"));
    first->type("over the socket\r\r");
    ASSERT_TRUE(first->wait_for("Save these valedicts [Y/n]:"));
    first->type("\r");
    EXPECT_EQ(first->wait_exit(), 10);
    EXPECT_EQ(dir.read("valedict.dat").size(), 386u);

    auto second = start(dir, options);
    ASSERT_TRUE(second->wait_for(question));
    EXPECT_GE(second->screen.find_row("These Valedicts left by sockq"), 0) << second->screen.all();
    EXPECT_GE(second->screen.find_row("  over the socket"), 0);
    // The caller hangs up at the question: the door ends at once.
    second->hang_up();
    EXPECT_EQ(second->wait_exit(), 10);
}

// A client that negotiates as it connects (PuTTY) stays in line mode, and
// holds a terminal's answer back, until its requests are answered: the
// probe goes out only after the answers.
TEST(Socket, AProbeWaitsUntilTheClientsRequestsAreAnswered) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32(2, 3));
    DoorOptions options;
    options.program = TOUR_DOOR;
    options.args = {dir.file("DOOR32.SYS"), TOUR_FILES};
    options.link = DoorOptions::Link::SocketPair;
    options.answers = true;
    DoorRun door(options);
    door.type("\xff\xfd\x03\xff\xfb\x1f"); // DO SGA, WILL NAWS
    ASSERT_TRUE(door.wait_for("Sign the guest form")) << door.screen.all();
    auto answered = door.output.find("\xff\xfb\x03"); // WILL SGA
    auto probe = door.output.find("\x1b[6n");
    ASSERT_NE(answered, std::string::npos);
    ASSERT_NE(probe, std::string::npos);
    EXPECT_LT(answered, probe);
    door.hang_up();
    EXPECT_EQ(door.wait_exit(), 10);
}

TEST(Socket, TheSysopCanForceEitherLink) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32(0, 3)); // says local, yet the socket is there
    DoorOptions options;
    options.link = DoorOptions::Link::SocketPair;
    options.env = {"ODOORS_IO=socket"};
    auto forced = start(dir, options);
    ASSERT_TRUE(forced->wait_for(question)) << forced->screen.all();
    forced->type("N");
    EXPECT_EQ(forced->wait_exit(), 10);

    dir.write("DOOR32.SYS", door32(2, 9)); // no such descriptor
    options.link = DoorOptions::Link::Pty;
    options.separate_stderr = true;
    auto broken = start(dir, options);
    EXPECT_EQ(broken->wait_exit(), 1);
    EXPECT_NE(broken->err.find("handle 9 is not an open socket"), std::string::npos) << broken->err;
    EXPECT_EQ(broken->output, "");

    options.env = {"ODOORS_IO=stdio"}; // comm type 2 on a terminal: the terminal anyway
    auto pty = start(dir, options);
    ASSERT_TRUE(pty->wait_for(question)) << pty->err;
    pty->type("N");
    EXPECT_EQ(pty->wait_exit(), 10);
}

TEST(Links, EveryLinkShowsTheSameScreens) {
    TempDir dir;
    std::string record = data_record({"words"}, "who");
    dir.write("valedict.dat", record);
    auto screens = [&](DoorOptions options, int comm) {
        dir.write("DOOR32.SYS", door32(comm, comm == 2 ? 3 : -1));
        auto door = start(dir, options);
        EXPECT_TRUE(door->wait_for(question));
        door->type("Y");
        EXPECT_TRUE(door->wait_for("1:"));
        door->type("\r");
        EXPECT_EQ(door->wait_exit(), 10);
        return door->screen.all();
    };
    DoorOptions cooked, raw, socket;
    raw.raw_pty = true;
    socket.link = DoorOptions::Link::SocketPair;
    std::string expected = screens(cooked, 0);
    EXPECT_NE(expected.find("  words"), std::string::npos);
    EXPECT_EQ(screens(raw, 0), expected);
    EXPECT_EQ(screens(cooked, 2), expected); // comm type 2 on a terminal: the terminal
    EXPECT_EQ(screens(socket, 2), expected);
}

// A call the library ends keeps its reason on screen: the door waits (in
// poll, for a key or a hang-up) before it goes.
void expect_last_words_stay(DoorRun& door, const std::string& why, bool by_key) {
    ASSERT_TRUE(door.wait_for(why)) << door.screen.all();
    std::optional<bool> paused = false;
    for (int tries = 0; tries < 200 && paused == false; ++tries) {
        paused = door.waiting_in_poll();
        if (paused == false) ::usleep(10000);
    }
    // Where the system cannot tell, the reason on screen and the exit status are checked alone.
    EXPECT_NE(paused, false) << "the door ended without leaving its last words up";
    if (by_key)
        door.type(" ");
    else
        door.hang_up();
    EXPECT_EQ(door.wait_exit(), 10);
}

TEST(TimeLimits, InactivityEndsTheCallWithoutSaving) {
    TempDir dir;
    std::string old = data_record({"old"}, "");
    dir.write("valedict.dat", old);
    dir.write("DOOR32.SYS", door32(0, -1));
    DoorOptions options;
    options.env = {"ODOORS_INACTIVITY=1"};
    auto door = start(dir, options);
    ASSERT_TRUE(door->wait_for(question));
    door->type("Y");
    ASSERT_TRUE(door->wait_for("1:"));
    door->type("never confirmed\r\r");
    ASSERT_TRUE(door->wait_for("Save these"));
    expect_last_words_stay(*door, "No key pressed for too long; back to the BBS.", true);
    EXPECT_EQ(dir.read("valedict.dat"), old);
}

TEST(TimeLimits, TheCallersTimeRunsOut) {
    TempDir dir;
    // DOOR.SYS: three seconds left, and the minutes agree.
    std::string lines[52];
    lines[0] = "COM0:";
    lines[3] = "1";
    lines[9] = "Short Time";
    lines[17] = "3";
    lines[18] = "0";
    lines[19] = "GR";
    std::string file;
    for (const auto& l : lines) file += l + "\r\n";
    dir.write("DOOR.SYS", file);
    auto door = start(dir, {});
    ASSERT_TRUE(door->wait_for(question));
    expect_last_words_stay(*door, "Your time is up; back to the BBS.", false);
}

TEST(TimeLimits, ZeroMinutesLeftIsUnderAMinuteNotNoLimit) {
    TempDir dir;
    // Synchronet writes 0 minutes when less than one is left.
    std::string file = door32(0, -1);
    file.replace(file.find("\r\n60\r\n"), 6, "\r\n0\r\n");
    dir.write("DOOR32.SYS", file);
    DoorOptions options;
    options.env = {"ODOORS_LOG=" + dir.file("door.log")};
    auto door = start(dir, options);
    ASSERT_TRUE(door->wait_for(question));
    door->type("n");
    EXPECT_EQ(door->wait_exit(), 10);
    std::string log = dir.read("door.log");
    auto at = log.find(", time left ");
    ASSERT_NE(at, std::string::npos) << log;
    int left = std::atoi(log.c_str() + at + 12);
    EXPECT_GT(left, 0) << log;
    EXPECT_LT(left, 60) << log;
}

TEST(Input, ALoneEscapeIsAKeyAndLeavesWhatFollows) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32(0, -1));
    auto door = start(dir, {});
    ASSERT_TRUE(door->wait_for(question));
    door->type("Y");
    ASSERT_TRUE(door->wait_for("1:"));
    door->type("\x1b");
    ::sleep(1); // as SyncTERM sends an Escape alone
    door->type("[xy\r");
    ASSERT_TRUE(door->wait_for("2:"));
    door->type("\x1b"
               "ab\x1b[Dc\r\r"); // glued to a key; an arrow is swallowed whole
    ASSERT_TRUE(door->wait_for("Save these"));
    door->type("N");
    EXPECT_EQ(door->wait_exit(), 10);
    EXPECT_GE(door->screen.find_row("1: [xy"), 0) << door->screen.all();
    EXPECT_GE(door->screen.find_row("2: abc"), 0) << door->screen.all();
}

TEST(Socket, AHandleThatIsNoConnectionIsRefused) {
    struct Case {
        const char* what;
        int type;
        bool listen;
    };
    for (Case c : {Case{"listening", SOCK_STREAM, true}, Case{"UDP", SOCK_DGRAM, false},
                   Case{"not connected", SOCK_STREAM, false}}) {
        TempDir dir;
        dir.write("DOOR32.SYS", door32(2, 3));
        int fd = ::socket(AF_INET, c.type | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
        if (c.listen) {
            ASSERT_EQ(::listen(fd, 1), 0);
        }
        DoorOptions options;
        options.link = DoorOptions::Link::GivenSocket;
        options.given_socket = fd;
        options.separate_stderr = true;
        auto door = start(dir, options);
        EXPECT_EQ(door->wait_exit(), 1) << c.what;
        ::close(fd);
        EXPECT_NE(door->err.find(dir.file("DOOR32.SYS") + ": handle 3"), std::string::npos)
            << c.what << ": " << door->err;
        EXPECT_EQ(std::count(door->err.begin(), door->err.end(), '\n'), 1) << door->err;
    }
}

TEST(Socket, ACallerWhoStopsReadingIsHungUpOn) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32(2, 3));
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    int small = 4096;
    ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    DoorOptions options;
    options.link = DoorOptions::Link::GivenSocket;
    options.given_socket = pair[1];
    options.env = {"ODOORS_INACTIVITY=1"};
    auto door = start(dir, options);
    ::close(pair[1]);
    door->master = pair[0];
    ASSERT_TRUE(door->wait_for(question));
    door->type("Y");
    ASSERT_TRUE(door->wait_for("1:"));
    // Keys whose echo fills the door's side, and nothing read any more.
    ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
    std::string keys;
    for (int i = 0; i < 20000; ++i) keys += "a\x7f";
    (void)!::write(pair[0], keys.data(), keys.size());
    EXPECT_EQ(door->wait_exit(false), 10);
}

TEST(Links, TheLastBytesReachARelayThatStopsWhenTheDoorEnds) {
    for (auto link : {DoorOptions::Link::Pty, DoorOptions::Link::SocketPair}) {
        TempDir dir;
        dir.write("DOOR32.SYS", door32(link == DoorOptions::Link::Pty ? 0 : 2, 3));
        DoorOptions options;
        options.link = link;
        auto door = start(dir, options);
        ASSERT_TRUE(door->wait_for(question));
        door->type("N");
        EXPECT_EQ(door->relay_until_exit(), 10);
        // The attributes reset and the cursor shown again at the end, so that
        // the BBS's next text is not in the door's colour.
        const std::string last = "No\n\r\x1b[m\x1b[?25h";
        EXPECT_GE(door->output.size(), last.size());
        EXPECT_EQ(door->output.substr(door->output.size() - last.size()), last)
            << (link == DoorOptions::Link::Pty ? "pty" : "socket");
    }
}

// A door asks which set its text goes out in, prints UTF-8 text in it, and
// asks which modifiers came with a key, whichever form the client sent.
TEST(Charsets, TheDoorLearnsTheSetAndEachKeysModifiers) {
    for (auto [named, said, text] :
         {std::tuple{"", "CP437", "[café ?]"}, std::tuple{"UTF-8", "UTF-8", "[café €]"}}) {
        TempDir dir;
        dir.write("DOOR32.SYS", door32(0, -1));
        DoorOptions options;
        options.program = END_DOOR;
        options.args = {dir.file("DOOR32.SYS"), "keys"};
        options.env = {std::string("ODOORS_CHARSET=") + named};
        options.utf8_screen = std::string(said) == "UTF-8";
        DoorRun door(options);
        ASSERT_TRUE(door.wait_for(std::string("charset ") + said)) << door.screen.all();
        EXPECT_GE(door.screen.find_row(std::string("utf-8 ") + text), 0) << door.screen.all();
        door.type("\x1b[1;5D");  // xterm's Ctrl-Left
        door.type("\x1b\x1b[A"); // urxvt's Alt-Up
        door.type("\x1b[J");     // st's Ctrl-End
        door.type("x");
        ASSERT_TRUE(door.wait_for("key 120 mods 0")) << door.screen.all();
        EXPECT_GE(door.screen.find_row("key 258 mods 4"), 0) << door.screen.all();
        EXPECT_GE(door.screen.find_row("key 256 mods 2"), 0);
        EXPECT_GE(door.screen.find_row("key 261 mods 4"), 0);
        door.type("q");
        EXPECT_EQ(door.wait_exit(), 10);
    }
}

// Escape among od_get_answer's keys: a lone Escape, given up on as the
// start of a sequence, is taken; a key not among them is not.
TEST(Charsets, AnEscapeAmongTheAnswersIsTaken) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32(0, -1));
    DoorOptions options;
    options.program = END_DOOR;
    options.args = {dir.file("DOOR32.SYS"), "answer"};
    DoorRun door(options);
    ASSERT_TRUE(door.wait_for("answer?")) << door.screen.all();
    door.type("x\x1b");
    ASSERT_TRUE(door.wait_for("answer 27")) << door.screen.all();
    door.type("q");
    EXPECT_EQ(door.wait_exit(), 10);
    EXPECT_EQ(door.screen.find_row("answer 27") + 1, door.screen.find_row("answer 81"));
}

TEST(Charsets, NoAnsiMeansNoEscapeAndPlainBorders) {
    TempDir dir;
    std::string record = data_record({"words"}, "who");
    dir.write("valedict.dat", record);
    dir.write("DOOR32.SYS", door32(0, -1, 0));
    auto door = start(dir, {});
    ASSERT_TRUE(door->wait_for(question));
    door->type("N");
    EXPECT_EQ(door->wait_exit(), 10);
    EXPECT_EQ(door->output.find('\x1b'), std::string::npos);
    for (char c : door->output) EXPECT_LT(static_cast<unsigned char>(c), 0x80);
    int top = door->screen.find_row("+====");
    ASSERT_GE(top, 0) << door->screen.all();
    EXPECT_EQ(door->screen.row(top), "+" + std::string(71, '=') + "+");
    EXPECT_EQ(door->screen.row(top + 1), "  words");
    EXPECT_EQ(door->screen.row(top + 2), "+" + std::string(71, '=') + "+");
}

TEST(Charsets, Utf8SendsBoxDrawingCharacters) {
    TempDir dir;
    std::string record = data_record({"words"}, "");
    dir.write("valedict.dat", record);
    dir.write("DOOR32.SYS", door32(0, -1));
    DoorOptions options;
    options.env = {"ODOORS_CHARSET=UTF-8"};
    options.utf8_screen = true;
    auto door = start(dir, options);
    ASSERT_TRUE(door->wait_for(question));
    door->type("N");
    EXPECT_EQ(door->wait_exit(), 10);
    int top = door->screen.find_row("╔");
    ASSERT_GE(top, 0) << door->screen.all();
    std::string line;
    for (int i = 0; i < 71; ++i) line += "═";
    EXPECT_EQ(door->screen.row(top), "╔" + line + "╗");
    EXPECT_EQ(door->screen.row(top + 2), "╚" + line + "╝");
    EXPECT_EQ(door->screen.cell(top, 72).text, "╗");
    EXPECT_EQ(door->screen.cell(top, 0).colour, 9);
}

// The example loopback BBS, which starts the door on each call; Debian's
// telnet client, under a pty, is the caller.
class TelnetBbs {
  public:
    // Takes one call on a free port, and ends with the door's exit status.
    TelnetBbs(const TempDir& node, std::vector<std::string> door, std::vector<std::string> env,
              bool negotiate = true) {
        DoorOptions bbs;
        bbs.program = LOOPBACK_BBS;
        bbs.args = {"-1", "-u", "sockq"};
        if (!negotiate) bbs.args.push_back("-n");
        bbs.args.insert(bbs.args.end(), door.begin(), door.end());
        bbs.cwd = node.path();
        bbs.env = std::move(env);
        run = std::make_unique<DoorRun>(bbs);
        const std::string said = "telnet 127.0.0.1 ";
        if (!run->wait_for(said)) throw std::runtime_error("the BBS never listened");
        auto at = run->output.find(said) + said.size();
        port_ = std::atoi(run->output.c_str() + at);
    }

    // active: the client negotiates first, as PuTTY does (telnet does so
    // on a port written with a minus before it), and its terminal answers.
    std::unique_ptr<DoorRun> dial(std::vector<std::string> env = {"TERM=ansi"},
                                  bool active = false) {
        DoorOptions client;
        client.program = "/usr/bin/telnet";
        client.args = {"--", "127.0.0.1", (active ? "-" : "") + std::to_string(port_)};
        client.env = std::move(env);
        client.utf8_screen = true;
        client.answers = active;
        return std::make_unique<DoorRun>(client);
    }

    std::unique_ptr<DoorRun> run; // the BBS, whose exit status is the door's

  private:
    int port_ = 0;
};

TEST(Telnet, ARealTelnetClientCallsTheDoor) {
    ASSERT_EQ(::access("/usr/bin/telnet", X_OK), 0) << "needs Debian's inetutils-telnet";
    TempDir node;
    std::string record = data_record({"left here"}, "prev");
    node.write("valedict.dat", record);
    TelnetBbs bbs(node, {VALEDICT_DOOR, "{}"}, {"ODOORS_CHARSET=UTF-8"});
    auto client = bbs.dial();
    auto& door = bbs.run;

    ASSERT_TRUE(client->wait_for(question)) << client->screen.all();
    const Screen& s = client->screen;
    int banner = s.find_row("VALEDICT v1.05, Aug 14 2003.  The Valedict Quote Door.");
    ASSERT_GE(banner, 0) << s.all();
    EXPECT_EQ(s.cell(banner, 0).colour, 11);
    EXPECT_GE(s.find_row("These Valedicts left by prev"), 0);
    int top = s.find_row("╔");
    ASSERT_GE(top, 0) << s.all();
    EXPECT_EQ(s.cell(top, 72).text, "╗");
    EXPECT_EQ(s.row(top + 1), "  left here");
    EXPECT_EQ(s.cell(top + 2, 0).text, "╚");

    // The client's answers (among them the terminal type "ANSI", whose N
    // would answer the question) never reach the door as keys.
    client->type("Y");
    ASSERT_TRUE(client->wait_for(std::string(question) + "Yes")) << s.all();
    ASSERT_TRUE(client->wait_for("1:"));
    client->type("via telnet\r");
    ASSERT_TRUE(client->wait_for("2:"));
    client->type("\r");
    ASSERT_TRUE(client->wait_for("Save these valedicts [Y/n]:"));
    client->type("Y");
    EXPECT_EQ(door->wait_exit(), 10);
    std::string saved = node.read("valedict.dat");
    ASSERT_EQ(saved.size(), 386u);
    EXPECT_EQ(saved.substr(0, 11), std::string("via telnet\0", 11));
    EXPECT_EQ(saved.substr(70, 1), std::string(1, '\0'));
    EXPECT_EQ(saved.substr(350, 6), std::string("sockq\0", 6));
}

// Over a socket that no BBS negotiated on, a client that negotiates itself
// leaves line mode only once the door has read and answered its requests;
// the probe waits for them, so that its answers are not held back, and
// finds a UTF-8 terminal.
TEST(Telnet, TheProbeSettlesAClientInLineModeFirst) {
    ASSERT_EQ(::access("/usr/bin/telnet", X_OK), 0) << "needs Debian's inetutils-telnet";
    TempDir node;
    TelnetBbs bbs(node, {TOUR_DOOR, "{}", TOUR_FILES}, {"ODOORS_LOG=" + node.file("door.log")},
                  false);
    auto client = bbs.dial({"TERM=xterm"}, true);
    ASSERT_TRUE(client->wait_for("Sign the guest form")) << client->screen.all();
    EXPECT_GE(client->screen.find_row("\u2551   Welcome to the libODoors tour"), 0)
        << client->screen.all();
    client->type("q");
    EXPECT_EQ(bbs.run->wait_exit(), 10);
    std::string log = node.read("door.log");
    EXPECT_NE(log.find("probe: the terminal shows UTF-8; character set UTF-8"), std::string::npos)
        << log;
}

} // namespace
