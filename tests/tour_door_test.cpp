// The example door that uses every call, as callers meet it: over a pty
// (ANSI and plain), over a telnet socket in UTF-8, with warnings, the end
// callback and the sysop log.
#include "door_harness.h"

#include <csignal>
#include <gtest/gtest.h>

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
    EXPECT_GE(s.find_row(" Time left: 60 min   Screen: 25x80"), 24);
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
    door->resize(22, 100);    // the caller's window changes
    door->type("\x1b[5;1R "); // a cursor report nobody asked for changes nothing
    ASSERT_TRUE(door->wait_for("Screen: 22x100"));
    EXPECT_EQ(s.find_row("5x1"), -1);
    door->type(" ");
    ASSERT_TRUE(door->wait_for("Screen: 22x100"));
    // The guide pages: 21 lines, then a prompt that erases itself.
    door->type("r");
    ASSERT_TRUE(door->wait_for("-- More: Enter or Space goes on, Q stops --"));
    EXPECT_EQ(s.row(0), "The guide to the tour");
    EXPECT_EQ(s.row(20), "Guide line 15 of 60.");
    EXPECT_EQ(s.row(21), "-- More: Enter or Space goes on, Q stops --");
    door->type(" ");
    ASSERT_TRUE(door->wait_for("Guide line 36 of 60."));
    ASSERT_TRUE(door->wait_for("-- More"));
    EXPECT_EQ(count(door->screen.all(), "-- More"), 1);
    door->type("q");
    ASSERT_TRUE(door->wait_for("Stopped. Press any key."));
    EXPECT_EQ(s.find_row("Guide line 37 of 60."), -1);
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

TEST(TourDoor, TelnetSocketInUtf8WithAWindowThatChanges) {
    TempDir dir;
    dir.write("DOOR32.SYS",
              "2\r\n3\r\n38400\r\nTest BBS\r\n1\r\nSock Caller\r\nsockq\r\n30\r\n60\r\n1\r\n2\r\n");
    DoorOptions options;
    options.link = DoorOptions::Link::SocketPair;
    options.utf8_screen = true;
    options.answers = true; // the probe finds the emulator's 25 by 80
    options.env = {"ODOORS_CHARSET=UTF-8"};
    auto door = tour(dir, options);
    ASSERT_TRUE(door->wait_for("Screen: 25x80")) << door->screen.all();
    EXPECT_GE(door->screen.find_row("\u2551   Welcome to the libODoors tour"), 0);
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
    // Escape and '[' with nothing after them: given up, the Escape leaves.
    door->type("\x1b[");
    ASSERT_TRUE(door->wait_for("Sign the guest form")) << door->screen.all();
    // This emulator answered as xterm does: 127 stays Backspace, even after
    // an 8.
    door->type("s");
    ASSERT_TRUE(door->wait_for("The guest form"));
    door->type("\x15Zoe\b\x1b[D\x7f\r");
    ASSERT_TRUE(door->wait_until([&] { return door->screen.row(2) == "Name:     o"; }))
        << door->screen.all();
    // SyncTERM's answer makes 127 Delete; it is no key itself.
    door->type("\x1b\x1b[=67;84;101;114;109;1;19c");
    ASSERT_TRUE(door->wait_for("Sign the guest form")) << door->screen.all();
    door->type("s");
    ASSERT_TRUE(door->wait_for("The guest form"));
    door->type("\x15Zoe\b\x1b[D\x7f\r");
    ASSERT_TRUE(door->wait_until([&] { return door->screen.row(2) == "Name:     Z"; }))
        << door->screen.all();
    // urxvt's Alt-Left (an Escape before the arrow) moves in the field and
    // never ends it as an Escape would.
    door->type("pw\x1b\x1b[D\x1b\x1bODx\r");
    ASSERT_TRUE(door->wait_for("Thank you, Z (a password of 3 characters).")) << door->screen.all();
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
    ASSERT_TRUE(door->wait_for("Your choice:")) << door->screen.all();
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
    ASSERT_TRUE(door->wait_until([&] { return count(door->output, "Your choice:") == 2; }));
    door->type("r");
    ASSERT_TRUE(door->wait_for("-- More"));
    door->type("\x1b");
    ASSERT_TRUE(door->wait_for("Stopped."));
    door->type(" ");
    ASSERT_TRUE(door->wait_until([&] { return count(door->output, "Your choice:") == 3; }));
    door->signal(SIGTERM);
    EXPECT_EQ(door->wait_exit(), 10);
    EXPECT_EQ(door->output.find('\x1b'), std::string::npos);
    std::string log = dir.read("door.log");
    EXPECT_NE(log.find("no ANSI"), std::string::npos) << log;
    EXPECT_NE(log.find("tour: call ended by the library, reason 4"), std::string::npos) << log;
    EXPECT_NE(log.find("end: signal 15, exit level 10"), std::string::npos) << log;
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
    ASSERT_TRUE(door->wait_for("Your choice:"));
    door->type("s");
    ASSERT_TRUE(door->wait_for("The guest form"));
    door->type("\x15"
               "draft");
    ASSERT_TRUE(door->wait_for("Press a key within 2 seconds, or the call ends."));
    int warning = door->screen.find_row("Press a key within");
    ASSERT_TRUE(door->wait_for("draft"));
    EXPECT_EQ(door->screen.row(warning + 1), "draft"); // the field again, under the warning
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

// An ANSI caller: the tour takes the warnings over and shows them in its
// status line; the field being typed stays where it is.
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
    EXPECT_EQ(s.cell(24, 40).colour, 15); // in the status line's warning colours
    EXPECT_EQ(s.row(2), "Name:     draft");
    EXPECT_EQ(door->output.find("or the call ends"), std::string::npos);
    door->type("\x1b[D!"); // the cursor came back into the field, and its colour
    ASSERT_TRUE(door->wait_for("Name:     draf!t")) << s.all();
    EXPECT_EQ(s.cell(2, 14).colour, 7);
    ASSERT_TRUE(door->wait_for("No key pressed for too long; back to the BBS."));
    door->type(" ");
    EXPECT_EQ(door->wait_exit(), 10);
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
    ASSERT_TRUE(door->wait_for("seconds left in this call")) << s.all();
    EXPECT_EQ(s.find_row("seconds left in this call"), 24);
    EXPECT_NE(s.row(24).find(" Time left: 1 min   Screen: 25x80"), std::string::npos) << s.row(24);
    EXPECT_GE(s.find_row("Sign the guest form"), 0);
    EXPECT_EQ(count(door->output, "seconds left in this call"), 1);
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
    door.hang_up();
    EXPECT_EQ(door.wait_exit(), 10);
}

} // namespace
