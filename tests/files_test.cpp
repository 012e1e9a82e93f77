// The files a sysop or a door author names (the log, art, drop files, the
// door's data file) are opened through one rule: never through a link or a
// second name that another local user planted in a shared sticky folder,
// and never a FIFO or a device where a file is wanted.
#include "art.h"
#include "door_harness.h"
#include "dropfile.h"
#include "log.h"
#include "open_checked.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr uid_t nobody = 65534;

// A shared sticky folder in dir, as /tmp is, and the door user's private
// file beside it.
struct Shared {
    TempDir dir;
    std::string folder = dir.file("shared");
    std::string secret = dir.file("profile");
    Shared() {
        ::chmod(dir.path().c_str(), 0755);
        fs::create_directory(folder);
        ::chmod(folder.c_str(), 01777);
        dir.write("profile", "the door user's secret\n");
        ::chmod(secret.c_str(), 0600);
    }
    // A symbolic link another user made; false when the test cannot make one
    // of another user (it is not root).
    bool plant_link(const std::string& name) const {
        std::string at = folder + "/" + name;
        fs::create_symlink(secret, at);
        return ::geteuid() == 0 && ::lchown(at.c_str(), nobody, nobody) == 0;
    }
    // A hard link: a file with a second name has no owner of its own.
    void plant_hard_link(const std::string& name) const {
        fs::create_hard_link(secret, folder + "/" + name);
    }
};

TEST(OpenChecked, ASecondNameInASharedStickyFolderIsRefusedWhoeverOwnsTheFile) {
    Shared shared;
    shared.plant_hard_link("valedict.dat");
    errno = 0;
    EXPECT_EQ(od::open_checked((shared.folder + "/valedict.dat").c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
    // Through a link of the door's own that leads there, too.
    fs::create_symlink(shared.folder + "/valedict.dat", shared.dir.file("mine.dat"));
    EXPECT_EQ(od::open_checked(shared.dir.file("mine.dat").c_str(), O_RDONLY), -1);

    // The sysop's own second name outside a shared folder stays usable.
    fs::create_directory(shared.dir.file("board"));
    ::chmod(shared.dir.file("board").c_str(), 0777);
    fs::create_hard_link(shared.secret, shared.dir.file("board/valedict.dat"));
    int fd = od::open_checked(shared.dir.file("board/valedict.dat").c_str(), O_RDWR);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    // A file of one name in the shared folder is opened as before.
    fd = od::open_checked((shared.folder + "/new.dat").c_str(), O_RDWR | O_CREAT, 0600);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);

    // The same by name in the folder opened once; a link there is never followed.
    int dir = od::open_checked(shared.folder.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    errno = 0;
    EXPECT_EQ(od::open_checked_at(dir, "valedict.dat", O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
    fs::create_symlink(shared.secret, shared.folder + "/own-link");
    EXPECT_EQ(od::open_checked_at(dir, "own-link", O_RDONLY), -1);
    fd = od::open_checked_at(dir, "new.dat", O_RDWR);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    ::close(dir);
}

TEST(OpenChecked, TheLogNeverAppendsThroughAPlantedName) {
    Shared shared;
    bool linked = shared.plant_link("door.log");
    shared.plant_hard_link("hard.log");
    for (const char* name : {"door.log", "hard.log"}) {
        if (std::string(name) == "door.log" && !linked) continue;
        SCOPED_TRACE(name);
        od::Log log;
        log.open(shared.folder + "/" + name, "door");
        EXPECT_FALSE(log.is_open());
        log.write("start: user " + od::log_value("x;touch${IFS}PWNED;:"));
    }
    EXPECT_EQ(shared.dir.read("profile"), "the door user's secret\n");
}

// Another user's link as a folder on the way, not only as the last name:
// the record file and the log through sticky/nodes -> victim/ are refused,
// and so is, for root, a link of the folder's owner in a folder not root's.
TEST(OpenChecked, AFolderOnTheWayIsNeverAPlantedLink) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: the links must be another user's";
    constexpr unsigned hostile = 1500;
    Shared shared;
    std::string victim = shared.dir.file("victim");
    fs::create_directory(victim);
    ASSERT_TRUE(as_user(hostile, [&] {
        return ::symlink(victim.c_str(), (shared.folder + "/nodes").c_str()) == 0;
    }));
    std::string through = shared.folder + "/nodes/";
    // As a record file is opened.
    errno = 0;
    EXPECT_EQ(od::open_checked((through + "scores.dat").c_str(),
                               O_RDWR | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666),
              -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_TRUE(od::planted_link((through + "scores.dat").c_str()));
    {
        od::Log log;
        log.open(through + "notes.log", "door");
        EXPECT_FALSE(log.is_open());
        log.write("start: user x");
    }
    // Deeper, and through a link of the door's own that leads to it.
    fs::create_directory(victim + "/deep");
    fs::create_symlink(shared.folder, shared.dir.file("mine"));
    EXPECT_EQ(
        od::open_checked(shared.dir.file("mine/nodes/deep/x").c_str(), O_RDWR | O_CREAT, 0600), -1);
    EXPECT_TRUE(fs::is_empty(victim + "/deep"));
    EXPECT_FALSE(fs::exists(victim + "/scores.dat"));
    EXPECT_FALSE(fs::exists(victim + "/notes.log"));

    // The door user's own link there, and the folder's, lead on as before.
    fs::create_symlink(victim, shared.folder + "/own");
    int fd = od::open_checked((shared.folder + "/own/scores.dat").c_str(), O_RDWR | O_CREAT, 0600);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
    EXPECT_TRUE(fs::exists(victim + "/scores.dat"));

    // Root in a folder another user owns follows none of that user's links.
    std::string board = shared.dir.file("board");
    fs::create_directory(board);
    ASSERT_EQ(::chown(board.c_str(), hostile, hostile), 0);
    ASSERT_TRUE(as_user(hostile, [&] {
        return ::symlink(victim.c_str(), (board + "/nodes").c_str()) == 0 &&
               ::symlink((victim + "/scores.dat").c_str(), (board + "/scores.dat").c_str()) == 0;
    }));
    for (const char* path : {"/nodes/scores.dat", "/scores.dat"}) {
        SCOPED_TRACE(path);
        errno = 0;
        EXPECT_EQ(od::open_checked((board + path).c_str(), O_RDONLY), -1);
        EXPECT_EQ(errno, EACCES);
    }
    fs::create_symlink(victim, board + "/roots");
    fd = od::open_checked((board + "/roots/scores.dat").c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
}

TEST(OpenChecked, ArtIsNeverShownThroughAPlantedName) {
    Shared shared;
    bool linked = shared.plant_link("news.ans");
    shared.plant_hard_link("bulletin.ans");
    if (linked) {
        EXPECT_EQ(od::read_file(shared.folder + "/news.ans"), std::nullopt);
    }
    EXPECT_EQ(od::read_file(shared.folder + "/bulletin.ans"), std::nullopt);
}

TEST(OpenChecked, ADropFileIsNeverReadThroughAPlantedName) {
    Shared shared;
    shared.dir.write("profile", door32_sys("Jane Public", "janeq"));
    bool linked = shared.plant_link("DOOR32.SYS");
    shared.plant_hard_link("door32.sys");
    if (linked) {
        auto found = od::read_drop_file_at(shared.folder + "/DOOR32.SYS", od::DropFormat::Door32);
        EXPECT_FALSE(found.info);
    }
    auto found = od::read_drop_file_at(shared.folder + "/door32.sys", od::DropFormat::Door32);
    EXPECT_FALSE(found.info);
    EXPECT_NE(found.error.find(std::strerror(EACCES)), std::string::npos) << found.error;
}

// Read in a child, so that an open that blocks fails the test instead of
// hanging it; the child writes the error it got.
std::string drop_file_error(const std::string& path) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return "no pipe";
    pid_t child = ::fork();
    if (child == 0) {
        ::alarm(3);
        auto found = od::read_drop_file_at(path, od::DropFormat::Door32);
        std::string error = found.info ? "read" : found.error;
        (void)!::write(pipe_fds[1], error.data(), error.size());
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string got;
    char chunk[256];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0) got.append(chunk, n);
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) return "blocked";
    return got;
}

TEST(DropFileKind, AFifoOrADeviceIsRefusedAtOnceAsAFolderIs) {
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("DOOR32.SYS").c_str(), 0600), 0);
    EXPECT_EQ(drop_file_error(dir.file("DOOR32.SYS")), "cannot read drop file: not a regular file");
    EXPECT_EQ(drop_file_error("/dev/null"), "cannot read drop file: not a regular file");
    fs::create_directory(dir.file("folder"));
    EXPECT_EQ(drop_file_error(dir.file("folder")),
              std::string("cannot read drop file: ") + std::strerror(EISDIR));
}

TEST(LogValue, ShellAndControlCharactersAreQuotedAndCannotRunAnything) {
    EXPECT_EQ(od::log_value("janeq"), "janeq");
    EXPECT_EQ(od::log_value("x;touch${IFS}PWNED;:"), "\"x;touch\\${IFS}PWNED;:\"");
    EXPECT_EQ(od::log_value("a`id`b"), "\"a\\`id\\`b\"");
    EXPECT_EQ(od::log_value("a|b&c>d<e(f)"), "\"a|b&c>d<e(f)\"");
    EXPECT_EQ(od::log_value("back\\slash"), "\"back\\\\slash\"");
    EXPECT_EQ(od::log_value("tab\there"), "\"tab?here\"");
    EXPECT_EQ(od::log_value("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(od::log_value("Ann \"A\""), "\"Ann 'A'\"");

    // What a shell makes of the value: one word, exactly the text, no command run.
    TempDir dir;
    std::string value = od::log_value("x;touch${IFS}PWNED;:$(touch PWNED2)`touch PWNED3`");
    std::string script = "cd '" + dir.path() + "' && printf '%s' " + value + " > word";
    ASSERT_EQ(std::system(script.c_str()), 0);
    EXPECT_EQ(dir.read("word"), "x;touch${IFS}PWNED;:$(touch PWNED2)`touch PWNED3`");
    EXPECT_FALSE(fs::exists(dir.file("PWNED")));
    EXPECT_FALSE(fs::exists(dir.file("PWNED2")));
    EXPECT_FALSE(fs::exists(dir.file("PWNED3")));
}

} // namespace
