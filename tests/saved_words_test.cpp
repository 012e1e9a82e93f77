// The saved entry: shown between its borders, taken from a caller, saved so
// that it survives whatever happens to the door or the disk.
#include "door_harness.h"

#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr const char* question = "Would you like to add some valedicts [Y/n]:";
constexpr const char* save_question = "Save these valedicts [Y/n]:";
constexpr std::size_t record_size = 386;

// The line in the door's source where it reports a failure of this kind.
int source_line_of(const std::string& call) {
    std::ifstream in(VALEDICT_SOURCE);
    std::string text;
    for (int n = 1; std::getline(in, text); ++n)
        if (text.find(call) != std::string::npos) return n;
    return -1;
}

std::unique_ptr<DoorRun> visit(const TempDir& dir, const std::string& alias = "janeq",
                               DoorOptions options = {}) {
    dir.write("DOOR32.SYS", door32_sys("Jane Public", alias));
    options.args = {dir.path()};
    options.cwd = dir.path();
    auto door = std::make_unique<DoorRun>(options);
    EXPECT_TRUE(door->wait_for(question)) << door->screen.all();
    return door;
}

// Shows the entry and leaves; the screen stays for the test to read.
std::unique_ptr<DoorRun> look(const TempDir& dir) {
    auto door = visit(dir);
    door->type("N");
    EXPECT_EQ(door->wait_exit(), 10);
    return door;
}

// Leaves these lines (an empty one ends them) and answers the save question.
std::unique_ptr<DoorRun> leave(const TempDir& dir, const std::vector<std::string>& lines,
                               const std::string& answer = "Y", const std::string& alias = "janeq",
                               DoorOptions options = {}) {
    auto door = visit(dir, alias, options);
    door->type("Y");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(door->wait_for(std::to_string(i + 1) + ":")) << door->screen.all();
        door->type(lines[i] + "\r");
    }
    if (!lines.empty() && !lines[0].empty()) {
        EXPECT_TRUE(door->wait_for(save_question)) << door->screen.all();
        door->type(answer);
    }
    EXPECT_EQ(door->wait_exit(), 10);
    return door;
}

constexpr int row_after_banner = 3;

TEST(ShowQuote, NoDataFileShowsOnlyTheNotice) {
    TempDir dir;
    auto door = look(dir);
    const Screen& s = door->screen;
    EXPECT_EQ(s.row(row_after_banner), "No current Valedicts on file.");
    EXPECT_EQ(s.cell(3, 0).colour, 12);
    EXPECT_EQ(s.row(4).rfind(question, 0), 0u);
    EXPECT_EQ(door->output.find('\xc9'), std::string::npos); // no border
    EXPECT_FALSE(fs::exists(dir.file("valedict.dat")));
}

TEST(ShowQuote, BordersAndLinesSitInTheirColumnsAndColours) {
    TempDir dir;
    std::string full(69, 'x');
    dir.write("valedict.dat",
              data_record({"first line", full, "   ", "fourth", "fifth"}, "Jane Public"));
    auto door = look(dir);
    const Screen& s = door->screen;
    EXPECT_EQ(s.row(3), "These Valedicts left by Jane Public");
    EXPECT_EQ(s.cell(3, 0).colour, 7);
    EXPECT_EQ(s.cell(3, 24).colour, 11);
    for (int r : {4, 10}) {
        EXPECT_EQ(s.cell(r, 0).text, r == 4 ? "╔" : "╚") << r; // CP437 corners
        EXPECT_EQ(s.cell(r, 72).text, r == 4 ? "╗" : "╝");
        EXPECT_EQ(s.cell(r, 1).text, "═");
        EXPECT_EQ(s.cell(r, 71).text, "═");
        EXPECT_EQ(s.cell(r, 73).text, " ");
        for (int c = 0; c <= 72; ++c) EXPECT_EQ(s.cell(r, c).colour, 9) << r << "," << c;
    }
    EXPECT_EQ(s.row(5), "  first line");
    EXPECT_EQ(s.row(6), "  " + full); // columns 3 to 71
    EXPECT_EQ(s.row(7), "");          // a line of blanks is a line
    EXPECT_EQ(s.row(8), "  fourth");
    EXPECT_EQ(s.row(9), "  fifth");
    EXPECT_EQ(s.cell(5, 2).colour, 3);
    EXPECT_EQ(s.cell(6, 70).colour, 3);
    // After each border the colour goes back to grey before the line ends.
    EXPECT_NE(door->output.find("\xbb\x1b[m\n\r"), std::string::npos);
    EXPECT_NE(door->output.find("\xbc\x1b[m\n\r"), std::string::npos);
    EXPECT_EQ(s.row(11).rfind(question, 0), 0u);
}

TEST(ShowQuote, EntryEndsAtTheFirstEmptyLine) {
    TempDir dir;
    dir.write("valedict.dat", data_record({"one", "two", "", "four"}, "gap"));
    auto gap = look(dir);
    EXPECT_EQ(gap->screen.row(5), "  one");
    EXPECT_EQ(gap->screen.row(6), "  two");
    EXPECT_EQ(gap->screen.cell(7, 0).text, "╚");

    dir.write("valedict.dat", data_record({"", "hidden"}, ""));
    auto empty = look(dir);
    EXPECT_EQ(empty->screen.row(3), "These Valedicts left by");
    EXPECT_EQ(empty->screen.cell(4, 0).text, "╔");
    EXPECT_EQ(empty->screen.cell(5, 0).text, "╚");
    EXPECT_EQ(empty->output.find("hidden"), std::string::npos);
}

TEST(ShowQuote, ShortAndEmptyFilesReportTheReadAndShowNoStrayByte) {
    TempDir dir;
    int line = source_line_of("Error(30, __LINE__");
    ASSERT_GT(line, 0);
    std::string message = "ERROR (" + std::to_string(line) + "): Cannot read valedict.dat";

    dir.write("valedict.dat", "");
    auto empty = look(dir);
    EXPECT_EQ(empty->screen.row(3), message);
    EXPECT_EQ(empty->screen.row(4), "These Valedicts left by");
    EXPECT_EQ(empty->screen.cell(5, 0).text, "╔");
    EXPECT_EQ(empty->screen.cell(6, 0).text, "╚");

    // 100 bytes: the first line whole, 30 bytes of the second, nothing more.
    std::string partial = data_record({"kept", std::string(69, 'k')}, "").substr(0, 100);
    dir.write("valedict.dat", partial);
    auto cut = look(dir);
    EXPECT_EQ(cut->screen.row(3), message);
    EXPECT_EQ(cut->screen.row(6), "  kept");
    EXPECT_EQ(cut->screen.row(7), "  " + std::string(30, 'k'));
    EXPECT_EQ(cut->screen.cell(8, 0).text, "╚");
}

TEST(ShowQuote, FieldsAreBoundedAndLongerFilesReadTo386Bytes) {
    TempDir dir;
    std::string r(record_size, 'A');
    r.replace(350, 36, std::string(36, 'B'));
    dir.write("valedict.dat", r + "TRAILING JUNK");
    auto door = look(dir);
    const Screen& s = door->screen;
    EXPECT_EQ(s.row(3), "These Valedicts left by " + std::string(36, 'B'));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s.row(5 + i), "  " + std::string(70, 'A')) << i;
    EXPECT_EQ(door->output.find("TRAILING"), std::string::npos);
    EXPECT_EQ(door->output.find("ERROR"), std::string::npos);
}

TEST(ShowQuote, ControlBytesNeverReachTheTerminalRaw) {
    TempDir dir;
    dir.write("valedict.dat", data_record({"clear\x1b[2Jme", "bell\x07 cr\r lf\n bs\b del\x7f",
                                           "`bright red`tick", "cp437 \xb0\xb1\xb2"},
                                          "\x1b]0;title\x07who"));
    auto door = look(dir);
    const Screen& s = door->screen;
    std::string shown = door->output.substr(0, door->output.find(question));
    for (unsigned char c = 0; c < 32; ++c) {
        if (c == '\n' || c == '\r' || c == 0x1b) continue;
        EXPECT_EQ(shown.find(static_cast<char>(c)), std::string::npos) << int(c);
    }
    EXPECT_EQ(shown.find("\x1b[2J"), std::string::npos);
    EXPECT_EQ(shown.find("\x1b]"), std::string::npos);
    EXPECT_EQ(shown.find('\x7f'), std::string::npos);
    EXPECT_EQ(s.row(3), "These Valedicts left by ?]0;title?who");
    EXPECT_EQ(s.row(5), "  clear?[2Jme");
    EXPECT_EQ(s.row(6), "  bell? cr? lf? bs? del?");
    EXPECT_EQ(s.row(7), "  `bright red`tick"); // saved backquotes are text
    EXPECT_EQ(s.cell(7, 5).colour, 3);
    EXPECT_EQ(s.row(8), "  cp437 ░▒▓"); // 128 and up as they are
}

TEST(AddQuote, EnterAtTheFirstPromptAsksNothingAndKeepsTheFile) {
    TempDir dir;
    std::string old = data_record({"old words"}, "olduser");
    dir.write("valedict.dat", old);
    auto door = leave(dir, {""});
    EXPECT_EQ(door->screen.all().find("Save these"), std::string::npos);
    EXPECT_EQ(dir.read("valedict.dat"), old);
    const Screen& s = door->screen;
    int intro = s.find_row("Enter up to 5 lines.  A blank line ends.");
    ASSERT_GE(intro, 0);
    EXPECT_EQ(s.cell(intro, 0).colour, 7);
    EXPECT_EQ(s.cell(intro, 12).colour, 11); // the number
    EXPECT_EQ(s.row(intro + 1), "");
    EXPECT_EQ(s.row(intro + 2), "1:");
    EXPECT_EQ(s.cell(intro + 2, 0).colour, 11);
    EXPECT_EQ(s.cell(intro + 2, 1).colour, 7);
}

TEST(AddQuote, OneLineIsSavedWithTheCallersNameAndShownToTheNext) {
    TempDir dir;
    dir.write("valedict.dat", std::string(1000, 'z')); // whatever it held before
    auto door = leave(dir, {"So long, and thanks", ""});
    EXPECT_NE(door->screen.all().find(std::string(save_question) + "Yes"), std::string::npos);
    std::string saved = dir.read("valedict.dat");
    EXPECT_EQ(saved, data_record({"So long, and thanks"}, "janeq"));

    auto next = look(dir);
    EXPECT_EQ(next->screen.row(3), "These Valedicts left by janeq");
    EXPECT_EQ(next->screen.row(5), "  So long, and thanks");
}

// A record the door saved on amd64: every machine shows it, and saves the
// same entry as the same 386 bytes, so each reads what any other wrote. The
// name's CP437 bytes are above 127, where char's sign differs by machine.
TEST(SaveQuote, TheDataFileIsTheSameBytesOnEveryMachine) {
    std::ifstream in(std::string(TEST_DATA) + "/valedict-amd64.dat", std::ios::binary);
    std::string amd64((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(amd64.size(), record_size);
    const std::string name = "J\x82r\x93me";
    const std::vector<std::string> lines = {"Words that outlive the machine",
                                            "saved on amd64, read on armhf and s390x",
                                            std::string(69, '~'), ""};
    TempDir dir;
    dir.write("valedict.dat", amd64);
    auto shown = look(dir);
    EXPECT_EQ(shown->screen.row(3).rfind("These Valedicts left by J", 0), 0u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(shown->screen.row(5 + i), "  " + lines[i]);
    EXPECT_EQ(shown->screen.row(8).find("  ~"), std::string::npos); // the entry ends there

    TempDir other;
    leave(other, lines, "Y", name);
    EXPECT_EQ(other.read("valedict.dat"), amd64);
}

TEST(AddQuote, FiveLinesEndTheEntryWithoutASixthPrompt) {
    TempDir dir;
    std::vector<std::string> lines = {"a", "  b", "c c", "d", std::string(80, 'e')};
    auto door = leave(dir, lines);
    EXPECT_EQ(door->screen.find_row("6:"), -1);
    lines[4] = std::string(69, 'e'); // the rest was never stored
    EXPECT_EQ(dir.read("valedict.dat"), data_record(lines, "janeq"));
}

TEST(AddQuote, NoAtTheSaveQuestionKeepsTheFile) {
    TempDir dir;
    std::string old = data_record({"old words"}, "olduser");
    dir.write("valedict.dat", old);
    auto door = leave(dir, {"   ", ""}, "n"); // a line of blanks still leads to the question
    EXPECT_NE(door->screen.all().find(std::string(save_question) + "No"), std::string::npos);
    EXPECT_EQ(dir.read("valedict.dat"), old);
}

TEST(AddQuote, EnterSavesAndALongNameFitsItsField) {
    TempDir dir;
    std::string alias(40, 'n');
    auto door = leave(dir, {"typed", ""}, "\r", alias);
    EXPECT_EQ(dir.read("valedict.dat"), data_record({"typed"}, std::string(35, 'n')));
    auto next = look(dir);
    EXPECT_EQ(next->screen.row(3), "These Valedicts left by " + std::string(35, 'n'));
}

TEST(AddQuote, BackspaceAndDeleteNeverReachTheFile) {
    TempDir dir;
    leave(dir, {"abcd\x7f\x7fX\bY\x1b[D", ""});
    EXPECT_EQ(dir.read("valedict.dat"), data_record({"abY"}, "janeq"));
}

TEST(SaveQuote, AFolderThatCannotBeWrittenKeepsTheOldEntry) {
    TempDir dir;
    std::string old = data_record({"old words"}, "olduser");
    dir.write("valedict.dat", old);
    dir.write("DOOR32.SYS", door32_sys("Jane Public", "janeq"));
    ::chmod(dir.file("DOOR32.SYS").c_str(), 0644);
    ::chmod(dir.file("valedict.dat").c_str(), 0644);
    ::chmod(dir.path().c_str(), 0555);
    DoorOptions options;
    options.unprivileged = true;
    auto door = leave(dir, {"new", ""}, "Y", "janeq", options);
    ::chmod(dir.path().c_str(), 0700);
    int line = source_line_of("Error(10, __LINE__");
    EXPECT_NE(
        door->screen.all().find("ERROR (" + std::to_string(line) + "): Cannot open: valedict.dat"),
        std::string::npos)
        << door->screen.all();
    EXPECT_EQ(dir.read("valedict.dat"), old);
}

TEST(SaveQuote, AWriteThatFailsPartWayKeepsTheOldEntryAndLeavesNoTemporary) {
    TempDir dir;
    std::string old = data_record({"old words"}, "olduser");
    dir.write("valedict.dat", old);
    DoorOptions options;
    options.file_size_limit = 100;
    auto door = leave(dir, {"new words", ""}, "Y", "janeq", options);
    int line = source_line_of("Error(40, __LINE__");
    EXPECT_NE(
        door->screen.all().find("ERROR (" + std::to_string(line) + "): Cannot write valedict.dat"),
        std::string::npos)
        << door->screen.all();
    EXPECT_EQ(dir.read("valedict.dat"), old);
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_TRUE(entry.path().filename() == "valedict.dat" ||
                    entry.path().filename() == "DOOR32.SYS")
            << entry.path();
}

TEST(SaveQuote, ALinkStaysALinkAndPermissionsStay) {
    TempDir dir;
    fs::create_directory(dir.file("store"));
    dir.write("store/words.dat", data_record({"old"}, "x"));
    ::chmod(dir.file("store/words.dat").c_str(), 0640);
    fs::create_symlink("store/words.dat", dir.file("valedict.dat"));
    leave(dir, {"through the link", ""});
    EXPECT_TRUE(fs::is_symlink(dir.file("valedict.dat")));
    EXPECT_EQ(dir.read("store/words.dat"), data_record({"through the link"}, "janeq"));
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("store/words.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(SaveQuote, ConcurrentSavesAndReadsAlwaysSeeOneWholeRecord) {
    TempDir dir;
    constexpr int writers = 3, readers = 3, rounds = 30;
    auto expected = [](int w, int r) {
        std::string tag = "w" + std::to_string(w) + "r" + std::to_string(r);
        return data_record({tag + " one", tag + " two", tag + " three"},
                           "writer" + std::to_string(w));
    };
    dir.write("valedict.dat", expected(0, 0));
    std::atomic<bool> done{false};
    std::atomic<int> bad_files{0}, bad_reads{0}, checks{0};

    // Each door gets its own node folder; they share the data file's folder.
    auto node = [&](const std::string& name, const std::string& alias) {
        fs::create_directories(dir.file(name));
        std::ofstream(dir.file(name + "/DOOR32.SYS"), std::ios::binary)
            << door32_sys("Someone", alias);
        return dir.file(name);
    };
    std::vector<std::thread> threads;
    for (int w = 1; w <= writers; ++w) {
        threads.emplace_back([&, w] {
            std::string folder = node("w" + std::to_string(w), "writer" + std::to_string(w));
            for (int r = 1; r <= rounds; ++r) {
                std::string tag = "w" + std::to_string(w) + "r" + std::to_string(r);
                DoorOptions options;
                options.args = {folder};
                options.cwd = dir.path();
                DoorRun door(options);
                if (!door.wait_for(question)) ++bad_reads;
                door.type("Y" + tag + " one\r" + tag + " two\r" + tag + " three\r\rY");
                if (door.wait_exit() != 10) ++bad_reads;
            }
        });
    }
    for (int n = 1; n <= readers; ++n) {
        threads.emplace_back([&, n] {
            std::string folder = node("r" + std::to_string(n), "reader");
            for (int r = 0; r < rounds; ++r) {
                DoorOptions options;
                options.args = {folder};
                options.cwd = dir.path();
                DoorRun door(options);
                if (!door.wait_for(question)) ++bad_reads;
                door.type("N");
                door.wait_exit();
                std::string screen = door.screen.all();
                if (screen.find("ERROR") != std::string::npos ||
                    !std::regex_search(
                        screen, std::regex("left by writer[0-9]\n.*\n  w[0-9]r[0-9]+ one\n")))
                    ++bad_reads;
            }
        });
    }
    std::thread checker([&] {
        while (!done) {
            std::string now = dir.read("valedict.dat");
            bool whole = false;
            for (int w = 0; w <= writers && !whole; ++w)
                for (int r = 0; r <= rounds && !whole; ++r) whole = now == expected(w, r);
            if (!whole) ++bad_files;
            ++checks;
        }
    });
    for (auto& t : threads) t.join();
    done = true;
    checker.join();
    EXPECT_EQ(bad_reads, 0);
    EXPECT_EQ(bad_files, 0) << "of " << checks << " checks";
    EXPECT_GT(checks, 0);
}

namespace rights {

// The door's user: as root the door runs as nobody, otherwise as the tester.
constexpr uid_t nobody = 65534;
constexpr gid_t nogroup = 65534;
bool root() {
    return ::geteuid() == 0;
}

enum class Outcome { Saved, CannotOpen, CannotWrite };

struct Case {
    const char* what;
    bool needs_root;
    bool as_nobody;
    // Makes board/valedict.dat (and the folder's rights); dir is the test's folder.
    std::function<void(const TempDir& dir)> make;
    Outcome outcome;
    long size_limit = -1;
    const char* target = nullptr; // where board/valedict.dat, a link, leads
};

void own(const std::string& path, uid_t uid, gid_t gid) {
    if (root()) {
        EXPECT_EQ(::lchown(path.c_str(), uid, gid), 0) << path;
    }
}

struct Seen {
    bool exists = false, link = false;
    struct stat st {};
    std::string bytes;
};

Seen look_at(const std::string& path) {
    Seen seen;
    struct stat st {};
    seen.exists = ::lstat(path.c_str(), &st) == 0;
    seen.link = seen.exists && S_ISLNK(st.st_mode);
    ::stat(path.c_str(), &seen.st);
    if (seen.exists && S_ISREG(seen.st.st_mode)) {
        std::ifstream in(path, std::ios::binary);
        seen.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return seen;
}

const std::string old_record = data_record({"the sysop's words"}, "sysop");
const std::string new_record = data_record({"by the file's rights"}, "janeq");

void plain(const TempDir& dir, mode_t mode, uid_t uid, gid_t gid) {
    dir.write("board/valedict.dat", old_record);
    ::chmod(dir.file("board/valedict.dat").c_str(), mode);
    own(dir.file("board/valedict.dat"), uid, gid);
}

TEST(SaveQuote, SavesExactlyWhereTheDoorsUserMayWriteAndKeepsWhatTheSysopSetUp) {
    uid_t me = root() ? nobody : ::geteuid();
    gid_t my_group = root() ? nogroup : ::getegid();
    // The door holds links in shared sticky folders to Linux's rule itself,
    // as it must on the BSDs: as root the test switches the kernel's own
    // protection off for its run and puts it back however the test ends.
    const char* protection = "/proc/sys/fs/protected_symlinks";
    struct PutBack {
        std::string path, value;
        ~PutBack() {
            if (!value.empty() && value != "0") std::ofstream(path) << value;
        }
    } put_back{protection, ""};
    std::ifstream(protection) >> put_back.value;
    bool kernel_off = false;
    if (root() && !put_back.value.empty()) {
        std::ofstream(protection) << "0";
        std::string now;
        std::ifstream(protection) >> now;
        kernel_off = now == "0";
    }
    const Case cases[] = {
        {"a write-protected file of the door's user", false, true,
         [&](const TempDir& d) { plain(d, 0444, me, my_group); }, Outcome::CannotOpen},
        {"a file of mode 000", false, true, [&](const TempDir& d) { plain(d, 0, me, my_group); },
         Outcome::CannotOpen},
        {"a folder the door may not write, a file it may", true, true,
         [](const TempDir& d) {
             plain(d, 0666, 0, 0);
             ::chmod(d.file("board").c_str(), 0755);
         },
         Outcome::Saved},
        {"a shared sticky folder, a group-writable file", true, true,
         [](const TempDir& d) {
             plain(d, 0664, 0, nogroup);
             ::chmod(d.file("board").c_str(), 01777);
         },
         Outcome::Saved},
        {"the same, with a file-size limit below the record", true, true,
         [](const TempDir& d) {
             plain(d, 0664, 0, nogroup);
             ::chmod(d.file("board").c_str(), 01777);
         },
         Outcome::CannotWrite, 100},
        {"a file with a second name", false, false,
         [](const TempDir& d) {
             plain(d, 0640, ::geteuid(), ::getegid());
             fs::create_hard_link(d.file("board/valedict.dat"), d.file("board/other.dat"));
         },
         Outcome::Saved},
        {"another user's set-ID file, saved by root", true, false,
         [](const TempDir& d) { plain(d, 06664, nobody, nogroup); }, Outcome::Saved},
        {"a link another user planted in a shared sticky folder", true, false,
         [](const TempDir& d) {
             // What looks like a killed save's leftover there stays too.
             d.write("target.dat.saving.Ab12Cd", old_record);
             struct timespec old[2] = {{std::time(nullptr) - 120, 0},
                                       {std::time(nullptr) - 120, 0}};
             ::utimensat(AT_FDCWD, d.file("target.dat.saving.Ab12Cd").c_str(), old, 0);
             d.write("target.dat", old_record);
             ::chmod(d.file("target.dat").c_str(), 0666);
             ::chmod(d.file("board").c_str(), 01777);
             fs::create_symlink("../target.dat", d.file("board/valedict.dat"));
             own(d.file("board/valedict.dat"), nobody, nogroup);
         },
         Outcome::CannotOpen, -1, "target.dat"},
        {"the same link to no file yet, which a save would create", true, false,
         [](const TempDir& d) {
             ::chmod(d.file("board").c_str(), 01777);
             fs::create_symlink("../target.dat", d.file("board/valedict.dat"));
             own(d.file("board/valedict.dat"), nobody, nogroup);
         },
         Outcome::CannotOpen, -1, "target.dat"},
        {"a planted link to a planted link in a second sticky folder", true, false,
         [](const TempDir& d) {
             d.write("target.dat", old_record);
             ::chmod(d.file("target.dat").c_str(), 0666);
             fs::create_directory(d.file("shared"));
             ::chmod(d.file("shared").c_str(), 01777);
             fs::create_symlink("../target.dat", d.file("shared/hop"));
             own(d.file("shared/hop"), nobody, nogroup);
             fs::create_symlink("../shared/hop", d.file("board/valedict.dat"));
         },
         Outcome::CannotOpen, -1, "target.dat"},
        {"a link through a folder link planted in a second sticky folder", true, false,
         [](const TempDir& d) {
             d.write("target.dat", old_record);
             ::chmod(d.file("target.dat").c_str(), 0666);
             fs::create_directory(d.file("shared"));
             ::chmod(d.file("shared").c_str(), 01777);
             fs::create_symlink("..", d.file("shared/way"));
             own(d.file("shared/way"), nobody, nogroup);
             fs::create_symlink("../shared/way/target.dat", d.file("board/valedict.dat"));
         },
         Outcome::CannotOpen, -1, "target.dat"},
        {"a link of the folder's owner in a shared sticky folder", true, false,
         [](const TempDir& d) {
             d.write("target.dat", old_record);
             ::chmod(d.file("target.dat").c_str(), 0666);
             ::chmod(d.file("board").c_str(), 01777);
             fs::create_symlink("../target.dat", d.file("board/valedict.dat"));
         },
         Outcome::Saved, -1, "target.dat"},
        {"a link of the door's user in another's sticky folder", true, true,
         [](const TempDir& d) {
             d.write("target.dat", old_record);
             ::chmod(d.file("target.dat").c_str(), 0666);
             ::chmod(d.file("board").c_str(), 01777);
             fs::create_symlink("../target.dat", d.file("board/valedict.dat"));
             own(d.file("board/valedict.dat"), nobody, nogroup);
         },
         Outcome::Saved, -1, "target.dat"},
        {"a FIFO", false, false,
         [](const TempDir& d) {
             ASSERT_EQ(::mkfifo(d.file("board/valedict.dat").c_str(), 0666), 0);
         },
         Outcome::CannotOpen},
        {"a folder", false, false,
         [](const TempDir& d) { fs::create_directory(d.file("board/valedict.dat")); },
         Outcome::CannotOpen},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && !root()) {
            std::cout << "[ SKIPPED  ] " << c.what << ": needs root\n";
            continue;
        }
        bool link_case = c.target != nullptr;
        if (link_case && !kernel_off) {
            std::cout << "[ SKIPPED  ] " << c.what
                      << ": needs root and a writable /proc/sys/fs/protected_symlinks\n";
            continue;
        }
        TempDir dir;
        ::chmod(dir.path().c_str(), 0755);
        fs::create_directory(dir.file("board"));
        ::chmod(dir.file("board").c_str(), 0777);
        dir.write("DOOR32.SYS", door32_sys("Jane Public", "janeq"));
        ::chmod(dir.file("DOOR32.SYS").c_str(), 0644);
        c.make(dir);
        // Root works in no folder of its own that others may write: a plain
        // board becomes root's alone; a shared sticky one another user's,
        // whom the door then runs as.
        struct stat board {};
        if (root() && !c.as_nobody && ::stat(dir.file("board").c_str(), &board) == 0 &&
            board.st_uid == 0) {
            if (board.st_mode & S_ISVTX) {
                ASSERT_EQ(::chown(dir.file("board").c_str(), 1700, 1700), 0);
                for (const auto& entry : fs::directory_iterator(dir.file("board"))) {
                    struct stat link {};
                    if (::lstat(entry.path().c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
                        link.st_uid == 0)
                        (void)::lchown(entry.path().c_str(), 1700, 1700); // the owner's links
                }
            } else {
                ::chmod(dir.file("board").c_str(), board.st_mode & 07755);
            }
        }
        std::string data = dir.file(link_case ? c.target : "board/valedict.dat");
        Seen before = look_at(data);
        auto names = [&] {
            std::set<std::string> all;
            for (const auto& entry : fs::directory_iterator(dir.path()))
                all.insert(entry.path().filename().string());
            return all;
        };
        std::set<std::string> names_before = names();

        DoorOptions options;
        options.args = {dir.file("DOOR32.SYS")};
        options.cwd = dir.file("board");
        options.unprivileged = c.as_nobody;
        options.file_size_limit = c.size_limit;
        DoorRun door(options);
        ASSERT_TRUE(door.wait_for(question)) << door.screen.all();
        if (!S_ISREG(before.st.st_mode) || (link_case && c.outcome == Outcome::CannotOpen)) {
            EXPECT_GE(door.screen.find_row("No current Valedicts on file."), 0)
                << door.screen.all();
        }
        door.type("Yby the file's rights\r\rY");
        EXPECT_EQ(door.wait_exit(), 10);
        std::string screen = door.screen.all();
        EXPECT_EQ(screen.find("Cannot open: valedict.dat") != std::string::npos,
                  c.outcome == Outcome::CannotOpen)
            << screen;
        EXPECT_EQ(screen.find("Cannot write valedict.dat") != std::string::npos,
                  c.outcome == Outcome::CannotWrite)
            << screen;

        Seen after = look_at(data);
        EXPECT_EQ(after.exists, before.exists);
        EXPECT_EQ(after.bytes, c.outcome == Outcome::Saved ? new_record : before.bytes);
        EXPECT_EQ(after.st.st_uid, before.st.st_uid);
        EXPECT_EQ(after.st.st_gid, before.st.st_gid);
        EXPECT_EQ(after.st.st_mode & 0777, before.st.st_mode & 0777);
        EXPECT_EQ(after.st.st_mode & S_IFMT, before.st.st_mode & S_IFMT);
        if (c.outcome == Outcome::Saved) {
            EXPECT_EQ(after.st.st_mode & 06000, 0u);
        }
        EXPECT_EQ(after.st.st_nlink, before.st.st_nlink);
        if (link_case) {
            EXPECT_TRUE(look_at(dir.file("board/valedict.dat")).link);
        }
        if (link_case && c.outcome == Outcome::CannotOpen) {
            EXPECT_EQ(names(), names_before);
        }
        if (fs::exists(dir.file("board/other.dat"))) {
            EXPECT_EQ(look_at(dir.file("board/other.dat")).bytes, after.bytes);
        }
        for (const auto& entry : fs::directory_iterator(dir.file("board")))
            EXPECT_EQ(entry.path().filename().string().rfind("valedict.dat.", 0), std::string::npos)
                << "left behind: " << entry.path();
    }
}

} // namespace rights

} // namespace
