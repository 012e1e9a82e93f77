// The example door that uses every call, as callers meet it: over a pty
// (ANSI and plain), over a telnet socket in UTF-8, with warnings, the end
// callback and the sysop log.
#include "door_harness.h"

#include <csignal>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

const std::string iac = "\xff";

std::unique_ptr<DoorRun> tour(const TempDir& dir, DoorOptions options) {
    options.program = TOUR_DOOR;
    options.args = {dir.path(), TOUR_FILES};
    options.cwd = dir.path();
    options.env.push_back("ODOORS_LOG=" + dir.file("door.log"));
    return std::make_unique<DoorRun>(options);
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// A pty in cooked mode, and one the BBS handed over raw.
class TourOverAPty : public testing::TestWithParam<bool> {};

TEST_P(TourOverAPty, ArtMenuFormAndPagedFile) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32_sys("Ann Real", "annie"));
    DoorOptions options;
    options.answers = true;
    options.raw_pty = GetParam();
    auto door = tour(dir, options);
    Screen& s = door->screen;
    ASSERT_TRUE(door->wait_for("Sign the guest form")) << s.all();
    ASSERT_TRUE(door->wait_for("Screen: 25x80"));
    // The art: drawn in its colours, pipe codes as colours, SAUCE never shown.
    int welcome = s.find_row("Welcome to the libODoors tour");
    ASSERT_GE(welcome, 0) << s.all();
    EXPECT_EQ(s.cell(welcome, 0).text, "\u2551");
    EXPECT_EQ(s.cell(welcome, 0).colour, 11);
    int pipes = s.find_row("Pipe codes work too: red green blue");
    ASSERT_GE(pipes, 0);
    EXPECT_EQ(s.cell(pipes, 0).colour, 14);
    EXPECT_EQ(s.cell(pipes, 22).colour, 12);
    EXPECT_EQ(door->output.find("Hidden sauce"), std::string::npos);
    EXPECT_EQ(door->output.find("never shown"), std::string::npos);
    // The status line: the library's clock at its right end, the last
    // column never written.
    EXPECT_EQ(s.find_row(" libODoors tour   Screen: 25x80"), 24);
    EXPECT_EQ(s.row(24).substr(68), "60 min left");
    EXPECT_EQ(s.cell(24, 40).colour, 0); // black on cyan
    EXPECT_EQ(s.row(13), std::string(27, ' ') + "1 of 5");
    // The bar moves with the arrows.
    EXPECT_EQ(s.cell(8, 8).colour, 15);
    door->type("\x1b[B");
    EXPECT_TRUE(door->wait_until([&] { return s.cell(9, 8).colour == 15; }));
    EXPECT_EQ(s.cell(8, 8).colour, 7);
    door->type("\x1bOA\r"); // up again (SS3), and chosen
    ASSERT_TRUE(door->wait_for("The guest form"));
    EXPECT_EQ(s.row(2), "Name:     annie");
    door->type("\x15Zed\tpw12");
    ASSERT_TRUE(door->wait_for("Password: ****"));
    EXPECT_EQ(s.row(2), "Name:     Zed");
    door->type("\r");
    ASSERT_TRUE(door->wait_for("Thank you, Zed (a password of 4 characters)."));
    std::size_t signed_at = door->output.size();
    door->type("x");
    ASSERT_TRUE(door->wait_until(
        [&] { return door->output.find("Sign the guest form", signed_at) != std::string::npos; }));
    door->type("b"); // the guest book, signed
    ASSERT_TRUE(door->wait_for("Zed (node 1)")) << s.all();
    EXPECT_EQ(s.row(23), std::string(44, ' ') + "1 of 1"); // the foot of the list
    door->type("\x1b");
    ASSERT_TRUE(door->wait_for("Sign the guest form"));
    door->resize(22, 100);    // the caller's window changes
    door->type("\x1b[5;1R "); // a cursor report nobody asked for changes nothing
    ASSERT_TRUE(door->wait_for("Screen: 22x100"));
    EXPECT_EQ(s.find_row("5x1"), -1);
    door->type(" ");
    ASSERT_TRUE(door->wait_for("Screen: 22x100"));
    // The guide pages above the status line: 20 lines, then a prompt that
    // erases itself.
    door->type("r");
    ASSERT_TRUE(door->wait_for("-- More: Enter or Space goes on, Q stops --"));
    EXPECT_EQ(s.row(0), "The guide to the tour");
    EXPECT_EQ(s.row(19), "Guide line 14 of 60.");
    EXPECT_EQ(s.row(20), "-- More: Enter or Space goes on, Q stops --");
    EXPECT_EQ(s.find_row(" libODoors tour   Screen: 22x100"), 21);
    door->type(" ");
    ASSERT_TRUE(door->wait_for("Guide line 34 of 60."));
    ASSERT_TRUE(door->wait_for("-- More"));
    EXPECT_EQ(count(door->screen.all(), "-- More"), 1);
    EXPECT_EQ(s.find_row(" libODoors tour   Screen: 22x100"), 21);
    door->type("q");
    ASSERT_TRUE(door->wait_for("Stopped. Press any key."));
    EXPECT_EQ(s.find_row("Guide line 35 of 60."), -1);
    door->type("x");
    ASSERT_TRUE(door->wait_for("Sign the guest form"));
    door->type("Q");
    ASSERT_TRUE(door->wait_for("Goodbye, annie."));
    EXPECT_EQ(door->wait_exit(), 10);
    std::string log = dir.read("door.log");
    EXPECT_NE(
        log.find("]: start: node 1, user annie, drop file " + dir.file("DOOR32.SYS") +
                 ", link terminal, character set CP437, ANSI, screen 25x80, time left 3600 s"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("]: end: door, exit level 10, after "), std::string::npos) << log;
    EXPECT_EQ(count(log, "\n"), 2);
}

INSTANTIATE_TEST_SUITE_P(TourDoor, TourOverAPty, testing::Bool());

// A telnet caller on a socket, whose emulator answers the probe (25 by 80).
DoorOptions on_socket(TempDir& dir) {
    dir.write("DOOR32.SYS",
              "2\r\n3\r\n38400\r\nTest BBS\r\n1\r\nSock Caller\r\nsockq\r\n30\r\n60\r\n1\r\n2\r\n");
    DoorOptions options;
    options.link = DoorOptions::Link::SocketPair;
    options.answers = true;
    return options;
}

TEST(TourDoor, TelnetSocketInUtf8WithAWindowThatChanges) {
    TempDir dir;
    DoorOptions options = on_socket(dir);
    options.utf8_screen = true;
    options.env = {"ODOORS_CHARSET=UTF-8"};
    auto door = tour(dir, options);
    ASSERT_TRUE(door->wait_for("Screen: 25x80")) << door->screen.all();
    EXPECT_GE(door->screen.find_row("\u2551   Welcome to the libODoors tour"), 0);
    door->screen.resize(30, 100); // the client's window, which NAWS reports
    door->type(iac + "\xfa\x1f" + std::string("\0\x64\0\x1e", 4) + iac + "\xf0"); // NAWS 100x30
    ASSERT_TRUE(door->wait_for("Screen: 30x100")) << door->screen.all(); // with no key pressed
    std::size_t drawn = door->output.size();
    door->type(iac + "\xfa\x1f" + std::string("\0\x64\0\x1e", 4) + iac + "\xf0"); // the same again
    door->type("s");
    ASSERT_TRUE(door->wait_for("The guest form"));
    EXPECT_EQ(count(door->output.substr(drawn), "Welcome to the libODoors tour"), 0); // no redraw
    door->type("\x15Zo\xc3\xab\x1b[D\x1b[D\x1b[3~\r"); // Zoë, then Delete on the o
    ASSERT_TRUE(door->wait_for("Name:     Z\u00eb"));
    door->type("\x1b"); // Escape leaves the form
    ASSERT_TRUE(door->wait_for("Screen: 30x100")) << door->screen.all();
    door->hang_up();
    EXPECT_EQ(door->wait_exit(), 10);
    std::string log = dir.read("door.log");
    EXPECT_NE(log.find("link socket, character set UTF-8"), std::string::npos) << log;
    EXPECT_NE(log.find("tour: call ended by the library, reason 1"), std::string::npos) << log;
    EXPECT_NE(log.find("end: hang-up, exit level 10"), std::string::npos) << log;
}

// A client claiming a huge window and changing it a thousand times in a
// burst, more than the door takes in one read, while the menu's list is up:
// the changes that have arrived are one redraw, which costs the bytes of its
// text, not of the claimed screen.
TEST(TourDoor, ABurstOfHugeWindowChangesIsOneRedraw) {
    TempDir dir;
    DoorOptions options = on_socket(dir);
    auto door = tour(dir, options);
    ASSERT_TRUE(door->wait_for("Screen: 25x80")) << door->screen.all();
    auto naws = [](int rows) {
        return iac + "\xfa\x1f" + std::string("\x03\xe8\x03", 3) + static_cast<char>(rows & 0xff) +
               iac + "\xf0";
    };
    std::string burst;
    for (int i = 0; i < 1000; ++i) burst += naws(i % 2 ? 999 : 1000);
    burst += naws(998); // a size not drawn for yet, however the door's reads fall
    std::size_t at = door->output.size();
    door->type(burst + "s");
    // The screen here is smaller than the claimed one: what was sent counts.
    ASSERT_TRUE(door->wait_until(
        [&] { return door->output.find("The guest form", at) != std::string::npos; }));
    std::string sent = door->output.substr(at);
    // The art goes out once a redraw; a 1000-column status line once a read.
    EXPECT_EQ(count(sent, "Welcome to the libODoors tour"), 1);
    EXPECT_NE(sent.find("Screen: 998x1000"), std::string::npos); // drawn for the last size
    EXPECT_LT(sent.size(), 16384u);
    door->hang_up();
    EXPECT_EQ(door->wait_exit(), 10);
}

TEST(TourDoor, TheProbeFindsAUtf8TerminalAndKeysMeanWhatTheClientMeans) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32_sys("Uma Utf", "uma"));
    DoorOptions options;
    options.utf8_screen = true;
    options.answers = true;
    auto door = tour(dir, options);
    ASSERT_TRUE(door->wait_for("Screen: 25x80")) << door->screen.all();
    EXPECT_GE(door->screen.find_row("\u2551   Welcome to the libODoors tour"), 0)
        << door->screen.all();
    door->type("s");
    ASSERT_TRUE(door->wait_for("The guest form"));
    door->type("\x15Zo\xc3\xab\r"); // Zoë typed in UTF-8
    ASSERT_TRUE(door->wait_for("Name:     Zo\u00eb")) << door->screen.all();
    // Escape and '[' with nothing after them: given up, they are Alt-[,
    // typed as '['; an Escape alone leaves.
    door->type("\x1b[");
    ASSERT_TRUE(door->wait_for("Password: *")) << door->screen.all();
    door->type("\x1b");
    ASSERT_TRUE(door->wait_for("Sign the guest form")) << door->screen.all();
    // 127 erases as Backspace does, after an 8 too.
    auto backspace_stays = [&] {
        door->type("s");
        ASSERT_TRUE(door->wait_for("The guest form"));
        door->type("\x15Zoe\b\x1b[D\x7f\r");
        ASSERT_TRUE(door->wait_until([&] { return door->screen.row(2) == "Name:     o"; }))
            << door->screen.all();
    };
    // This emulator answered as xterm does.
    backspace_stays();
    // SyncTERM's answer counts only while the probe waits for it: sent
    // unasked, it is no key.
    door->type("\x1b\x1b[=67;84;101;114;109;1;19c");
    ASSERT_TRUE(door->wait_for("Sign the guest form")) << door->screen.all();
    backspace_stays();
    // urxvt's Alt-Left (an Escape before the arrow) moves in the field and
    // never ends it as an Escape would.
    door->type("pw\x1b\x1b[D\x1b\x1bODx\r");
    ASSERT_TRUE(door->wait_for("Thank you, o (a password of 3 characters).")) << door->screen.all();
    // The key screen names the character set the probe chose and the
    // modifiers of xterm's Ctrl-Left and urxvt's Alt-Left (Left is 258).
    door->type("x");
    ASSERT_TRUE(door->wait_for("Sign the guest form"));
    door->type("k");
    ASSERT_TRUE(door->wait_for("Character set: UTF-8")) << door->screen.all();
    door->type("\x1b[1;5D\x1b\x1b[D");
    ASSERT_TRUE(door->wait_for("Key 258 Alt")) << door->screen.all();
    EXPECT_GE(door->screen.find_row("Key 258 Ctrl"), 0);
    door->hang_up();
    EXPECT_EQ(door->wait_exit(), 10);
}

// Over a pty, and over a socket that carries no telnet commands at all.
class PlainTour : public testing::TestWithParam<DoorOptions::Link> {};

TEST_P(PlainTour, NeverGetsAnEscapeAndASignalEndsIt) {
    TempDir dir;
    DoorOptions options;
    options.link = GetParam();
    bool socket = options.link == DoorOptions::Link::SocketPair;
    dir.write("DOOR32.SYS",
              socket
                  ? "2\r\n3\r\n38400\r\nTest BBS\r\n1\r\nPat Plain\r\npat\r\n30\r\n60\r\n0\r\n1\r\n"
                  : door32_sys("Pat Plain", "pat", 0));
    auto door = tour(dir, options);
    ASSERT_TRUE(door->wait_for("Pick 1-5")) << door->screen.all();
    EXPECT_GE(door->screen.find_row("|   Welcome to the libODoors tour  |"), 0);
    EXPECT_GE(door->screen.find_row("Pipe codes work too: red green blue"), 0);
    door->type("s");
    ASSERT_TRUE(door->wait_for("Name: pat"));
    // The clear screen left the cursor at column 1, also where FF is a line feed.
    EXPECT_EQ(door->screen.row(door->screen.find_row("The guest form")).find("The guest form"), 0u);
    door->type("\b\bl\x1b[Dx\r"); // no cursor keys: typing at the end only
    ASSERT_TRUE(door->wait_for("Password:"));
    door->type("ab\r");
    ASSERT_TRUE(door->wait_for("Thank you, plx (a password of 2 characters)."));
    // No key: the wait ends by itself and the menu comes back.
    ASSERT_TRUE(door->wait_until([&] { return count(door->output, "Pick 1-5") == 2; }));
    door->type("r");
    ASSERT_TRUE(door->wait_for("-- More"));
    door->type("\x1b");
    ASSERT_TRUE(door->wait_for("Stopped."));
    door->type(" ");
    ASSERT_TRUE(door->wait_until([&] { return count(door->output, "Pick 1-5") == 3; }));
    door->signal(SIGTERM);
    EXPECT_EQ(door->wait_exit(), 10);
    EXPECT_EQ(door->output.find('\x1b'), std::string::npos);
    std::string log = dir.read("door.log");
    EXPECT_NE(log.find("no ANSI"), std::string::npos) << log;
    EXPECT_NE(log.find("tour: call ended by the library, reason 4"), std::string::npos) << log;
    EXPECT_NE(log.find("end: signal SIGTERM, exit level 10"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(TourDoor, PlainTour,
                         testing::Values(DoorOptions::Link::Pty, DoorOptions::Link::SocketPair));

// A plain caller has no status line: the library's own warning line.
TEST(TourDoor, WarningsComeFirstAndTheFieldIsShownAgain) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32_sys("Sam Slow", "sam", 0));
    DoorOptions options;
    options.env = {"ODOORS_INACTIVITY=3", "ODOORS_WARN=2"};
    auto door = tour(dir, options);
    ASSERT_TRUE(door->wait_for("Pick 1-5"));
    door->type("s");
    ASSERT_TRUE(door->wait_for("The guest form"));
    door->type("\x15"
               "draft");
    ASSERT_TRUE(door->wait_for("Press a key within 2 seconds, or the call ends."));
    int warning = door->screen.find_row("Press a key within");
    ASSERT_TRUE(door->wait_for("draft"));
    EXPECT_EQ(door->screen.row(warning + 1), "Name: draft"); // the field again, under the warning
    std::size_t before = door->output.size();
    door->type("!"); // a key re-arms the warning: it comes again before the end
    ASSERT_TRUE(door->wait_for("No key pressed for too long; back to the BBS."));
    std::string after = door->output.substr(before);
    auto again = after.find("Press a key within 2 seconds");
    ASSERT_NE(again, std::string::npos);
    EXPECT_LT(again, after.find("No key pressed for too long"));
    door->type(" ");
    EXPECT_EQ(door->wait_exit(), 10);
    std::string log = dir.read("door.log");
    EXPECT_NE(log.find("tour: call ended by the library, reason 3"), std::string::npos) << log;
    EXPECT_NE(log.find("end: inactivity, exit level 10"), std::string::npos) << log;
}

// An ANSI caller: the warnings count down in the status line and the call's
// end is told there; the field being typed stays where it is.
TEST(TourDoor, WarningsGoToTheStatusLineAndTheFieldStays) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32_sys("Sam Slow", "sam"));
    DoorOptions options;
    options.env = {"ODOORS_INACTIVITY=3", "ODOORS_WARN=2"};
    options.answers = true;
    auto door = tour(dir, options);
    Screen& s = door->screen;
    ASSERT_TRUE(door->wait_for("Sign the guest form"));
    door->type("s");
    ASSERT_TRUE(door->wait_for("The guest form"));
    door->type("\x15"
               "draft");
    ASSERT_TRUE(door->wait_for("Press a key within 2 seconds")) << s.all();
    EXPECT_EQ(s.find_row("Press a key within 2 seconds"), 24);
    EXPECT_EQ(s.cell(24, 60).colour, 15); // in the status line's warning colours
    EXPECT_EQ(s.cell(24, 40).colour, 0);
    EXPECT_EQ(s.row(2), "Name:     draft");
    ASSERT_TRUE(door->wait_for("Press a key within 1 second")); // counting down
    EXPECT_EQ(door->output.find("or the call ends"), std::string::npos);
    door->type("\x1b[D!"); // the cursor came back into the field, and its colour
    ASSERT_TRUE(door->wait_for("Name:     draf!t")) << s.all();
    EXPECT_EQ(s.cell(2, 14).colour, 7);
    ASSERT_TRUE(door->wait_for("No key pressed for too long; back to the BBS."));
    EXPECT_EQ(s.find_row("No key pressed for too long; back to the BBS."), 24);
    EXPECT_EQ(s.row(2), "Name:     draf!t");
    // The BBS's next text starts at the bottom row's start, in plain grey,
    // not inside the door's screen in its last colour.
    std::string end = door->output.substr(door->output.rfind("No key pressed"));
    EXPECT_NE(end.find("\x1b[m"), std::string::npos);
    EXPECT_EQ(s.cursor_row(), 24);
    EXPECT_EQ(s.cursor_col(), 0);
    door->type(" ");
    EXPECT_EQ(door->wait_exit(), 10);
}

// Odd screens: one row, where no status line fits, still gets the warning
// and the end line; a character set that does not carry ASCII as it is
// is refused in one line and the door speaks CP437.
TEST(TourDoor, OddScreensStillGetWarningsAndAPlainCharacterSet) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32_sys("Sam Slow", "sam"));
    DoorOptions options;
    options.env = {"ODOORS_INACTIVITY=3", "ODOORS_WARN=2", "ODOORS_CHARSET=UTF-16"};
    options.answers = true;
    options.separate_stderr = true;
    auto door = tour(dir, options);
    ASSERT_TRUE(door->wait_for("Sign the guest form"));
    door->type("k");
    ASSERT_TRUE(door->wait_for("Character set: CP437")) << door->screen.all();
    door->resize(1, 80);
    auto said = [&](const char* text) {
        return door->wait_until([&] { return door->output.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(said("Press a key within 2 seconds, or the call ends."));
    EXPECT_TRUE(said("No key pressed for too long; back to the BBS."));
    door->type(" ");
    EXPECT_EQ(door->wait_exit(), 10);
    EXPECT_NE(door->err.find("ODOORS_CHARSET: 'UTF-16' is no character set that carries ASCII"),
              std::string::npos)
        << door->err;
}

// With a minute left and the usual 60 s warning, the warning is due as the
// call starts: it comes after the probe and the first screen, not under them.
TEST(TourDoor, AWarningDueAtStartIsSeenOnTheFirstScreen) {
    TempDir dir;
    dir.write(
        "DOOR32.SYS",
        "0\r\n-1\r\n38400\r\nTest BBS 1.0\r\n1\r\nMin Ute\r\nminnie\r\n30\r\n1\r\n1\r\n1\r\n");
    DoorOptions options;
    options.answers = true;
    auto door = tour(dir, options);
    Screen& s = door->screen;
    ASSERT_TRUE(door->wait_for("seconds left")) << s.all();
    EXPECT_EQ(s.find_row("seconds left"), 24);
    EXPECT_EQ(s.row(24).find(" libODoors tour   Screen: 25x80"), 0u) << s.row(24);
    EXPECT_GE(s.find_row("Sign the guest form"), 0);
    EXPECT_EQ(door->output.find("in this call"), std::string::npos); // no line of its own
    door->hang_up();
    EXPECT_EQ(door->wait_exit(), 10);
}

// The window changes while nobody types: the menu is drawn again for it, and
// a field being typed is drawn again with its cursor in place.
TEST(TourDoor, TheScreenFollowsTheWindowWithNoKeyPressed) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32_sys("Ann Real", "annie"));
    DoorOptions options;
    options.answers = true;
    auto door = tour(dir, options);
    Screen& s = door->screen;
    ASSERT_TRUE(door->wait_for("Screen: 25x80")) << s.all();
    door->resize(20, 60);
    ASSERT_TRUE(door->wait_for("Screen: 20x60")) << s.all();
    EXPECT_EQ(s.find_row("Screen: 20x60"), 19);
    EXPECT_GE(s.find_row("Sign the guest form"), 0);
    door->type("s");
    ASSERT_TRUE(door->wait_for("The guest form"));
    door->type("\x15"
               "draft\x1b[D\x1b[D");
    ASSERT_TRUE(door->wait_until([&] { return s.cursor_col() == 13; }));
    std::size_t before = door->output.size();
    door->resize(24, 70);
    ASSERT_TRUE(
        door->wait_until([&] { return door->output.find("draft", before) != std::string::npos; }));
    door->type("!");
    ASSERT_TRUE(door->wait_for("Name:     dra!ft")) << s.all();
    door->type("\x1b"); // Escape leaves the form; the menu is drawn for the new size
    ASSERT_TRUE(door->wait_for("Screen: 24x70")) << s.all();
    door->hang_up();
    EXPECT_EQ(door->wait_exit(), 10);
}

// The example doors keep their numbers as the machine holds them.
std::string native_int32(std::int32_t value) {
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// A guest book of 30 signatures, one record each, Zora's the 17th.
std::string guest_book() {
    std::string book(30 * 40, '\0');
    for (int i = 1; i <= 30; ++i) {
        std::string name = i == 17 ? "Zora" : "Guest " + std::to_string(100 + i).substr(1);
        book.replace(40 * (i - 1), name.size(), name);
        book.replace(40 * (i - 1) + 36, 4, native_int32(9));
    }
    return book;
}

// Two nodes at once, one over a pty in CP437, one over a telnet socket in
// UTF-8: both fill in the form and sign in the same moment, and neither
// signature is lost; each caller gets a visit record of their own. The
// book's list scrolls, jumps to a typed letter or number, follows a new
// window, shows the other node's new signature with no key pressed, and a
// warning counts down in the status line below it.
TEST(TourDoor, TwoNodesSignOneGuestBookAtOnce) {
    TempDir dir;
    dir.write("tourbook.dat", guest_book());
    dir.write("DOOR32.SYS", door32_sys("Ann Real", "annie"));
    DoorOptions pty;
    pty.answers = true;
    pty.env = {"ODOORS_INACTIVITY=30", "ODOORS_WARN=28"}; // warned after two idle seconds
    auto one = tour(dir, pty);
    ASSERT_EQ(::mkdir(dir.file("node2").c_str(), 0700), 0);
    dir.write("node2/DOOR32.SYS",
              "2\r\n3\r\n38400\r\nTest BBS\r\n2\r\nSid Sock\r\nsid\r\n30\r\n60\r\n1\r\n2\r\n");
    DoorOptions socket;
    socket.link = DoorOptions::Link::SocketPair;
    socket.utf8_screen = true;
    socket.answers = true;
    socket.program = TOUR_DOOR;
    socket.args = {dir.file("node2"), TOUR_FILES};
    socket.cwd = dir.path();
    socket.env = {"ODOORS_CHARSET=UTF-8"};
    DoorRun two(socket);
    for (DoorRun* door : {one.get(), &two}) {
        ASSERT_TRUE(door->wait_for("Screen: 25x80")) << door->screen.all();
        EXPECT_GE(door->screen.find_row("\u2551   Welcome to the libODoors tour"), 0);
        door->type("s");
        ASSERT_TRUE(door->wait_for("The guest form"));
    }
    one->type("\x15"
              "Ann\rpw");
    two.type("\x15"
             "Sid\rpw");
    ASSERT_TRUE(one->wait_for("Password: **"));
    ASSERT_TRUE(two.wait_for("Password: **"));
    one->type("\r");
    two.type("\r");
    ASSERT_TRUE(one->wait_for("Thank you, Ann"));
    ASSERT_TRUE(two.wait_for("Thank you, Sid"));
    std::string book = dir.read("tourbook.dat");
    ASSERT_EQ(book.size(), 32u * 40);
    std::string last_two = book.substr(30 * 40, 3) + book.substr(31 * 40, 3);
    EXPECT_TRUE(last_two == "AnnSid" || last_two == "SidAnn") << last_two;
    // Callers 1 and 2 each have their own record, one visit each.
    std::string visits = dir.read("tourvisits.dat");
    ASSERT_EQ(visits.size(), 2u * 40);
    EXPECT_NE(visits.substr(0, 36), visits.substr(40, 36));
    EXPECT_EQ(visits.substr(36, 4), native_int32(1));
    EXPECT_EQ(visits.substr(76, 4), native_int32(1));

    Screen& s = one->screen;
    std::size_t at = one->output.size();
    one->type("x");
    ASSERT_TRUE(one->wait_until(
        [&] { return one->output.find("Sign the guest form", at) != std::string::npos; }));
    one->type("B");
    ASSERT_TRUE(one->wait_for("32 of 32")) << s.all();
    EXPECT_GE(s.find_row(" Ann (node 1)"), 0);
    EXPECT_GE(s.find_row(" Sid (node 2)"), 0);
    EXPECT_EQ(s.find_row("Guest 01"), -1); // scrolled to the newest
    one->type("z");
    ASSERT_TRUE(one->wait_for("17 of 32"));
    int zora = s.find_row(" Zora (node 9)");
    ASSERT_GE(zora, 2);
    EXPECT_EQ(s.cell(zora, 3).colour, 15);
    EXPECT_EQ(s.cell(zora + 1, 3).colour, 7);
    one->type("12"); // a number picks that signature
    ASSERT_TRUE(one->wait_for("12 of 32"));
    one->type("\x1b[H");
    ASSERT_TRUE(one->wait_for("1 of 32"));
    EXPECT_EQ(s.row(2), " Guest 01 (node 9)");
    one->resize(15, 60);
    ASSERT_TRUE(one->wait_until([&] { return s.row(14).find("Screen: 15x") == 18; })) << s.all();
    EXPECT_EQ(s.row(13), std::string(43, ' ') + "1 of 32");
    EXPECT_EQ(s.row(12), " Guest 11 (node 9)");
    ASSERT_TRUE(one->wait_for("Press a key within")) << s.all();
    EXPECT_EQ(s.find_row("Press a key within"), 14);
    one->type("\x1b[B");
    ASSERT_TRUE(one->wait_for("2 of 32"));
    ASSERT_TRUE(one->wait_until([&] { return s.row(14).find("min left") != std::string::npos; }));

    at = two.output.size();
    two.type("x");
    ASSERT_TRUE(two.wait_until(
        [&] { return two.output.find("Sign the guest form", at) != std::string::npos; }));
    two.type("b");
    ASSERT_TRUE(two.wait_for("32 of 32")) << two.screen.all();
    EXPECT_GE(two.screen.find_row(" Ann (node 1)"), 0);
    EXPECT_EQ(two.screen.row(24).find(" libODoors tour   Screen: 25x80"), 0u);
    // Node 2 signs again while node 1's list waits: it shows up there with
    // no key pressed on node 1.
    two.type("\x1b");
    ASSERT_TRUE(two.wait_for("Sign the guest form"));
    two.type("s");
    ASSERT_TRUE(two.wait_for("The guest form"));
    two.type("\x15"
             "Sue\rpw\r");
    ASSERT_TRUE(two.wait_for("Thank you, Sue"));
    ASSERT_TRUE(one->wait_for("33 of 33")) << s.all();
    EXPECT_GE(s.find_row(" Sue (node 2)"), 0);
    one->hang_up();
    two.hang_up();
    EXPECT_EQ(one->wait_exit(), 10);
    EXPECT_EQ(two.wait_exit(), 10);
}

// The guide's full-screen door: what a caller read stays read on the next
// call, whether that caller has ANSI or not.
TEST(ListDoor, KeepsWhatEachCallerReadAcrossCalls) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32_sys("Ann Real", "annie"));
    DoorOptions options;
    options.program = LIST_DOOR;
    options.args = {dir.path(), BULLETINS};
    options.cwd = dir.path();
    {
        DoorRun door(options);
        ASSERT_TRUE(door.wait_for("1 of 4")) << door.screen.all();
        EXPECT_EQ(door.screen.row(2), "   Welcome to the board    new");
        EXPECT_EQ(door.screen.find_row(" Bulletins   Enter: read   Escape: back to the BBS"), 24);
        door.type("\r");
        ASSERT_TRUE(door.wait_for("This is the first bulletin."));
        door.type(" ");
        ASSERT_TRUE(door.wait_until([&] {
            return door.screen.row(2) == "   Welcome to the board";
        })) << door.screen.all();
        door.type("\x1b");
        EXPECT_EQ(door.wait_exit(), 10);
    }
    EXPECT_EQ(dir.read("lastread.dat"), native_int32(0) + native_int32(1)); // record 1
    dir.write("DOOR32.SYS", door32_sys("Ann Real", "annie", 0));
    DoorRun plain(options);
    ASSERT_TRUE(plain.wait_for("Pick 1-4, Q quits:")) << plain.screen.all();
    EXPECT_GE(plain.screen.find_row("1. Welcome to the board"), 0);
    EXPECT_EQ(plain.screen.find_row("1. Welcome to the board    new"), -1);
    EXPECT_GE(plain.screen.find_row("2. House rules             new"), 0);
    plain.type("2\r");
    ASSERT_TRUE(plain.wait_for("Leave the last line of a screen"));
    plain.type(" ");
    ASSERT_TRUE(plain.wait_until([&] { return count(plain.output, "Pick 1-4") == 2; }));
    plain.type("q");
    EXPECT_EQ(plain.wait_exit(), 10);
    EXPECT_EQ(plain.output.find('\x1b'), std::string::npos);
    EXPECT_EQ(dir.read("lastread.dat"), native_int32(0) + native_int32(3));

    // A folder under the file's name: the sysop is told, the door goes on.
    ASSERT_EQ(::unlink(dir.file("lastread.dat").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("lastread.dat").c_str(), 0700), 0);
    options.separate_stderr = true;
    DoorRun refused(options);
    ASSERT_TRUE(refused.wait_for("Pick 1-4, Q quits:"));
    EXPECT_GE(refused.screen.find_row("1. Welcome to the board    new"), 0);
    refused.type("q");
    EXPECT_EQ(refused.wait_exit(), 10);
    EXPECT_EQ(refused.err, "list_door: lastread.dat: Is a directory\n");
}

TEST(SysopLog, RefusalsAreLoggedAndAnUnopenableLogIsSaidOnce) {
    TempDir dir;
    DoorOptions options;
    options.args = {dir.path()};
    options.cwd = dir.path();
    options.separate_stderr = true;
    options.env = {"ODOORS_LOG=" + dir.file("door.log")};
    DoorRun refused(options); // no drop file
    EXPECT_EQ(refused.wait_exit(), 1);
    std::string log = dir.read("door.log");
    EXPECT_NE(log.find("]: refused: valedict: " + dir.path()), std::string::npos) << log;
    EXPECT_NE(log.find(refused.err.substr(0, refused.err.size() - 1)), std::string::npos);

    dir.write("DOOR32.SYS", door32_sys("Lee Log", "lee"));
    options.env = {"ODOORS_LOG=" + dir.file("no/such/folder/door.log")};
    DoorRun runs(options);
    ASSERT_TRUE(runs.wait_for("Would you like to add some valedicts"));
    runs.hang_up();
    EXPECT_EQ(runs.wait_exit(), 10);
    EXPECT_EQ(count(runs.err, "cannot open the log"), 1) << runs.err;

    // A history that cannot keep the replaced entry costs the save nothing,
    // and the log says why.
    dir.write("valedict.old", "a file, not a folder");
    dir.write("valedict.dat", data_record({"the old entry"}, "someone"));
    options.env = {"ODOORS_LOG=" + dir.file("door.log")};
    DoorRun saves(options);
    ASSERT_TRUE(saves.wait_for("Would you like to add some valedicts"));
    saves.type("Y");
    ASSERT_TRUE(saves.wait_for("1:"));
    saves.type("kept or not\r\r");
    ASSERT_TRUE(saves.wait_for("Save these valedicts"));
    saves.type("Y");
    EXPECT_EQ(saves.wait_exit(), 10);
    EXPECT_EQ(dir.read("valedict.dat"), data_record({"kept or not"}, "lee"));
    log = dir.read("door.log");
    EXPECT_NE(log.find("]: the replaced entry was not kept: valedict.old: Not a directory"),
              std::string::npos)
        << log;
}

// Lines wider than the screen wrap: the More prompt comes when the rows,
// not the lines, fill the page.
TEST(TourDoor, PagingCountsTheRowsLongLinesWrapOnto) {
    TempDir dir;
    dir.write("DOOR32.SYS", door32_sys("Ann Real", "annie"));
    std::string guide;
    for (char c = 'a'; c < 'h'; ++c) guide += std::string(400, c) + "\r\n"; // five rows each
    dir.write("guide.txt", guide);
    DoorOptions options;
    options.answers = true;
    options.program = TOUR_DOOR;
    options.args = {dir.path(), dir.path()};
    options.cwd = dir.path();
    DoorRun door(options);
    ASSERT_TRUE(door.wait_for("Screen: 25x80")) << door.screen.all();
    door.type("r");
    ASSERT_TRUE(door.wait_for("-- More")) << door.screen.all();
    EXPECT_EQ(door.screen.row(0), std::string(80, 'a'));
    EXPECT_EQ(door.screen.row(19), std::string(80, 'd'));
    EXPECT_EQ(door.screen.find_row("-- More"), 20);
    door.type(" ");
    ASSERT_TRUE(door.wait_for("The end. Press any key."));
    EXPECT_EQ(count(door.screen.all(), "-- More"), 0);
    // A screen narrower than the prompt: the prompt is cut to one row and
    // the page stays above it and the status line.
    door.resize(6, 20);
    door.type("x");
    ASSERT_TRUE(door.wait_until([&] { return door.screen.row(5) == " libODo 60 min left"; }))
        << door.screen.all();
    door.type("r");
    ASSERT_TRUE(door.wait_for("-- More: Enter or S")) << door.screen.all();
    EXPECT_EQ(door.screen.row(0), std::string(20, 'a'));
    EXPECT_EQ(door.screen.row(4), "-- More: Enter or S");
    EXPECT_EQ(door.screen.row(5), " libODo 60 min left");
    door.hang_up();
    EXPECT_EQ(door.wait_exit(), 10);
}

} // namespace
