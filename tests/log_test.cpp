// The sysop log: one whole line per entry, whatever the text holds, and
// never a stalled door, whatever the file is.
#include "door_harness.h"
#include "log.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(Log, EveryEntryIsOneLine) {
    TempDir dir;
    {
        od::Log log;
        log.open(dir.file("door.log"), "door");
        ASSERT_TRUE(log.is_open());
        log.write("start: user " + od::log_value("Ann \"A\"\nB"), 0);
        log.write("refused: line 3 'x\r\ny'", 0);
    }
    std::string text = dir.read("door.log");
    std::string pid = std::to_string(::getpid());
    EXPECT_EQ(text, "1970-01-01T00:00:00Z door[" + pid + "]: start: user \"Ann 'A'?B\"\n" +
                        "1970-01-01T00:00:00Z door[" + pid + "]: refused: line 3 'x??y'\n");
    EXPECT_EQ(od::log_value("plain"), "plain");
    EXPECT_EQ(od::log_value(""), "\"\"");
}

// Where time_t would be 32 bits, these were stamped in 1901 or refused.
TEST(Log, StampsPast2038) {
    TempDir dir;
    {
        od::Log log;
        log.open(dir.file("door.log"), "door");
        ASSERT_TRUE(log.is_open());
        for (long long when : {1LL << 31, 1LL << 32, 253402300799LL})
            log.write("at " + std::to_string(when), static_cast<std::time_t>(when));
    }
    std::string pid = std::to_string(::getpid());
    EXPECT_EQ(dir.read("door.log"), "2038-01-19T03:14:08Z door[" + pid + "]: at 2147483648\n" +
                                        "2106-02-07T06:28:16Z door[" + pid + "]: at 4294967296\n" +
                                        "9999-12-31T23:59:59Z door[" + pid +
                                        "]: at 253402300799\n");
}

// Years of a busy board's log pass 2 and 4 GiB; the door still appends to it.
TEST(Log, AppendsPast4GiB) {
    TempDir dir;
    std::string path = dir.file("door.log");
    const std::uintmax_t big = (5ULL << 30) + 1; // sparse: no disk is used
    std::ofstream(path) << "";
    std::filesystem::resize_file(path, big);
    {
        od::Log log;
        log.open(path, "door");
        ASSERT_TRUE(log.is_open());
        log.write("start", 0);
    }
    std::string want = "\n1970-01-01T00:00:00Z door[" + std::to_string(::getpid()) + "]: start\n";
    ASSERT_EQ(std::filesystem::file_size(path), big + want.size());
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(big));
    std::string tail(want.size(), '\0');
    in.read(tail.data(), static_cast<std::streamsize>(tail.size()));
    EXPECT_EQ(tail, want); // the last byte was a NUL, no line end: a new line begins
}

enum class LogFile { Regular, FifoNoReader, FifoReaderStops, Folder };

struct LogCase {
    const char* name;
    LogFile file;
    long size_limit;                // RLIMIT_FSIZE for the first entry; 0: none
    std::vector<std::string> texts; // written in turn by two nodes sharing the file
    std::string refusal;            // on standard error, once; empty: nothing
    std::vector<std::string> lines; // entries found whole, each on a line of its own
};

void PrintTo(const LogCase& c, std::ostream* os) {
    *os << c.name;
}

class LogFiles : public testing::TestWithParam<LogCase> {};

// The log is opened and written in a child, so that a write that blocks
// fails the test instead of hanging it.
TEST_P(LogFiles, NeverStallAndNeverGlue) {
    const LogCase& c = GetParam();
    TempDir dir;
    std::string path = dir.file("door.log");
    int reader = -1;
    if (c.file == LogFile::FifoNoReader || c.file == LogFile::FifoReaderStops) {
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    }
    if (c.file == LogFile::FifoReaderStops) reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (c.file == LogFile::Folder) {
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    }
    int err[2];
    ASSERT_EQ(::pipe(err), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(err[1], 2);
        (void)::signal(SIGXFSZ, SIG_IGN);
        od::Log first, second;
        first.open(path, "door");
        if (c.file == LogFile::Regular) second.open(path, "door");
        rlimit unlimited{};
        ::getrlimit(RLIMIT_FSIZE, &unlimited);
        for (std::size_t i = 0; i < c.texts.size(); ++i) {
            rlimit limit = unlimited;
            if (i == 0 && c.size_limit > 0) limit.rlim_cur = static_cast<rlim_t>(c.size_limit);
            ::setrlimit(RLIMIT_FSIZE, &limit);
            (i % 2 ? second : first).write(c.texts[i], 0);
        }
        for (int i = 0; i < 300; ++i) first.write(std::string(1000, 'x'), 0);
        ::_exit(0);
    }
    ::close(err[1]);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "a log write blocked the door";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reader >= 0) ::close(reader);
    std::string said;
    char chunk[512];
    for (ssize_t n; (n = ::read(err[0], chunk, sizeof chunk)) > 0;)
        said.append(chunk, static_cast<std::size_t>(n));
    ::close(err[0]);
    EXPECT_EQ(said, c.refusal.empty()
                        ? ""
                        : "door: " + path + ": cannot open the log: " + c.refusal + "\n");
    if (c.file != LogFile::Regular) return;
    std::string prefix = "1970-01-01T00:00:00Z door[" + std::to_string(pid) + "]: ";
    std::vector<std::string> lines;
    std::istringstream in(dir.read("door.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    for (const auto& want : c.lines)
        EXPECT_NE(std::find(lines.begin(), lines.end(), prefix + want), lines.end())
            << want << "\n in:\n"
            << dir.read("door.log").substr(0, 2000);
}

INSTANTIATE_TEST_SUITE_P(
    Files, LogFiles,
    testing::Values(
        LogCase{"FifoWithNoReader", LogFile::FifoNoReader, 0, {"start"}, "not a regular file", {}},
        LogCase{"FifoWhoseReaderStops",
                LogFile::FifoReaderStops,
                0,
                {"start"},
                "not a regular file",
                {}},
        LogCase{"Folder", LogFile::Folder, 0, {"start"}, "not a regular file", {}},
        LogCase{"CutBySizeLimit",
                LogFile::Regular,
                60,
                {"start: " + std::string(200, 'c'), "start: next node", "end: first node"},
                "",
                {"start: next node", "end: first node"}},
        LogCase{"ControlBytes",
                LogFile::Regular,
                0,
                {"a\x1b[2Jb \x9b"
                 "31m \xc2\x9b"
                 "c \x85 caf\xc3\xa9 \xe2\x95\x90 \xff"},
                "",
                {"a?[2Jb ?31m ?c ? caf\xc3\xa9 \xe2\x95\x90 \xff"}}),
    [](const testing::TestParamInfo<LogCase>& info) { return std::string(info.param.name); });

} // namespace
