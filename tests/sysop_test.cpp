// The sysop's tool, end to end: what it sets the door shows, history kept
// and restored, hostile records shown safely, refusals, and a storm of saves.
#include "door_harness.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>
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

// Runs the tool with `input` on standard input, in `cwd`.
Ran tool(const std::vector<std::string>& args, const std::string& cwd,
         const std::string& input = "", const char* locale = nullptr) {
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
