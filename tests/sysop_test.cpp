// The sysop's tool, end to end: what it sets the door shows, history kept
// and restored, hostile records shown safely, refusals, and a storm of saves.
#include "door_harness.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr const char* question = "Would you like to add some valedicts [Y/n]:";

struct Ran {
    int status;
    std::string out, err;
};

// Runs the tool with `input` on standard input, in `cwd`; as root and
// `unprivileged`, as nobody.
Ran tool(const std::vector<std::string>& args, const std::string& cwd,
         const std::string& input = "", const char* locale = nullptr, bool unprivileged = false) {
    int in[2], out[2], err[2];
    if (::pipe(in) || ::pipe(out) || ::pipe(err)) throw std::runtime_error("pipe");
    std::vector<std::string> all = {VALEDICT_SYSOP};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
        if (::chdir(cwd.c_str()) != 0) _exit(127);
        if (locale) ::setenv("LC_ALL", locale, 1);
        if (unprivileged && ::geteuid() == 0 &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            _exit(126);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    (void)!::write(in[1], input.data(), input.size());
    ::close(in[1]);
    Ran ran;
    auto drain = [](int fd, std::string& into) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) into.append(buf, static_cast<size_t>(n));
        ::close(fd);
    };
    drain(out[0], ran.out);
    drain(err[0], ran.err);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return ran;
}

// The door's screen for a caller who only looks.
std::string door_shows(const TempDir& dir) {
    dir.write("DOOR32.SYS", door32_sys("Jane Public", "janeq"));
    DoorOptions options;
    options.args = {dir.path()};
    options.cwd = dir.path();
    DoorRun door(options);
    EXPECT_TRUE(door.wait_for(question)) << door.screen.all();
    door.type("N");
    EXPECT_EQ(door.wait_exit(), 10);
    return door.screen.all();
}

std::vector<std::string> kept(const TempDir& dir) {
    std::vector<std::string> records;
    for (const auto& entry : fs::directory_iterator(dir.file("valedict.old")))
        if (entry.path().extension() == ".dat" && entry.path().filename().string()[0] != '.')
            records.push_back(dir.read("valedict.old/" + entry.path().filename().string()));
    return records;
}

TEST(SysopSet, AnEntrySetByTheToolIsShownByTheDoorAndBadTextIsRefused) {
    TempDir dir;
    Ran set = tool({"set", "--name", "The Sysop", "-"}, dir.path(), "Welcome back.\r\nBe kind.\n");
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(dir.read("valedict.dat"), data_record({"Welcome back.", "Be kind."}, "The Sysop"));
    std::string screen = door_shows(dir);
    EXPECT_NE(screen.find("These Valedicts left by The Sysop"), std::string::npos) << screen;
    EXPECT_NE(screen.find("  Be kind."), std::string::npos) << screen;

    dir.write("words.txt", "From a file\n");
    EXPECT_EQ(tool({"set", "--name", "x", "words.txt"}, dir.path()).status, 0);
    std::string good = dir.read("valedict.dat");
    EXPECT_EQ(good, data_record({"From a file"}, "x"));
    // With -C, a file named on the command line is still read from where the
    // tool was started.
    fs::create_directory(dir.file("door"));
    Ran elsewhere = tool({"-C", "door", "set", "--name", "x", "words.txt"}, dir.path());
    EXPECT_EQ(elsewhere.status, 0) << elsewhere.err;
    EXPECT_EQ(dir.read("door/valedict.dat"), good);

    struct Bad {
        std::vector<std::string> args;
        std::string text, says;
    };
    const Bad bad[] = {
        {{"--name", "x"}, std::string(70, 'a') + "\n", "line 1: more than 69 characters"},
        {{"--name", "x"}, "ok\nbell\a\n", "line 2: byte 0x07"},
        {{"--name", "x"}, "caf\xe9\n", "line 1: byte 0xe9"},
        {{"--name", "x"}, "1\n2\n3\n4\n5\n6\n", "line 6: more than five lines"},
        {{"--name", "x"}, "one\n\nthree\n", "line 2: empty"},
        {{"--name", "x"}, "one\n\n", "line 2: empty"},
        {{"--name", "x"}, "", "empty text"},
        {{"--name", std::string(36, 'n')}, "fine\n", "--name: more than 35 characters"},
        {{"--name", "tab\there"}, "fine\n", "--name: a byte outside printable ASCII"},
        {{"--nam", "x"}, "fine\n", "usage: valedict-sysop"},
    };
    for (const Bad& b : bad) {
        std::vector<std::string> args = {"set"};
        args.insert(args.end(), b.args.begin(), b.args.end());
        Ran ran = tool(args, dir.path(), b.text);
        EXPECT_EQ(ran.status, 1) << b.says;
        EXPECT_NE(ran.err.find(b.says), std::string::npos) << ran.err;
        EXPECT_EQ(dir.read("valedict.dat"), good) << b.says;
    }
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().rfind("valedict.dat.", 0), std::string::npos);
    Ran nowhere = tool({"-C", dir.file("missing"), "show"}, dir.path());
    EXPECT_EQ(nowhere.status, 2);
    EXPECT_NE(nowhere.err.find(dir.file("missing") + ": "), std::string::npos) << nowhere.err;
}

TEST(SysopHistory, SavesKeepTheReplacedRecordWhichRestoreAndClearUse) {
    TempDir dir;
    Ran off = tool({"history"}, dir.path());
    EXPECT_EQ(off.status, 0);
    EXPECT_NE(off.out.find("mkdir valedict.old"), std::string::npos) << off.out;
    Ran restore_off = tool({"restore", "1"}, dir.path());
    EXPECT_EQ(restore_off.status, 2);
    EXPECT_NE(restore_off.err.find("mkdir valedict.old"), std::string::npos);

    std::string first = data_record({"the first words"}, "early");
    dir.write("valedict.dat", first);
    fs::permissions(dir.file("valedict.dat"), fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directory(dir.file("valedict.old"));
    // A caller's save through the door keeps the record it replaces.
    dir.write("DOOR32.SYS", door32_sys("Jane Public", "janeq"));
    DoorOptions options;
    options.args = {dir.path()};
    options.cwd = dir.path();
    {
        DoorRun door(options);
        ASSERT_TRUE(door.wait_for(question));
        door.type("Ya caller's words\r\rY");
        EXPECT_EQ(door.wait_exit(), 10);
    }
    std::string callers = data_record({"a caller's words"}, "janeq");
    EXPECT_EQ(dir.read("valedict.dat"), callers);
    EXPECT_EQ(kept(dir), std::vector<std::string>{first});
    // The kept entry is as private as the data file.
    for (const auto& entry : fs::directory_iterator(dir.file("valedict.old")))
        EXPECT_EQ(entry.status().permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write)
            << entry.path();
    Ran listed = tool({"history"}, dir.path());
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find(" 1  "), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("early: the first words"), std::string::npos) << listed.out;

    // Restore the first words, then undo it: the newest kept is the caller's.
    EXPECT_EQ(tool({"restore", "1"}, dir.path()).status, 0);
    EXPECT_EQ(dir.read("valedict.dat"), first);
    EXPECT_EQ(tool({"restore", "1"}, dir.path()).status, 0);
    EXPECT_EQ(dir.read("valedict.dat"), callers);
    EXPECT_EQ(tool({"restore", "9"}, dir.path()).status, 1);

    // Clear keeps the entry too, and the door then shows the notice.
    EXPECT_EQ(tool({"clear"}, dir.path()).status, 0);
    EXPECT_FALSE(fs::exists(dir.file("valedict.dat")));
    EXPECT_NE(door_shows(dir).find("No current Valedicts on file."), std::string::npos);
    auto records = kept(dir);
    // Kept: first (the door's save), callers (restore), first (undo), callers (clear).
    EXPECT_EQ(records.size(), 4u);
    EXPECT_EQ(std::count(records.begin(), records.end(), callers), 2);
    EXPECT_EQ(std::count(records.begin(), records.end(), first), 2);

    // Only the newest 20 stay.
    for (int i = 0; i < 22; ++i)
        ASSERT_EQ(
            tool({"set", "--name", "n", "-"}, dir.path(), "round " + std::to_string(i)).status, 0);
    records = kept(dir);
    EXPECT_EQ(records.size(), 20u);
    EXPECT_EQ(std::count(records.begin(), records.end(), data_record({"round 20"}, "n")), 1);
    EXPECT_EQ(std::count(records.begin(), records.end(), data_record({"round 0"}, "n")), 0);

    // A history that cannot be written never costs the save.
    if (::geteuid() != 0) {
        ::chmod(dir.file("valedict.old").c_str(), 0555);
        Ran unkept = tool({"set", "--name", "n", "-"}, dir.path(), "saved anyway");
        ::chmod(dir.file("valedict.old").c_str(), 0755);
        EXPECT_EQ(unkept.status, 0);
        EXPECT_NE(unkept.err.find("the old record was not kept"), std::string::npos);
        EXPECT_EQ(dir.read("valedict.dat"), data_record({"saved anyway"}, "n"));
    }
}

// A sysop who runs the tool as root in the door's folder: every file it
// writes there and in the history folder stays the door's user's, and the
// door, as that user, saves over them afterwards.
TEST(SysopRights, AsRootTheFilesItWritesBelongToTheDoorsUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: the tool runs as root, the door as nobody";
    constexpr uid_t nobody = 65534;
    constexpr gid_t nogroup = 65534;
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    std::string board = dir.file("board");
    for (const std::string& folder : {board, board + "/valedict.old", board + "/toss"}) {
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0) << folder;
        ASSERT_EQ(::chown(folder.c_str(), nobody, nogroup), 0) << folder;
    }
    // The league's state, seen list and packets too.
    dir.write("board/valedict.ini", "[league]\narea = V\npoint = 21:1/101.7\nboard = 21:1/101\n"
                                    "name = A\ntoss = " +
                                        board + "/toss\npickup = " + board + "/toss\n");
    ASSERT_EQ(::chown((board + "/valedict.ini").c_str(), nobody, nogroup), 0);
    auto all_the_doors = [&](const char* after) {
        SCOPED_TRACE(after);
        for (const auto& entry : fs::recursive_directory_iterator(board)) {
            struct stat st {};
            ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, nobody) << entry.path();
            EXPECT_EQ(st.st_gid, nogroup) << entry.path();
        }
    };
    // A new entry, one over it (which keeps the first), a clear, a restore.
    const std::vector<std::vector<std::string>> steps = {{"set", "--name", "Root", "-"},
                                                         {"set", "--name", "Root", "-"},
                                                         {"clear"},
                                                         {"restore", "1"}};
    for (const auto& step : steps) {
        std::vector<std::string> args = {"-C", board};
        args.insert(args.end(), step.begin(), step.end());
        Ran ran = tool(args, dir.path(), "set by root\n");
        ASSERT_EQ(ran.status, 0) << step[0] << ": " << ran.err;
        all_the_doors(step[0].c_str());
    }
    ASSERT_TRUE(fs::exists(board + "/valedict.dat"));
    ASSERT_TRUE(fs::exists(board + "/valedict.league"));

    dir.write("board/DOOR32.SYS", door32_sys("Jane Public", "janeq"));
    DoorOptions options;
    options.args = {board};
    options.cwd = board;
    options.unprivileged = true;
    DoorRun door(options);
    ASSERT_TRUE(door.wait_for(question)) << door.screen.all();
    door.type("y");
    ASSERT_TRUE(door.wait_for("1:"));
    door.type("after the sysop\r\r");
    ASSERT_TRUE(door.wait_for("Save these valedicts [Y/n]:"));
    door.type("y");
    EXPECT_EQ(door.wait_exit(), 10);
    EXPECT_EQ(door.screen.all().find("Cannot open"), std::string::npos) << door.screen.all();
    EXPECT_EQ(dir.read("board/valedict.dat"), data_record({"after the sysop"}, "janeq"));
}

// Switches the kernel's own link protection off while it lives, so that the
// tool's check is what refuses, and puts it back however the test ends.
struct KernelLinkProtectionOff {
    const char* path = "/proc/sys/fs/protected_symlinks";
    std::string was;
    bool off = false;
    KernelLinkProtectionOff() {
        std::ifstream(path) >> was;
        if (::geteuid() != 0 || was.empty()) return;
        std::ofstream(path) << "0";
        std::string now;
        std::ifstream(path) >> now;
        off = now == "0";
    }
    ~KernelLinkProtectionOff() {
        if (!was.empty() && was != "0") std::ofstream(path) << was;
    }
};

// Sets a file's (or a link's own) times to `age` seconds ago.
void age(const std::string& path, int seconds) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = std::time(nullptr) - seconds;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// The kept name of this UTC second, `ahead` seconds on.
std::string stamp(int ahead) {
    std::time_t t = std::time(nullptr) + ahead;
    char out[32];
    std::strftime(out, sizeof out, "%Y%m%dT%H%M%SZ", std::gmtime(&t));
    return out;
}

TEST(SysopHistory, KeptRecordsAreReadSafelyWhateverTheFolderHolds) {
    const std::string current = data_record({"current words"}, "now");
    const std::string older = data_record({"older words"}, "before");
    const std::string newer = data_record({"newer words"}, "lately");
    const std::string secret = data_record({"SECRET of root"}, "root");
    auto plant_link = [&](const TempDir& d) {
        d.write("secret.dat", secret);
        fs::create_symlink("../secret.dat", d.file("valedict.old/99991231T235959Z.dat"));
    };
    auto link_gone_secret_kept = [&](const TempDir& d) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(d.file("valedict.old/99991231T235959Z.dat"))));
        EXPECT_EQ(d.read("secret.dat"), secret);
    };
    auto unreadable = [](const TempDir& d) { ::chmod(d.file("valedict.old").c_str(), 0); };
    auto readable_again = [](const TempDir& d) { ::chmod(d.file("valedict.old").c_str(), 0755); };
    auto plant_history_link = [&](const TempDir& d) {
        fs::rename(d.file("valedict.old"), d.file("elsewhere"));
        ::chmod(d.path().c_str(), 01777);
        fs::create_symlink("elsewhere", d.file("valedict.old"));
        EXPECT_EQ(::lchown(d.file("valedict.old").c_str(), 65534, 65534), 0);
    };
    auto plant_entry_link = [&](const TempDir& d) {
        fs::rename(d.file("valedict.dat"), d.file("victim.dat"));
        ::chmod(d.path().c_str(), 01777);
        fs::create_symlink("victim.dat", d.file("valedict.dat"));
        EXPECT_EQ(::lchown(d.file("valedict.dat").c_str(), 65534, 65534), 0);
    };
    auto victim_untouched = [&](const TempDir& d) {
        EXPECT_EQ(d.read("victim.dat"), current);
        EXPECT_TRUE(fs::is_symlink(d.file("valedict.dat")));
    };

    struct Case {
        const char* what;
        std::function<void(const TempDir&)> make;
        std::vector<std::string> args;
        int status;
        std::string says = "", never = "";
        std::string entry_after = ""; // empty: the current entry stays
        std::function<void(const TempDir&)> check = nullptr;
        std::string input = "";
        bool unprivileged = false, planted = false;
    };
    const Case cases[] = {
        {"a link under a far-future name is never listed",
         plant_link,
         {"history"},
         0,
         " 1  2026-12-02 00:00:00 UTC  lately: newer words",
         "SECRET"},
        {"nor restored, and the save removes it",
         plant_link,
         {"restore", "1"},
         0,
         "",
         "SECRET",
         newer,
         link_gone_secret_kept},
        {"a kept record with a control byte is refused",
         [&](const TempDir& d) {
             d.write("valedict.old/20261203T000000Z.dat", data_record({"\x1b[2Jowned"}, "x"));
         },
         {"restore", "1"},
         1,
         "20261203T000000Z.dat: line 1: byte 0x1b at column 1"},
        {"a kept record cut short is refused",
         [&](const TempDir& d) {
             d.write("valedict.old/20261203T000000Z.dat", newer.substr(0, 100));
         },
         {"restore", "1"},
         1,
         "cut short, 100 of 386 bytes"},
        {"a kept record the door would show only in part is refused",
         [&](const TempDir& d) {
             d.write("valedict.old/20261203T000000Z.dat", data_record({"one", "", "three"}, "x"));
         },
         {"restore", "1"},
         1,
         "line 2: empty"},
        {"a kept name with a control byte is refused",
         [&](const TempDir& d) {
             d.write("valedict.old/20261203T000000Z.dat", data_record({"fine"}, "caf\x1b"));
         },
         {"restore", "1"},
         1,
         "name: a byte outside printable ASCII"},
        {"a kept name in CP437 letters, as the door saves it from a drop file, comes back",
         [&](const TempDir& d) {
             d.write("valedict.old/20261203T000000Z.dat", data_record({"fine"}, "Zo\x89"));
         },
         {"restore", "1"},
         0,
         "",
         "",
         data_record({"fine"}, "Zo\x89")},
        {"every one of 302 names is read, newest first",
         [&](const TempDir& d) {
             for (int i = 0; i < 300; ++i) {
                 char name[64];
                 std::snprintf(name, sizeof name, "valedict.old/20250101T00%02d%02dZ.dat", i / 60,
                               i % 60);
                 d.write(name, older);
             }
         },
         {"history"},
         0,
         "302  2025-01-01 00:00:00 UTC  before: older words"},
        {"a huge suffix in this second never overflows the next one",
         [&](const TempDir& d) {
             for (int ahead = 0; ahead < 4; ++ahead)
                 d.write("valedict.old/" + stamp(ahead) + "-2147483647.dat", older);
         },
         {"set", "--name", "n", "-"},
         0,
         "",
         "",
         data_record({"next words"}, "n"),
         [&](const TempDir& d) {
             Ran listed = tool({"history"}, d.path());
             EXPECT_NE(listed.out.find(" 1  " + std::string(1, '2')), std::string::npos);
             EXPECT_NE(listed.out.find("now: current words"), std::string::npos) << listed.out;
             for (const auto& entry : fs::directory_iterator(d.file("valedict.old")))
                 EXPECT_EQ(entry.path().filename().string().find("--"), std::string::npos)
                     << entry.path();
         },
         "next words\n"},
        {"a history folder that cannot be read is said, not taken as empty",
         unreadable,
         {"history"},
         2,
         "valedict.old: Permission denied",
         "no records kept yet",
         "",
         readable_again,
         "",
         true},
        {"and restore says the same",
         unreadable,
         {"restore", "1"},
         2,
         "valedict.old: Permission denied",
         "",
         "",
         readable_again,
         "",
         true},
        {"restore takes no blank", nullptr, {"restore", " 1"}, 1, "not a record number: \" 1\""},
        {"restore takes no sign", nullptr, {"restore", "+1"}, 1, "not a record number: \"+1\""},
        {"restore takes no number beyond the kept ones",
         nullptr,
         {"restore", "3"},
         1,
         "no kept record 3 (2 kept)"},
        {"nor one beyond any number",
         nullptr,
         {"restore", "99999999999999999999"},
         1,
         "no kept record 99999999999999999999 (2 kept)"},
        {"a history folder another user linked into a shared sticky folder",
         plant_history_link,
         {"history"},
         2,
         "valedict.old: Permission denied",
         "newer words",
         "",
         nullptr,
         "",
         false,
         true},
        {"an entry another user linked there is not shown",
         plant_entry_link,
         {"show"},
         2,
         "valedict.dat: Permission denied",
         "current words",
         "",
         victim_untouched,
         "",
         false,
         true},
        {"nor written",
         plant_entry_link,
         {"set", "--name", "n", "-"},
         2,
         "valedict.dat: Permission denied",
         "",
         "",
         victim_untouched,
         "planted\n",
         false,
         true},
        {"nor cleared",
         plant_entry_link,
         {"clear"},
         2,
         "valedict.dat: Permission denied",
         "",
         "",
         victim_untouched,
         "",
         false,
         true},
    };
    KernelLinkProtectionOff kernel;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.planted && !kernel.off) {
            std::cout << "[ SKIPPED  ] " << c.what
                      << ": needs root and a writable /proc/sys/fs/protected_symlinks\n";
            continue;
        }
        TempDir dir;
        ::chmod(dir.path().c_str(), 0755);
        dir.write("valedict.dat", current);
        fs::create_directory(dir.file("valedict.old"));
        dir.write("valedict.old/20261201T000000Z.dat", older);
        dir.write("valedict.old/20261202T000000Z.dat", newer);
        if (c.make) c.make(dir);
        Ran ran = tool(c.args, dir.path(), c.input, nullptr, c.unprivileged);
        std::string said = ran.out + ran.err;
        // Root refuses a folder of root's that others may write, before
        // any link in it is looked at.
        bool refused = c.planted && !c.unprivileged && ::geteuid() == 0;
        EXPECT_EQ(ran.status, refused ? 2 : c.status) << said;
        EXPECT_NE(said.find(refused ? "owned by root but writable by its group or others" : c.says),
                  std::string::npos)
            << said;
        if (!c.never.empty()) {
            EXPECT_EQ(said.find(c.never), std::string::npos) << said;
        }
        if (c.check) c.check(dir);
        if (!fs::is_symlink(dir.file("valedict.dat"))) {
            EXPECT_EQ(dir.read("valedict.dat"), c.entry_after.empty() ? current : c.entry_after);
        }
    }
}

TEST(SysopHistory, ASaveSweepsWhatKilledSavesLeftBehind) {
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string record = data_record({"kept"}, "x");
    auto plant = [&](bool history) {
        dir.write("valedict.dat", record);
        dir.write("valedict.dat.saving.Ab12Cd", "");
        age(dir.file("valedict.dat.saving.Ab12Cd"), 120);
        dir.write("valedict.dat.saving.Fresh1", record);
        dir.write("valedict.dat.backup", record); // the sysop's copy
        age(dir.file("valedict.dat.backup"), 120);
        dir.write("victim.dat", record);
        fs::remove(dir.file("valedict.dat.saving.Link12"));
        fs::create_symlink("victim.dat", dir.file("valedict.dat.saving.Link12"));
        age(dir.file("valedict.dat.saving.Link12"), 120);
        if (!history) return;
        dir.write("valedict.old/.keeping.Xy34Zw", record);
        age(dir.file("valedict.old/.keeping.Xy34Zw"), 120);
        dir.write("valedict.old/.keeping.Fresh2", record);
        dir.write("valedict.old/.keeping.toolongname", record);
        age(dir.file("valedict.old/.keeping.toolongname"), 120);
    };
    auto there = [&](const std::string& name) {
        return fs::exists(fs::symlink_status(dir.file(name)));
    };
    for (bool history : {false, true}) {
        SCOPED_TRACE(history ? "with history" : "without history");
        if (history) fs::create_directory(dir.file("valedict.old"));
        plant(history);
        Ran set = tool({"set", "--name", "n", "-"}, dir.path(), "after\n");
        ASSERT_EQ(set.status, 0) << set.err;
        EXPECT_FALSE(there("valedict.dat.saving.Ab12Cd"));
        EXPECT_TRUE(there("valedict.dat.saving.Fresh1")); // a save may be under way
        EXPECT_TRUE(there("valedict.dat.backup"));
        EXPECT_TRUE(fs::is_symlink(dir.file("valedict.dat.saving.Link12")));
        EXPECT_EQ(dir.read("victim.dat"), record);
        if (history) {
            EXPECT_FALSE(there("valedict.old/.keeping.Xy34Zw"));
            EXPECT_TRUE(there("valedict.old/.keeping.Fresh2"));
            EXPECT_TRUE(there("valedict.old/.keeping.toolongname"));
        }
    }
}

TEST(SysopShow, HostileRecordsNeverReachTheTerminalAsControlBytes) {
    TempDir dir;
    std::string hostile = data_record({"\x1b[2J\x1b]0;owned\a", "caf\x82 \x9b"
                                                                "31m"},
                                      "\x1b[5m");
    dir.write("valedict.dat", hostile);
    Ran raw = tool({"show", "--raw"}, dir.path());
    EXPECT_EQ(raw.status, 0);
    for (char c : raw.out) EXPECT_TRUE(c == '\n' || (c >= 32 && c <= 126)) << static_cast<int>(c);
    EXPECT_NE(raw.out.find("a whole record"), std::string::npos) << raw.out;
    EXPECT_NE(raw.out.find("line 1: \\x1b[2J\\x1b]0;owned\\x07"), std::string::npos) << raw.out;
    EXPECT_NE(raw.out.find("line 2: caf\\x82 \\x9b31m"), std::string::npos) << raw.out;
    EXPECT_NE(raw.out.find("name: \\x1b[5m"), std::string::npos) << raw.out;

    // On a UTF-8 terminal: the entry where the door puts it, in its colours.
    DoorOptions options;
    options.program = VALEDICT_SYSOP;
    options.args = {"show"};
    options.cwd = dir.path();
    options.env = {"LC_ALL=C.UTF-8"};
    options.utf8_screen = true;
    DoorRun shown(options);
    EXPECT_EQ(shown.wait_exit(), 0);
    const Screen& s = shown.screen;
    EXPECT_EQ(s.row(0), "These Valedicts left by ?[5m");
    EXPECT_EQ(s.cell(0, 24).colour, 11);
    EXPECT_EQ(s.row(1).substr(0, 9), "\u2554\u2550\u2550");
    EXPECT_EQ(s.cell(1, 0).colour, 9);
    EXPECT_EQ(s.row(2), "  ?[2J?]0;owned?");
    EXPECT_EQ(s.row(3), "  caf\u00e9 \u00a231m"); // CP437 0x82 and 0x9b, never a C1 CSI
    EXPECT_EQ(s.cell(2, 2).colour, 3);
    EXPECT_EQ(shown.output.find("\x1b]"), std::string::npos);
    EXPECT_EQ(shown.output.find("\x1b[2J"), std::string::npos);

    // A cut record says so; without UTF-8 the borders are plain.
    dir.write("valedict.dat", hostile.substr(0, 100));
    Ran cut = tool({"show", "--raw"}, dir.path());
    EXPECT_NE(cut.out.find("cut short, 100 of 386 bytes"), std::string::npos) << cut.out;
    Ran plain = tool({"show"}, dir.path(), "", "C");
    EXPECT_NE(plain.out.find("+======="), std::string::npos) << plain.out;
    EXPECT_EQ(plain.out.find('\x1b'), std::string::npos); // no colour into a pipe
}

TEST(SysopStorm, DoorsAndTheToolSavingAtOnceKeepEveryReplacedRecordOnce) {
    TempDir dir;
    fs::create_directory(dir.file("valedict.old"));
    std::string start = data_record({"the start"}, "nobody yet");
    dir.write("valedict.dat", start);
    constexpr int doors = 3, rounds = 4;
    std::atomic<bool> done{false};
    std::atomic<int> cut{0}, failed{0};
    std::vector<std::thread> threads;
    std::set<std::string> saved = {start};
    for (int d = 1; d <= doors; ++d)
        for (int r = 1; r <= rounds; ++r)
            saved.insert(data_record({"door " + std::to_string(d) + " round " + std::to_string(r)},
                                     "door" + std::to_string(d)));
    for (int r = 1; r <= rounds; ++r)
        saved.insert(data_record({"tool round " + std::to_string(r)}, "sysop"));
    for (int d = 1; d <= doors; ++d) {
        threads.emplace_back([&, d] {
            std::string node = dir.file("node" + std::to_string(d));
            fs::create_directories(node);
            std::ofstream(node + "/DOOR32.SYS", std::ios::binary)
                << door32_sys("Some One", "door" + std::to_string(d));
            for (int r = 1; r <= rounds; ++r) {
                DoorOptions options;
                options.args = {node};
                options.cwd = dir.path();
                DoorRun door(options);
                if (!door.wait_for(question)) ++failed;
                door.type("Ydoor " + std::to_string(d) + " round " + std::to_string(r) + "\r\rY");
                if (door.wait_exit() != 10) ++failed;
            }
        });
    }
    threads.emplace_back([&] {
        for (int r = 1; r <= rounds; ++r)
            if (tool({"set", "--name", "sysop"}, dir.path(), "tool round " + std::to_string(r))
                    .status != 0)
                ++failed;
    });
    std::thread reader([&] {
        while (!done)
            if (!saved.count(dir.read("valedict.dat"))) ++cut;
    });
    for (auto& t : threads) t.join();
    done = true;
    reader.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(cut, 0);
    // Every save replaced one record and kept it: all but the last one, once each.
    auto records = kept(dir);
    std::string last = dir.read("valedict.dat");
    std::map<std::string, int> times;
    for (const auto& r : records) ++times[r];
    EXPECT_EQ(records.size(), saved.size() - 1);
    for (const auto& r : saved) EXPECT_EQ(times[r], r == last ? 0 : 1);
}

} // namespace

namespace {

// What a root-only file or folder is: owner, mode, bytes (or its names).
std::string root_only(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "gone";
    std::string seen = std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
                       std::to_string(st.st_mode) + " ";
    if (S_ISDIR(st.st_mode)) {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(path))
            names.insert(entry.path().filename().string());
        for (const auto& name : names) seen += name + ",";
        return seen;
    }
    std::ifstream in(path, std::ios::binary);
    return seen + std::string(std::istreambuf_iterator<char>(in), {});
}

// Root, in a folder the BBS's user owns (uid 1600, no passwd entry), runs
// the tool and the door as that user: links the user planted to root-only
// files and folders reach nothing, and honest saves are that user's files.
TEST(SysopRights, AsRootTheFolderOwnersLinksReachNothingOfRoots) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: the tool and the door run as root";
    constexpr unsigned bbs = 1600;
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    std::string secret = dir.file("secret");
    ASSERT_EQ(::mkdir(secret.c_str(), 0700), 0);
    for (const char* name : {"data", "league", "pending"}) {
        dir.write(std::string("secret/") + name, data_record({"root's own"}, name));
        ::chmod((secret + "/" + name).c_str(), 0600);
    }
    dir.write("secret/20261201T000000Z.dat", data_record({"root's kept"}, "root"));
    ::chmod((secret + "/20261201T000000Z.dat").c_str(), 0600);
    std::string board = dir.file("board");
    ASSERT_EQ(::mkdir(board.c_str(), 0755), 0);
    ASSERT_EQ(::chown(board.c_str(), bbs, bbs), 0);
    const std::string ini = "[league]\narea = V\npoint = 21:1/101.7\nboard = 21:1/101\nname = A\n"
                            "toss = " +
                            board + "/toss\npickup = " + board + "/toss\nhold = yes\n";
    ASSERT_TRUE(as_user(bbs, [&] {
        std::ofstream(board + "/valedict.ini") << ini;
        return ::mkdir((board + "/toss").c_str(), 0755) == 0 &&
               ::symlink((secret + "/data").c_str(), (board + "/valedict.dat").c_str()) == 0 &&
               ::symlink(secret.c_str(), (board + "/valedict.old").c_str()) == 0 &&
               ::symlink((secret + "/league").c_str(), (board + "/valedict.league").c_str()) == 0 &&
               ::symlink((secret + "/pending").c_str(), (board + "/valedict.pending").c_str()) == 0;
    }));
    std::map<std::string, std::string> before;
    for (const char* name : {"", "/data", "/league", "/pending", "/20261201T000000Z.dat"})
        before[name] = root_only(secret + name);
    auto untouched = [&](const std::string& after) {
        SCOPED_TRACE(after);
        for (const auto& [name, seen] : before) EXPECT_EQ(root_only(secret + name), seen) << name;
    };
    const std::vector<std::vector<std::string>> steps = {{"set", "--name", "Root", "-"},
                                                         {"clear"},
                                                         {"restore", "1"},
                                                         {"league", "import"},
                                                         {"league", "accept"}};
    for (const auto& step : steps) {
        std::vector<std::string> args = {"-C", board};
        args.insert(args.end(), step.begin(), step.end());
        Ran ran = tool(args, dir.path(), "set by root\n");
        untouched(args[2] + ": " + ran.err);
    }
    dir.write("board/DOOR32.SYS", door32_sys("Jane Public", "janeq"));
    auto door_saves = [&](const std::string& words) {
        DoorOptions options;
        options.args = {board + "/DOOR32.SYS"};
        options.cwd = board;
        DoorRun door(options);
        ASSERT_TRUE(door.wait_for(question)) << door.screen.all();
        door.type("Y" + words + "\r\rY");
        EXPECT_EQ(door.wait_exit(), 10) << door.screen.all();
    };
    door_saves("as root");
    untouched("the door");

    // The honest folder: the tool's and the door's saves are the user's.
    for (const char* name :
         {"valedict.dat", "valedict.old", "valedict.league", "valedict.pending", "valedict.ini"})
        ASSERT_TRUE(as_user(bbs, [&] { return ::unlink((board + "/" + name).c_str()) == 0; }));
    ASSERT_TRUE(
        as_user(bbs, [&] { return ::mkdir((board + "/valedict.old").c_str(), 0755) == 0; }));
    EXPECT_EQ(tool({"-C", board, "set", "--name", "Root", "-"}, dir.path(), "by root\n").status, 0);
    door_saves("honest");
    EXPECT_NE(dir.read("board/valedict.dat").find("honest"), std::string::npos);
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(board)) {
        struct stat st {};
        ASSERT_EQ(::lstat(entry.path().c_str(), &st), 0);
        if (entry.path().filename() == "DOOR32.SYS") continue;
        EXPECT_EQ(st.st_uid, bbs) << entry.path();
        EXPECT_EQ(st.st_gid, bbs) << entry.path();
        files++;
    }
    EXPECT_GE(files, 4); // the folders, the entry and a kept record
}

// A folder given to the BBS's user with chown alone keeps root's group:
// acting as that user and group, root would read through the user's link a
// file only root's group may read. Root refuses the folder instead.
TEST(SysopRights, AsRootAFolderInRootsGroupIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    constexpr unsigned bbs = 1600;
    TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    dir.write("secret", data_record({"group root only"}, "root"));
    ASSERT_EQ(::chmod(dir.file("secret").c_str(), 0640), 0);
    std::string board = dir.file("board");
    ASSERT_EQ(::mkdir(board.c_str(), 0755), 0);
    ASSERT_EQ(::chown(board.c_str(), bbs, 0), 0);
    ASSERT_TRUE(as_user(bbs, [&] {
        return ::symlink(dir.file("secret").c_str(), (board + "/valedict.dat").c_str()) == 0;
    }));
    Ran ran = tool({"-C", board, "show"}, dir.path(), "");
    EXPECT_EQ(ran.status, 2) << ran.out << ran.err;
    EXPECT_EQ(ran.out.find("group root only"), std::string::npos) << ran.out;
    EXPECT_EQ(ran.err, "valedict-sysop: " + board +
                           ": its group is root's: give it the door user's group (chgrp)\n");
    dir.write("board/DOOR32.SYS", door32_sys("Jane Public", "janeq"));
    DoorOptions options;
    options.args = {board + "/DOOR32.SYS"};
    options.cwd = board;
    options.separate_stderr = true;
    DoorRun door(options);
    EXPECT_EQ(door.wait_exit(), 1);
    EXPECT_EQ(door.screen.all().find("group root only"), std::string::npos);
    EXPECT_NE(door.err.find(board + ": its group is root's"), std::string::npos) << door.err;
}

// Root refuses a folder of its own that others may write, in one line
// naming it; the door, as for its other sysop mistakes, ends with 1.
TEST(SysopRights, AsRootAFolderOfRootsThatOthersMayWriteIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    Ran ran = tool({"set", "--name", "Root", "-"}, dir.path(), "words\n");
    EXPECT_EQ(ran.status, 2);
    EXPECT_EQ(ran.err, "valedict-sysop: " + dir.path() +
                           ": owned by root but writable by its group or others: give it to the "
                           "door's user, or take the write permission away (chmod go-w)\n");
    EXPECT_FALSE(fs::exists(dir.file("valedict.dat")));
    dir.write("DOOR32.SYS", door32_sys("Jane Public", "janeq"));
    DoorOptions options;
    options.args = {dir.file("DOOR32.SYS")};
    options.cwd = dir.path();
    options.separate_stderr = true;
    DoorRun door(options);
    EXPECT_EQ(door.wait_exit(), 1);
    EXPECT_NE(door.err.find(dir.path() + ": owned by root but writable"), std::string::npos)
        << door.err;
    EXPECT_FALSE(fs::exists(dir.file("valedict.dat")));
}

} // namespace
