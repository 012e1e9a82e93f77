// Measures the door against its floors and prints a table: start to the
// question, bytes to the caller, writes per wait, CPU while waiting, memory
// (also under a flood of keys), and the time of one save.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* question = "Would you like to add some valedicts [Y/n]:";
const int runs = std::getenv("BENCH_RUNS") ? std::atoi(std::getenv("BENCH_RUNS")) : 31;

struct Child {
    pid_t pid = -1;
    int master = -1;
    std::string out;

    Child(const std::vector<std::string>& argv, const std::string& cwd,
          const std::vector<std::string>& env = {}) {
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        winsize size{25, 80, 0, 0};
        pid = forkpty(&master, nullptr, nullptr, &size);
        if (pid == 0) {
            if (chdir(cwd.c_str()) != 0) _exit(127);
            for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (master >= 0) close(master);
    }
    // Reads until text shows in what arrived from offset `from` on.
    bool wait_for(const std::string& text, std::size_t from = 0) {
        auto end = Clock::now() + std::chrono::seconds(5);
        while (out.find(text, from) == std::string::npos) {
            if (Clock::now() > end) {
                if (text[0] != '\x01')
                    std::fprintf(stderr, "timed out waiting for '%s' after %zu bytes: ...%s\n",
                                 text.c_str(), out.size(),
                                 out.substr(out.size() > 120 ? out.size() - 120 : 0).c_str());
                return false;
            }
            pollfd fd{master, POLLIN, 0};
            if (poll(&fd, 1, 100) <= 0) continue;
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) return out.find(text, from) != std::string::npos;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
    void type(const std::string& keys) {
        if (write(master, keys.data(), keys.size()) < 0) std::perror("write");
    }
    // The caller hangs up (the pty's master closes) and the program is
    // reaped; its peak resident memory (KiB) in kb.
    int hang_up(long& kb) {
        close(master);
        master = -1;
        int status = 0;
        rusage usage{};
        kb = wait4(pid, &status, 0, &usage) == pid ? usage.ru_maxrss : -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int finish() {
        int status = 0;
        wait_for("\x01never"); // drain until the door closes its side
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL); // still there after 20 s: something is wrong
            waitpid(pid, &status, 0);
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The median with the middle half of the values around it: "5.1 (4.9-5.4)".
std::string spread(std::vector<double> v, int digits) {
    std::sort(v.begin(), v.end());
    char b[96];
    std::snprintf(b, sizeof b, "%.*f (%.*f-%.*f)", digits, v[v.size() / 2], digits, v[v.size() / 4],
                  digits, v[v.size() * 3 / 4]);
    return b;
}

double ms_since(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

long long schedstat_ns(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = -1;
    in >> ns;
    return ns;
}

long status_field(pid_t pid, const char* name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(name, 0) == 0) return std::atol(line.c_str() + std::strlen(name));
    return -1;
}

// 200 KB of ANSI art: colour changes, blocks and shades, CR LF, a SAUCE record.
std::string ansi_art() {
    std::string art;
    unsigned seed = 1;
    while (art.size() < 200 * 1024) {
        for (int col = 0; col < 79;) {
            seed = seed * 1103515245 + 12345;
            int run = 1 + (seed >> 16) % 8;
            art += "\x1b[" + std::to_string(30 + (seed >> 8) % 8) + ";" +
                   std::to_string(40 + (seed >> 12) % 8) + "m";
            const char shades[] = "\xb0\xb1\xb2\xdb\xdc\xdf\xc4\xcd";
            art.append(static_cast<std::size_t>(std::min(run, 79 - col)), shades[(seed >> 20) % 8]);
            col += run;
        }
        art += "\x1b[0m\r\n";
    }
    std::string sauce = "SAUCE00" + std::string(121, ' ');
    sauce[104] = 0;
    return art + "\x1a" + sauce;
}

// Spawns argv with its output on a socket (fd 3 and stdout) and reads until
// the far side closes; returns the milliseconds and the bytes.
// Starts a door with a socket as descriptor 3 and standard output, as a
// telnet BBS runs it; its pid, with the test's end in `fd`.
pid_t start_on_socket(const std::vector<std::string>& argv, const std::string& cwd,
                      const std::vector<std::string>& env, int& fd) {
    int pair[2];
    fd = -1;
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(pair[0]);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(pair[1], 1);
        dup2(pair[1], 3);
        if (pair[1] != 3) close(pair[1]);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pair[1]);
    fd = pair[0];
    return pid;
}

double read_all(const std::vector<std::string>& argv, const std::string& cwd,
                const std::vector<std::string>& env, std::size_t& bytes) {
    auto t = Clock::now();
    int fd = -1;
    pid_t pid = start_on_socket(argv, cwd, env, fd);
    if (pid < 0) return -1;
    bytes = 0;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) bytes += static_cast<std::size_t>(n);
    double ms = ms_since(t);
    close(fd);
    waitpid(pid, nullptr, 0);
    return ms;
}

// A door on a socket (descriptor 3 and standard output), as a telnet BBS
// runs it, with its output read as it comes.
struct SocketChild {
    pid_t pid = -1;
    int fd = -1;
    std::string out;

    SocketChild(const std::vector<std::string>& argv, const std::string& cwd) {
        pid = start_on_socket(argv, cwd, {}, fd);
    }
    ~SocketChild() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (fd >= 0) close(fd);
    }
    // One round: reads what the door sent, then sends what it takes of
    // `bytes`; false once the door has closed its side.
    bool pump(std::string_view bytes, std::size_t& sent, int timeout_ms) {
        pollfd p{fd, static_cast<short>(POLLIN | (sent < bytes.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, timeout_ms) <= 0) return true;
        if (p.revents & (POLLIN | POLLHUP)) {
            char buf[65536];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) return false;
            if (out.size() < (1u << 20)) out.append(buf, static_cast<std::size_t>(n));
        }
        if ((p.revents & POLLOUT) && sent < bytes.size()) {
            ssize_t n =
                send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Sends `total` bytes of `chunk` over and over; stops early when the door
    // takes nothing for five seconds. Returns the bytes it took.
    std::size_t flood(const std::string& chunk, std::size_t total) {
        std::size_t taken = 0;
        auto idle_since = Clock::now();
        while (taken < total && Clock::now() - idle_since < std::chrono::seconds(5)) {
            std::size_t sent = 0;
            std::string_view part(chunk.data(), std::min(chunk.size(), total - taken));
            if (!pump(part, sent, 100)) break;
            if (sent > 0) idle_since = Clock::now();
            taken += sent;
        }
        return taken;
    }
    bool wait_for(const std::string& text) {
        auto end = Clock::now() + std::chrono::seconds(20);
        std::size_t none = 0;
        while (out.find(text) == std::string::npos && Clock::now() < end)
            if (!pump({}, none, 100)) return out.find(text) != std::string::npos;
        return out.find(text) != std::string::npos;
    }
    // Sends `keys` until the door ends by itself (at most 20 s), or closes
    // the line first when keys is empty; the door's peak resident memory
    // (KiB) as wait4 reports it.
    long end_peak_kb(const std::string& keys = {}) {
        if (keys.empty()) shutdown(fd, SHUT_WR);
        auto end = Clock::now() + std::chrono::seconds(20);
        auto again = Clock::now();
        std::size_t sent = keys.size();
        while (Clock::now() < end) {
            if (!keys.empty() && Clock::now() >= again) {
                sent = 0; // the door may have dropped keys it had no room for
                again = Clock::now() + std::chrono::milliseconds(300);
            }
            if (!pump(keys, sent, 100)) break;
        }
        if (Clock::now() >= end) kill(pid, SIGKILL);
        int status = 0;
        rusage usage{};
        pid_t reaped = wait4(pid, &status, 0, &usage);
        pid = -1;
        return reaped < 0 ? -1 : usage.ru_maxrss;
    }
};

std::string ratio(long door, long floor) {
    char b[32];
    std::snprintf(b, sizeof b, "%.2f", floor > 0 ? static_cast<double>(door) / floor : 0.0);
    return b;
}

// The caller's colour after an SGR sequence: foreground 0-7, bright flag.
struct Pen {
    int fg = 7;
    bool bright = false;
    bool operator==(const Pen&) const = default;
};

Pen apply_sgr(Pen pen, const std::string& params) {
    std::stringstream ss(params);
    std::string p;
    if (params.empty()) return Pen{};
    while (std::getline(ss, p, ';')) {
        int n = p.empty() ? 0 : std::atoi(p.c_str());
        if (n == 0)
            pen = Pen{};
        else if (n == 1)
            pen.bright = true;
        else if (n == 22)
            pen.bright = false;
        else if (n >= 30 && n <= 37)
            pen.fg = n - 30;
    }
    return pen;
}

// The shortest SGR that takes `from` to `to`, by trying every short list.
std::size_t shortest_sgr(Pen from, Pen to) {
    std::vector<std::string> atoms = {"", "0", "1", "22"};
    for (int i = 30; i <= 37; ++i) atoms.push_back(std::to_string(i));
    std::size_t best = 1000;
    for (const auto& a : atoms)
        for (const auto& b : atoms)
            for (const auto& c : atoms) {
                std::string params = a;
                for (const auto* x : {&b, &c})
                    if (!x->empty()) params += (params.empty() && a.empty() ? "" : ";") + *x;
                if (apply_sgr(from, params) == to) best = std::min(best, params.size() + 3);
            }
    return best;
}

// Visible bytes plus the cheapest colour change wherever a visible
// character's colour differs from the last one's.
std::size_t floor_bytes(const std::string& wire) {
    std::size_t total = 0;
    Pen pen, shown;
    bool any = false;
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] == '\x1b' && i + 1 < wire.size() && wire[i + 1] == '[') {
            std::size_t j = wire.find_first_of("ABCDEFGHJKSTfmhlsu", i + 2);
            if (j == std::string::npos) break;
            if (wire[j] == 'm') pen = apply_sgr(pen, wire.substr(i + 2, j - i - 2));
            i = j;
            continue;
        }
        ++total;
        auto c = static_cast<unsigned char>(wire[i]);
        if (c <= ' ') continue; // a blank or a control shows no colour
        if (!any || !(pen == shown)) total += shortest_sgr(any ? shown : Pen{-1, false}, pen);
        shown = pen;
        any = true;
    }
    return total;
}

struct Setup {
    fs::path dir;
    std::string door, floor;
    void drop_file() const {
        std::ofstream(dir / "DOOR32.SYS", std::ios::binary)
            << "0\r\n-1\r\n38400\r\nBench BBS\r\n1\r\nBench "
               "Caller\r\nbench\r\n30\r\n60\r\n1\r\n1\r\n";
    }
    void entry(int lines, int width) const {
        std::string r(386, '\0');
        for (int i = 0; i < lines; ++i) r.replace(70 * i, width, std::string(width, 'a' + i));
        r.replace(350, 5, "bench");
        if (lines)
            std::ofstream(dir / "valedict.dat", std::ios::binary) << r;
        else
            fs::remove(dir / "valedict.dat");
    }
    std::vector<std::string> door_argv() const { return {door, dir.string()}; }
};

struct Row {
    std::string what, door, floor, ratio;
};

std::string fixed(double v, int digits = 2) {
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", digits, v);
    return b;
}

// One whole call: the program starts, shows its screen, takes a key, shows
// the answer; then the caller hangs up and the program is reaped. The hang-up
// leaves out the door's deliberate pause for a relaying BBS at its end
// (measured with the save below).
struct Whole {
    double ms = 0, start_ms = 0;
    long kb = 0;
};

Whole whole_call(const std::vector<std::string>& argv, const std::string& cwd) {
    Whole w;
    auto t = Clock::now();
    Child c(argv, cwd);
    c.wait_for(question);
    w.start_ms = ms_since(t);
    std::size_t before = c.out.size();
    c.type("N");
    c.wait_for("No\n\r", before);
    c.hang_up(w.kb);
    w.ms = ms_since(t);
    return w;
}

// Door and floors in turns, each trio back to back: the whole call, the start
// to the question, and the peak memory, with their spread.
void start_rows(const std::vector<std::string>& door, const std::string& c_floor,
                const std::string& cxx_floor, const std::string& cwd, std::vector<Row>& rows) {
    std::vector<double> ms[3], start[3], kb[3];
    for (int i = 0; i < runs; ++i) {
        const std::vector<std::string> argv[3] = {door, {c_floor}, {cxx_floor}};
        for (int p = 0; p < 3; ++p) {
            Whole w = whole_call(argv[p], cwd);
            ms[p].push_back(w.ms);
            start[p].push_back(w.start_ms);
            kb[p].push_back(static_cast<double>(w.kb));
        }
    }
    std::string n = std::to_string(runs);
    struct {
        const char* what;
        std::vector<double>* v;
        int digits;
    } measures[] = {
        {"whole call: start, first screen, a key, the answer, end (ms)", ms, 3},
        {"start to the question (ms)", start, 3},
        {"peak resident memory of that call (KiB)", kb, 0},
    };
    for (const auto& m : measures)
        for (int p = 1; p < 3; ++p)
            rows.push_back({std::string(m.what) + ", median (middle half) of " + n +
                                " runs back to back; floor: " +
                                (p == 1 ? "bare C" : "the same program as C++"),
                            spread(m.v[0], m.digits), spread(m.v[p], m.digits),
                            fixed(median(m.v[0]) / median(m.v[p]))});
}

// System calls from exec to the first wait for a key, as strace counts them.
int syscalls_to_first_wait(const std::vector<std::string>& argv, const fs::path& dir) {
    std::string trace = (dir / "syscalls").string();
    std::vector<std::string> traced = {"/usr/bin/strace", "-qq", "-o", trace};
    traced.insert(traced.end(), argv.begin(), argv.end());
    {
        Child c(traced, dir.string());
        c.wait_for(question);
        c.type("N");
        c.finish();
    }
    std::ifstream in(trace);
    std::string line;
    int calls = -1; // the execve itself is not counted
    while (std::getline(in, line)) {
        if (line.rfind("---", 0) == 0 || line.rfind("+++", 0) == 0) continue;
        if (line.find("resumed>") != std::string::npos) continue;
        if (calls < 0 && line.rfind("execve(", 0) != 0) continue;
        ++calls;
        // The door waits in poll, the floor in read: both on the caller's side.
        if ((line.rfind("poll([{fd=0, events=POLLIN", 0) == 0 &&
             line.find("], 2, 0)") == std::string::npos) ||
            line.rfind("read(0,", 0) == 0)
            break;
    }
    fs::remove(trace);
    return calls;
}

std::string run_capture(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

} // namespace

// A door that prints without waiting, on a socket with a 30-second call
// (0 minutes on the drop file) and a 60-second inactivity limit.
const char* const flood_drop =
    "2\r\n3\r\n38400\r\nBench BBS\r\n1\r\nBench Caller\r\nbench\r\n30\r\n0\r\n1\r\n1\r\n";

// Peak resident memory (KiB) of the flood door, its output read and dropped.
long flood_peak_kb(const std::string& door, const fs::path& dir, const std::string& mode, long n) {
    std::ofstream(dir / "DOOR32.SYS", std::ios::binary) << flood_drop;
    int fd = -1;
    pid_t pid = start_on_socket({door, (dir / "DOOR32.SYS").string(), mode, std::to_string(n)},
                                dir.string(), {}, fd);
    if (pid < 0) return -1;
    char buf[65536];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
    rusage usage{};
    int status = 0;
    return wait4(pid, &status, 0, &usage) < 0 ? -1 : usage.ru_maxrss;
}

// Seconds a caller holds the flood door's 30-second call: one who never
// reads (every_s 0), or one who reads a byte every every_s seconds.
double held_seconds(const std::string& door, const fs::path& dir, int every_s) {
    std::ofstream(dir / "DOOR32.SYS", std::ios::binary) << flood_drop;
    auto t = Clock::now();
    int fd = -1;
    pid_t pid = start_on_socket({door, (dir / "DOOR32.SYS").string(), "repeat", "4000000", "wait"},
                                dir.string(), {"ODOORS_INACTIVITY=60"}, fd);
    if (pid < 0) return -1;
    auto next = Clock::now() + std::chrono::seconds(every_s);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (ms_since(t) > 600000) { // ten minutes: given up
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        if (every_s > 0 && Clock::now() >= next) {
            char byte;
            (void)!read(fd, &byte, 1);
            next += std::chrono::seconds(every_s);
        }
        usleep(20000);
    }
    close(fd);
    return ms_since(t) / 1000;
}

// What the second hostile review measured: memory while a door prints
// without a wait, and how long a slow caller holds a node.
void flood_rows(const std::string& door, const fs::path& dir, std::vector<Row>& rows) {
    long base = flood_peak_kb(door, dir, "repeat", 0);
    long repeat = flood_peak_kb(door, dir, "repeat", 100000000);
    long lines = flood_peak_kb(door, dir, "lines", 1000000);
    rows.push_back({"peak resident memory, od_repeat of 100,000,000 bytes without a wait (KiB); "
                    "floor: of 0 bytes",
                    std::to_string(repeat), std::to_string(base), ratio(repeat, base)});
    rows.push_back({"peak resident memory, 1,000,000 od_printf lines without a wait (KiB); "
                    "floor: none",
                    std::to_string(lines), std::to_string(base), ratio(lines, base)});
    for (int every : {0, 20}) {
        double held = held_seconds(door, dir, every);
        rows.push_back({std::string("seconds a caller who ") +
                            (every ? "reads a byte every 20 s" : "stops reading") +
                            " holds a 30-second call (4 MB pending, inactivity 60 s); floor: 30",
                        fixed(held, 1), "30", fixed(held / 30)});
    }
    fs::remove(dir / "DOOR32.SYS");
}

int main(int argc, char* argv[]) {
    // bench --flood FLOOD_DOOR: those rows alone.
    if (argc == 3 && std::string(argv[1]) == "--flood") {
        fs::path dir = fs::temp_directory_path() / ("valedict-flood-" + std::to_string(getpid()));
        fs::create_directories(dir);
        std::vector<Row> rows;
        flood_rows(argv[2], dir, rows);
        for (const auto& r : rows)
            std::printf("| %s | %s | %s | %s |\n", r.what.c_str(), r.door.c_str(), r.floor.c_str(),
                        r.ratio.c_str());
        fs::remove_all(dir);
        return 0;
    }
    // bench --start DOOR C_FLOOR CXX_FLOOR: the start rows alone.
    bool start_only = argc == 5 && std::string(argv[1]) == "--start";
    if (start_only) {
        ++argv;
        --argc;
    } else if (argc < 5) {
        std::fprintf(stderr,
                     "usage: %s DOOR C_FLOOR CXX_FLOOR RESULTS.md [SHOW_DOOR [TOUR_DOOR "
                     "TOUR_FILES [FLOOD_DOOR]]]\n       %s --start DOOR C_FLOOR CXX_FLOOR\n"
                     "       %s --flood FLOOD_DOOR\n",
                     argv[0], argv[0], argv[0]);
        return 2;
    }
    // The floor of the rows below is the bare C program.
    Setup s{fs::temp_directory_path() / ("valedict-bench-" + std::to_string(getpid())), argv[1],
            argv[2]};
    fs::create_directories(s.dir);
    s.drop_file();
    std::vector<Row> rows;

    // The whole call, the start and the memory, against both floors, with
    // no entry on file (the floors show none either).
    s.entry(0, 0);
    start_rows(s.door_argv(), argv[2], argv[3], s.dir.string(), rows);
    if (access("/usr/bin/strace", X_OK) == 0) {
        int door = syscalls_to_first_wait(s.door_argv(), s.dir);
        int floor = syscalls_to_first_wait({argv[2]}, s.dir);
        rows.push_back({"system calls from exec to the first wait for a key (strace)",
                        std::to_string(door), std::to_string(floor),
                        fixed(static_cast<double>(door) / floor)});
    }
    if (start_only) {
        for (const auto& r : rows)
            std::printf("| %s | %s | %s | %s |\n", r.what.c_str(), r.door.c_str(), r.floor.c_str(),
                        r.ratio.c_str());
        fs::remove_all(s.dir);
        return 0;
    }
    // The remaining arguments as they were before the C++ floor joined.
    ++argv;
    --argc;
    s.entry(5, 69);

    // Bytes to the caller for three fixed calls.
    struct Call {
        std::string name;
        int lines;
        std::vector<std::string> keys;
        std::vector<std::string> waits;
    };
    std::vector<Call> calls = {
        {"no entry on file, N", 0, {"N"}, {question}},
        {"entry of five full lines, N", 5, {"N"}, {question}},
        {"new entry of three lines saved",
         0,
         {"Y", "first line\r", "second line\r", "third line\r", "\r", "Y"},
         {question,
          "1\x1b[m: ", "2\x1b[m: ", "3\x1b[m: ", "4\x1b[m: ", "Save these valedicts [Y/n]:"}},
    };
    for (const auto& call : calls) {
        s.entry(call.lines, 69);
        Child d(s.door_argv(), s.dir.string());
        for (std::size_t k = 0; k < call.keys.size(); ++k) {
            d.wait_for(call.waits[k]);
            d.type(call.keys[k]);
        }
        d.finish();
        double floor = static_cast<double>(floor_bytes(d.out));
        rows.push_back({"bytes to the caller: " + call.name, std::to_string(d.out.size()),
                        fixed(floor, 0), fixed(static_cast<double>(d.out.size()) / floor, 3)});
    }

    // Write calls per wait for input, counted by strace over the saving call.
    if (access("/usr/bin/strace", X_OK) == 0) {
        s.entry(0, 0);
        std::string trace = (s.dir / "trace").string();
        Child d({"/usr/bin/strace", "-f", "-qq", "-e", "trace=write,poll", "-o", trace, s.door,
                 s.dir.string()},
                s.dir.string());
        const auto& call = calls[2];
        for (std::size_t k = 0; k < call.keys.size(); ++k) {
            d.wait_for(call.waits[k]);
            d.type(call.keys[k]);
        }
        d.finish();
        std::ifstream in(trace);
        std::string line;
        int writes = 0, waits = 0;
        while (std::getline(in, line)) {
            if (line.find("write(1,") != std::string::npos) ++writes;
            // A wait for input asks for POLLIN; the pause before the end asks for nothing.
            if (line.find("poll([{fd=0, events=POLLIN") != std::string::npos) ++waits;
        }
        // The last write is the one at exit, after the last wait.
        rows.push_back({"write calls per wait for input (saving call)",
                        std::to_string(writes - 1) + " / " + std::to_string(waits), "1",
                        fixed(static_cast<double>(writes - 1) / waits)});
    }

    // CPU while waiting 10 s at the question, and peak memory.
    s.entry(5, 69);
    {
        Child d(s.door_argv(), s.dir.string());
        Child f({s.floor}, s.dir.string());
        d.wait_for(question);
        f.wait_for(question);
        long long d0 = schedstat_ns(d.pid), f0 = schedstat_ns(f.pid);
        sleep(10);
        double dcpu = static_cast<double>(schedstat_ns(d.pid) - d0) / 1e6;
        double fcpu = static_cast<double>(schedstat_ns(f.pid) - f0) / 1e6;
        rows.push_back({"CPU while waiting 10 s at the question (ms)", fixed(dcpu, 4),
                        fixed(fcpu, 4), fcpu > 0 ? fixed(dcpu / fcpu) : "-"});
        d.type("N");
        f.type("N\r");
        d.finish();
        f.finish();
    }

    // Memory under a flood of keys, over a socket, whose buffer holds them
    // until the door reads: 10,000 keys typed before the door reads any,
    // and the tour door sent 50 MB while its probe waits for an answer.
    {
        std::ofstream(s.dir / "DOOR32.SYS", std::ios::binary)
            << "2\r\n3\r\n38400\r\nBench BBS\r\n1\r\nBench "
               "Caller\r\nbench\r\n30\r\n60\r\n1\r\n1\r\n";
        long typed[2] = {};
        for (int flooded = 0; flooded < 2; ++flooded) {
            SocketChild d(s.door_argv(), s.dir.string());
            if (flooded) d.flood(std::string(10000, 'x'), 10000); // keys the question ignores
            d.wait_for(question);
            typed[flooded] = d.end_peak_kb("N");
        }
        rows.push_back({"peak resident memory, 10,000 keys typed before the door reads (KiB); "
                        "floor: none typed",
                        std::to_string(typed[1]), std::to_string(typed[0]),
                        ratio(typed[1], typed[0])});
        if (argc > 6) {
            long probed[2] = {};
            std::size_t taken = 0;
            for (int flooded = 0; flooded < 2; ++flooded) {
                SocketChild d({argv[5], s.dir.string(), argv[6]}, s.dir.string());
                if (flooded)
                    taken = d.flood(std::string(65536, 'x'), 50u << 20);
                else
                    d.wait_for("Sign the guest form");
                probed[flooded] = d.end_peak_kb();
            }
            rows.push_back({"peak resident memory, tour door sent " + std::to_string(taken >> 20) +
                                " MiB during od_probe (KiB); floor: not flooded",
                            std::to_string(probed[1]), std::to_string(probed[0]),
                            ratio(probed[1], probed[0])});
        }
        fs::remove(s.dir / "DOOR32.SYS");
        s.drop_file();
    }

    // The same wait with a warning in it: one wake-up to give it, no CPU
    // beyond that.
    {
        std::vector<std::string> env = {"ODOORS_INACTIVITY=14", "ODOORS_WARN=7"};
        Child d(s.door_argv(), s.dir.string(), env);
        Child f({s.floor}, s.dir.string());
        d.wait_for(question);
        f.wait_for(question);
        long long d0 = schedstat_ns(d.pid), f0 = schedstat_ns(f.pid);
        long dw = status_field(d.pid, "voluntary_ctxt_switches:");
        long fw = status_field(f.pid, "voluntary_ctxt_switches:");
        sleep(10);
        bool warned = d.wait_for("Press a key within");
        double dcpu = static_cast<double>(schedstat_ns(d.pid) - d0) / 1e6;
        double fcpu = static_cast<double>(schedstat_ns(f.pid) - f0) / 1e6;
        long dw1 = status_field(d.pid, "voluntary_ctxt_switches:");
        long fw1 = status_field(f.pid, "voluntary_ctxt_switches:");
        rows.push_back({std::string("CPU while waiting 10 s, a warning given at 7 s") +
                            (warned ? "" : " (NO WARNING SEEN)") + " (ms)",
                        fixed(dcpu, 4), fixed(fcpu, 4), fcpu > 0 ? fixed(dcpu / fcpu) : "-"});
        rows.push_back({"wake-ups in those 10 s (voluntary context switches)",
                        std::to_string(dw1 - dw), std::to_string(fw1 - fw), "-"});
        d.type("N");
        f.type("N\r");
        d.finish();
        f.finish();
    }

    // A 200 KB ANSI file shown to a UTF-8 caller over a socket, against
    // iconv(1) converting the same file into a pipe.
    if (argc > 4) {
        std::ofstream((s.dir / "art.ans").string(), std::ios::binary) << ansi_art();
        std::ofstream((s.dir / "DOOR32.SYS").string(), std::ios::binary)
            << "2\r\n3\r\n38400\r\nBench BBS\r\n1\r\nBench "
               "Caller\r\nbench\r\n30\r\n60\r\n1\r\n1\r\n";
        std::vector<double> show_ms, iconv_ms;
        std::size_t shown = 0, converted = 0;
        for (int i = 0; i < std::max(runs / 3, 3); ++i) {
            show_ms.push_back(read_all({argv[4], s.dir.string(), (s.dir / "art.ans").string()},
                                       s.dir.string(), {"ODOORS_CHARSET=UTF-8"}, shown));
            iconv_ms.push_back(read_all(
                {"/usr/bin/iconv", "-f", "CP437", "-t", "UTF-8", (s.dir / "art.ans").string()},
                s.dir.string(), {}, converted));
        }
        double sm = median(show_ms), im = median(iconv_ms);
        rows.push_back({"od_show_file of 200 KB ANSI to a UTF-8 caller on a socket, median (ms); "
                        "floor: iconv(1) into a pipe",
                        fixed(sm, 3), fixed(im, 3), fixed(sm / im)});
        rows.push_back({"bytes of that file on the wire", std::to_string(shown),
                        std::to_string(converted),
                        fixed(static_cast<double>(shown) / static_cast<double>(converted), 3)});
        fs::remove(s.dir / "DOOR32.SYS");
        s.drop_file();
    }

    if (argc > 7) {
        flood_rows(argv[7], s.dir, rows);
        s.drop_file(); // the flood rows take theirs away
    }

    // One save: from the answer at the save question to its last byte on the
    // caller's side, and to the door's end (which includes the pause that lets
    // a relaying BBS take the last bytes), against the same path answered No.
    std::vector<double> save_ms, nosave_ms, save_shown_ms, nosave_shown_ms;
    for (int i = 0; i < runs; ++i) {
        for (bool save : {true, false}) {
            Child d(s.door_argv(), s.dir.string());
            d.wait_for(question);
            d.type("Y");
            d.wait_for("1\x1b[m: "); // the prompt as the door colours it
            d.type("saved words\r\r");
            d.wait_for("Save these valedicts [Y/n]:");
            auto t = Clock::now();
            std::size_t before = d.out.size();
            d.type(save ? "Y" : "N");
            d.wait_for(save ? "Yes\n\r" : "No\n\r", before);
            (save ? save_shown_ms : nosave_shown_ms).push_back(ms_since(t));
            d.finish();
            (save ? save_ms : nosave_ms).push_back(ms_since(t));
        }
    }
    double ss = median(save_shown_ms), ns = median(nosave_shown_ms);
    rows.push_back({"save answered to its last byte shown, median (ms); floor: answered No",
                    fixed(ss, 3), fixed(ns, 3), fixed(ss / ns)});
    double sm = median(save_ms), nm = median(nosave_ms);
    rows.push_back({"save answered to door ended, median (ms); floor: answered No", fixed(sm, 3),
                    fixed(nm, 3), fixed(sm / nm)});

    utsname u{};
    uname(&u);
    std::string cpu = run_capture("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2");
    cpu.erase(0, cpu.find_first_not_of(' '));
    if (!cpu.empty() && cpu.back() == '\n') cpu.pop_back();
    std::ostringstream table;
    table << "Machine: " << u.sysname << " " << u.release << " " << u.machine << ", " << cpu << ", "
          << sysconf(_SC_NPROCESSORS_ONLN) << " cores. Connection: a pseudo-terminal.\n\n";
    table << "| measure | door | floor | ratio |\n|---|---|---|---|\n";
    for (const auto& r : rows)
        table << "| " << r.what << " | " << r.door << " | " << r.floor << " | " << r.ratio
              << " |\n";
    std::printf("%s", table.str().c_str());
    std::ofstream(argv[3]) << table.str();
    fs::remove_all(s.dir);
    return 0;
}
