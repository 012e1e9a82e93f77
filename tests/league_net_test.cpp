// Two boards on 127.0.0.1, each with its own binkd and crashmail and the door
// as a point of each: entries travel through the real tosser and mailer.
#include "door_harness.h"
#include "packet.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string find_tool(const std::string& name) {
    std::string path = getenv("PATH") ? getenv("PATH") : "";
    path += ":/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string candidate = path.substr(start, end - start) + "/" + name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// Starts a program, its output into `log`.
pid_t start(const std::vector<std::string>& args, const std::string& log) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Runs a program to its end; its exit status.
int run(const std::vector<std::string>& args, const std::string& log) {
    int status;
    ::waitpid(start(args, log), &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

// A loopback port nobody listens on now.
int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool listening(int port) {
    for (int tries = 0; tries < 500; tries++) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons((uint16_t)port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (up) return true;
        ::usleep(10000);
    }
    return false;
}

// One board: its tosser's folders, its mailer, and the door's folder.
struct Node {
    std::string root, name;
    int me, peer, port, peer_port;
    pid_t server = -1;
    std::string dir(const std::string& leaf) const { return root + "/" + leaf; }
    std::string door() const { return dir("door"); }
    std::string data() const {
        std::ifstream in(door() + "/valedict.dat", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    void set_up(const std::string& base, const std::string& extra_binkd = "") {
        root = base + "/" + std::to_string(me); // no blank: binkd takes none in a path
        for (const char* leaf : {"", "in", "tin", "out", "tmp", "pkt", "area", "bad", "door"})
            fs::create_directories(dir(leaf));
        char hex[16];
        snprintf(hex, sizeof hex, "%04x%04x", 1, me);
        std::ofstream(dir("prefs"))
            << "SYSOP \"Sysop\"\nLOGFILE \"" << dir("crashmail.log")
            << "\"\nLOGLEVEL 3\nDUPEFILE \"" << dir("dupes")
            << "\" 200\nDUPEMODE BAD\nDEFAULTZONE 21\nINBOUND \"" << dir("in") << "\"\nOUTBOUND \""
            << dir("out") << "\"\nTEMPDIR \"" << dir("tmp") << "\"\nCREATEPKTDIR \"" << dir("tmp")
            << "\"\nPACKETDIR \"" << dir("pkt") << "\"\nSTATSFILE \"" << dir("stats")
            << "\"\nCHECKSEENBY\nAKA 21:1/" << me << ".0\nDOMAIN \"fsxnet\"\nNODE 21:1/" << peer
            << ".0 \"\" \"\" AUTOADD\nNODE 21:1/" << me
            << ".7 \"\" \"\" AUTOADD\nAREA \"BAD\" 21:1/" << me << ".0 MSG \"" << dir("bad")
            << "\"\nAREA \"VALEDICT\" 21:1/" << me << ".0 MSG \"" << dir("area")
            << "\"\nEXPORT 21:1/" << peer << ".0 21:1/" << me << ".7\n";
        std::ofstream(dir("binkd.cfg"))
            << "domain fsxnet " << dir("out") << " 21\naddress 21:1/" << me << "@fsxnet\nsysname \""
            << name << "\"\nsysop \"Sysop\"\nlocation \"here\"\n"
            << "nodeinfo 115200,TCP,BINKP\nlisten 127.0.0.1:" << port << "\ninbound " << dir("in")
            << "\ninbound-nonsecure " << dir("in") << "\ntemp-inbound " << dir("tin")
            << "\nkill-dup-partial-files\nkill-old-partial-files 1d\nkill-old-bsy 12h\nnode 21:1/"
            << peer << "@fsxnet 127.0.0.1:" << peer_port << " secret\npid-file " << dir("binkd.pid")
            << "\nlog " << dir("binkd.log") << "\n"
            << extra_binkd;
        std::ofstream(dir("door/valedict.ini"))
            << "[league]\narea = VALEDICT\npoint = 21:1/" << me << ".7\nboard = 21:1/" << me
            << "\nname = " << name << "\ntoss = " << dir("in") << "\npickup = " << dir("out") << "/"
            << hex << ".pnt/00000007.flo\n";
    }
};

class LeagueNet : public ::testing::Test {
  protected:
    void SetUp() override {
        binkd = find_tool("binkd");
        crashmail = find_tool("crashmail");
        if (binkd.empty() || crashmail.empty())
            GTEST_SKIP() << "binkd and crashmail are not installed (Debian: apt-get install binkd "
                            "crashmail)";
        a.port = free_port();
        b.port = free_port();
        a.peer_port = b.port;
        b.peer_port = a.port;
        // The rate limit on *.bin gives a transfer to kill part-way.
        a.set_up(top.path(), "limit-rate all 512k *.bin\n");
        b.set_up(top.path());
        a.server = start({binkd, "-s", a.dir("binkd.cfg")}, a.dir("server.log"));
        b.server = start({binkd, "-s", b.dir("binkd.cfg")}, b.dir("server.log"));
        ASSERT_TRUE(listening(a.port) && listening(b.port)) << "binkd did not listen";
    }
    void TearDown() override {
        stop(a.server);
        stop(b.server);
    }

    int toss(const Node& n) {
        return run({crashmail, "SETTINGS", n.dir("prefs"), "TOSS"}, n.dir("toss.log"));
    }
    int poll(const Node& n) { return run({binkd, "-p", n.dir("binkd.cfg")}, n.dir("poll.log")); }
    int import(const Node& n) {
        return run({VALEDICT_SYSOP, "-C", n.door(), "league", "import"}, n.dir("import.log"));
    }
    int set(const Node& n, const std::string& name, const std::string& text) {
        std::ofstream(n.dir("words.txt")) << text;
        return run({VALEDICT_SYSOP, "-C", n.door(), "set", "--name", name, n.dir("words.txt")},
                   n.dir("set.log"));
    }
    // Both boards' tossers and mailers run until every packet has moved.
    void exchange() {
        EXPECT_EQ(toss(a), 0);
        EXPECT_EQ(toss(b), 0);
        EXPECT_EQ(poll(a), 0);
        EXPECT_EQ(poll(b), 0);
        EXPECT_EQ(toss(a), 0);
        EXPECT_EQ(toss(b), 0);
        EXPECT_EQ(import(a), 0);
        EXPECT_EQ(import(b), 0);
    }
    std::string logs(const Node& n) {
        std::string all;
        for (const char* leaf : {"import.log", "toss.log", "poll.log", "binkd.log", "set.log"}) {
            std::ifstream in(n.dir(leaf));
            all += std::string("--- ") + leaf + "\n" +
                   std::string(std::istreambuf_iterator<char>(in), {});
        }
        return all;
    }

    TempDir top;
    std::string binkd, crashmail;
    Node a{"", "Board A", 101, 102, 0, 0}, b{"", "Board B", 102, 101, 0, 0};
};

// A caller on the board's door types keys; the screen, and the bytes sent.
std::string visit(const Node& n, const std::string& keys, std::string* wire = nullptr) {
    std::ofstream(n.door() + "/DOOR32.SYS") << door32_sys("Jane Public", "janeq");
    DoorOptions options;
    options.args = {n.door()};
    options.cwd = n.door();
    DoorRun door(options);
    EXPECT_TRUE(door.wait_for("Would you like to add some valedicts [Y/n]:")) << door.screen.all();
    door.type(keys);
    EXPECT_EQ(door.wait_exit(), 10);
    if (wire) *wire = door.output;
    return door.screen.all();
}

TEST_F(LeagueNet, ASaveOnOneBoardReachesTheOtherByteForByte) {
    // A caller saves on board A through the door.
    visit(a, "Yfrom board A\rsecond line\r\rY");
    ASSERT_EQ(a.data(), data_record({"from board A", "second line"}, "janeq"));
    exchange();
    EXPECT_EQ(b.data(), a.data()) << logs(b);
    EXPECT_EQ(a.data(), data_record({"from board A", "second line"}, "janeq")) << logs(a);
}

TEST_F(LeagueNet, SavesOnBothBoardsAtOnceEndTheSame) {
    std::thread on_a([&] { EXPECT_EQ(set(a, "Alice", "alice was here\n"), 0); });
    std::thread on_b([&] { EXPECT_EQ(set(b, "Bob", "bob was here\n"), 0); });
    on_a.join();
    on_b.join();
    exchange();
    EXPECT_EQ(a.data(), b.data()) << logs(a) << logs(b);
    EXPECT_TRUE(a.data() == data_record({"alice was here"}, "Alice") ||
                a.data() == data_record({"bob was here"}, "Bob"));
}

TEST_F(LeagueNet, ARescanChangesNothing) {
    fs::create_directories(b.door() + "/valedict.old"); // history, for restore
    std::ofstream(b.door() + "/valedict.dat", std::ios::binary)
        << data_record({"bob first"}, "Bob");
    ASSERT_EQ(set(a, "Alice", "alice\n"), 0);
    exchange();
    ASSERT_EQ(b.data(), data_record({"alice"}, "Alice")) << logs(b);
    // B's sysop puts the old entry back; then A's tosser sends the area again.
    ASSERT_EQ(run({VALEDICT_SYSOP, "-C", b.door(), "restore", "1"}, b.dir("set.log")), 0);
    ASSERT_EQ(b.data(), data_record({"bob first"}, "Bob"));
    ASSERT_EQ(
        run({crashmail, "SETTINGS", a.dir("prefs"), "RESCAN", "VALEDICT", "RESCANNODE", "21:1/102"},
            a.dir("toss.log")),
        0);
    exchange();
    EXPECT_EQ(b.data(), data_record({"bob first"}, "Bob")) << logs(b);
    // The restore went out as a save: A follows it.
    EXPECT_EQ(a.data(), b.data()) << logs(a);
}

// After an outage crashmail bundles every waiting message for the point into
// one packet; the newest entry in it still shows.
TEST_F(LeagueNet, ABundleOfMoreThan200MessagesYieldsTheNewest) {
    for (int n = 1; n <= 250; n++)
        ASSERT_EQ(set(a, "Alice", "save " + std::to_string(n) + "\n"), 0);
    exchange();
    EXPECT_EQ(b.data(), data_record({"save 250"}, "Alice")) << logs(b);
    std::ifstream in(b.dir("import.log"));
    std::string said(std::istreambuf_iterator<char>(in), {});
    // per_day (20) counts the newest first: the flood costs only the older.
    EXPECT_NE(said.find("20 entries taken, 230 refused"), std::string::npos) << said;
}

TEST_F(LeagueNet, ATransferKilledPartWayLosesNothing) {
    // A large file ahead of the packet in A's flow to B, sent slowly.
    std::string big(1 << 20, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 7 + i / 4093);
    std::ofstream(a.dir("big.bin"), std::ios::binary) << big;
    fs::create_directories(a.dir("out"));
    std::ofstream(a.dir("out/00010066.flo")) << a.dir("big.bin") << "\n";
    ASSERT_EQ(set(a, "Alice", "through a broken line\n"), 0);
    ASSERT_EQ(toss(a), 0);
    pid_t client = start({binkd, "-p", a.dir("binkd.cfg")}, a.dir("poll.log"));
    // Killed once part of the file has reached B.
    bool part = false;
    for (int tries = 0; tries < 2000 && !part; tries++) {
        for (auto& f : fs::directory_iterator(b.dir("tin")))
            if (f.is_regular_file() && f.file_size() > 0) part = true;
        if (!part) ::usleep(5000);
    }
    ::kill(client, SIGKILL);
    ::waitpid(client, nullptr, 0);
    EXPECT_TRUE(part) << "no part of the file reached B before the kill";
    // The stale locks a SIGKILL leaves, removed as kill-old-bsy would.
    for (auto& f : fs::directory_iterator(a.dir("out")))
        if (f.path().extension() == ".bsy" || f.path().extension() == ".csy") fs::remove(f.path());
    // B's end of the broken session lets go of its own lock.
    for (int tries = 0; tries < 1000 && fs::exists(b.dir("out/00010065.bsy")); tries++)
        ::usleep(10000);
    exchange();
    std::ifstream in(b.dir("in/big.bin"), std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == big) << logs(a) << logs(b);
    EXPECT_EQ(b.data(), data_record({"through a broken line"}, "Alice")) << logs(b);
}

TEST_F(LeagueNet, AHostilePacketChangesNothingOnTheScreen) {
    ASSERT_EQ(set(b, "Bob", "bob stays\n"), 0);
    exchange();
    std::string before = b.data();
    // Packets for B's point, as if its tosser had put them there.
    fs::create_directories(b.dir("out/00010066.pnt"));
    std::string header(58, '\0');
    header[18] = 2;
    std::string far =
        header + std::string("\x02\0", 2) + std::string(12, '\0') +
        std::string("10 Dec 26  11:00:00\0VALEDICT\0x\0y\0", 33) +
        "AREA:VALEDICT\r\x01MSGID: 21:1/101.7 00000001\rWritten: 2099-01-01T00:00:00Z\r"
        "Name: Far\rLine: \x1b[2Jfuture\r" +
        std::string(3, '\0');
    std::string control = far;
    control.replace(control.find("2099-01-01T00:00:00Z"), 20, WrittenText(time(nullptr) + 600));
    control.replace(control.find("00000001"), 8, "00000002");
    control.replace(control.find("Name: Far"), 9, "Name: \x1b]0;x\x07");
    std::ofstream(b.dir("pkt/1.pkt"), std::ios::binary) << far;
    std::ofstream(b.dir("pkt/2.pkt"), std::ios::binary) << far.substr(0, 100);
    std::ofstream(b.dir("pkt/3.pkt"), std::ios::binary) << far + std::string(2 << 20, 'x');
    std::ofstream(b.dir("pkt/4.pkt"), std::ios::binary) << control;
    std::ofstream(b.dir("out/00010066.pnt/00000007.flo"))
        << "^" << b.dir("pkt/1.pkt") << "\n^" << b.dir("pkt/2.pkt") << "\n^" << b.dir("pkt/3.pkt")
        << "\n";
    EXPECT_EQ(import(b), 0);
    EXPECT_EQ(b.data(), before) << logs(b);
    // The control bytes that do get in reach the screen as '?'.
    std::ofstream(b.dir("out/00010066.pnt/00000007.flo")) << "^" << b.dir("pkt/4.pkt") << "\n";
    EXPECT_EQ(import(b), 0);
    std::string wire, screen = visit(b, "N", &wire);
    EXPECT_NE(screen.find("These Valedicts left by ?]0;x?"), std::string::npos) << screen;
    EXPECT_NE(screen.find("?[2Jfuture"), std::string::npos) << screen;
    EXPECT_EQ(wire.find('\x07'), std::string::npos);
}

} // namespace
