#include "door_harness.h"
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <iconv.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vterm.h>

namespace {

std::string utf8(uint32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xc0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xe0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        s += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        s += static_cast<char>(0xf0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        s += static_cast<char>(0x80 | (cp & 0x3f));
    }
    return s;
}

// ANSI colour order back to the PC palette.
int pc_colour(int ansi) {
    static constexpr int table[8] = {0, 4, 2, 6, 1, 5, 3, 7};
    return table[ansi & 7];
}

// Under valgrind the door runs many times slower.
bool under_valgrind() {
    const char* v = std::getenv("VALEDICT_VALGRIND");
    return v && *v == '1';
}

int wait_limit_ms() {
    return under_valgrind() ? 60000 : 10000;
}

} // namespace

Screen::Screen(int rows, int cols, bool cp437) : rows_(rows), cols_(cols), cp437_(cp437) {
    vt_ = vterm_new(rows, cols);
    vterm_set_utf8(vt_, 1);
    screen_ = vterm_obtain_screen(vt_);
    vterm_screen_reset(screen_, 1);
    vterm_output_set_callback(
        vt_,
        [](const char* bytes, std::size_t len, void* self) {
            static_cast<Screen*>(self)->replies_.append(bytes, len);
        },
        this);
}

void Screen::resize(int rows, int cols) {
    rows_ = rows;
    cols_ = cols;
    vterm_set_size(vt_, rows, cols);
}

std::string Screen::take_replies() {
    std::string out;
    out.swap(replies_);
    return out;
}

Screen::~Screen() {
    vterm_free(vt_);
}

// A CP437 terminal: each byte from 128 up is the character of that code page.
void Screen::feed(const std::string& bytes) {
    std::string text;
    if (cp437_) {
        iconv_t cd = ::iconv_open("UTF-8", "CP437");
        if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv CP437");
        text.resize(bytes.size() * 4);
        char* in = const_cast<char*>(bytes.data());
        std::size_t in_left = bytes.size();
        char* out = text.data();
        std::size_t out_left = text.size();
        ::iconv(cd, &in, &in_left, &out, &out_left);
        ::iconv_close(cd);
        text.resize(text.size() - out_left);
    } else {
        text = bytes;
    }
    vterm_input_write(vt_, text.data(), text.size());
}

Cell Screen::cell(int r, int c) const {
    VTermScreenCell cell{};
    vterm_screen_get_cell(screen_, VTermPos{r, c}, &cell);
    Cell out;
    out.text = cell.chars[0] ? utf8(cell.chars[0]) : " ";
    bool bright = cell.attrs.bold;
    int colour = 7;
    if (VTERM_COLOR_IS_INDEXED(&cell.fg) && !VTERM_COLOR_IS_DEFAULT_FG(&cell.fg)) {
        colour = pc_colour(cell.fg.indexed.idx);
        if (cell.fg.indexed.idx >= 8) bright = true;
    }
    out.colour = colour + (bright ? 8 : 0);
    return out;
}

std::string Screen::row(int r) const {
    std::string text;
    for (int c = 0; c < cols_; ++c) text += cell(r, c).text;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string Screen::all() const {
    std::string text;
    for (int r = 0; r < rows_; ++r) text += row(r) + "\n";
    return text;
}

int Screen::find_row(const std::string& text) const {
    for (int r = 0; r < rows_; ++r)
        if (row(r).find(text) != std::string::npos) return r;
    return -1;
}

int Screen::cursor_row() const {
    VTermPos pos;
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
    return pos.row;
}

int Screen::cursor_col() const {
    VTermPos pos;
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
    return pos.col;
}

DoorRun::DoorRun(const DoorOptions& options)
    : job_control_(options.job_control), answers_(options.answers) {
    int err_pipe[2] = {-1, -1};
    if (options.separate_stderr && ::pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    // Everything the child needs is built before the fork: other threads may
    // hold the allocator's lock at that moment.
    std::string name = options.program.empty() ? door_path() : options.program;
    screen.set_cp437(!options.utf8_screen);
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
    for (const auto& e : options.env) env_strings.push_back(e);
    std::vector<char*> envp;
    for (auto& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> wrapper;
    if (options.program.empty() && under_valgrind())
        wrapper = {VALGRIND_PROGRAM,
                   "--quiet",
                   "--error-exitcode=99",
                   "--leak-check=full",
                   "--errors-for-leak-kinds=definite",
                   "--show-leak-kinds=definite"};
    std::vector<char*> argv;
    for (auto& w : wrapper) argv.push_back(w.data());
    argv.push_back(name.data());
    for (const auto& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    bool drop_root = options.unprivileged && ::geteuid() == 0;

    // The cooked mode a fresh pty starts in, read before the door can change it.
    int probe_master = -1, probe_slave = -1;
    if (::openpty(&probe_master, &probe_slave, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty");
    ::tcgetattr(probe_slave, &initial_mode);
    if (options.raw_pty) ::cfmakeraw(&initial_mode);
    ::close(probe_slave);
    ::close(probe_master);
    winsize size{25, 80, 0, 0};
    int pair[2] = {-1, -1};
    // With keys typed ahead, the door starts only once they wait on its link.
    int go[2] = {-1, -1};
    if (!options.typed_ahead.empty() && ::pipe2(go, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    int door_socket = options.given_socket;
    if (options.link == DoorOptions::Link::Pty) {
        pid = ::forkpty(&master, nullptr, &initial_mode, &size);
    } else {
        if (options.link == DoorOptions::Link::SocketPair) {
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
                throw std::runtime_error("socketpair");
            door_socket = pair[1];
        }
        pid = ::fork();
    }
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        if (options.separate_stderr) {
            ::dup2(err_pipe[1], 2);
            ::close(err_pipe[0]);
            ::close(err_pipe[1]);
        }
        if (options.link != DoorOptions::Link::Pty) {
            int null = ::open("/dev/null", O_RDWR);
            if (door_socket == 3)
                ::fcntl(3, F_SETFD, 0);
            else
                ::dup2(door_socket, 3);
            ::dup2(null, 0);
            ::dup2(null, 1);
            if (!options.separate_stderr) ::dup2(null, 2);
            ::setsid();
        }
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) _exit(127);
        rlimit no_core{0, 0}; // signal tests end doors that would dump core
        ::setrlimit(RLIMIT_CORE, &no_core);
        if (options.job_control) {
            int go[2];
            if (::pipe(go) != 0) _exit(125);
            pid_t job = ::fork();
            if (job > 0) {
                ::setpgid(job, job);
                ::tcsetpgrp(0, job);
                (void)!::write(go[1], "g", 1);
                int status = 0;
                while (::waitpid(job, &status, 0) < 0 && errno == EINTR) {
                }
                _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
            }
            ::setpgid(0, 0);
            char byte;
            (void)!::read(go[0], &byte, 1); // the shell has made this job the foreground
            ::close(go[0]);
            ::close(go[1]);
        }
        if (options.file_size_limit >= 0) {
            rlimit limit{static_cast<rlim_t>(options.file_size_limit),
                         static_cast<rlim_t>(options.file_size_limit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (drop_root &&
            (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
            _exit(126);
        char byte;
        if (go[0] >= 0 && ::read(go[0], &byte, 1) != 1) _exit(125);
        ::execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (options.separate_stderr) {
        ::close(err_pipe[1]);
        err_fd_ = err_pipe[0];
    }
    if (options.link == DoorOptions::Link::SocketPair) {
        ::close(pair[1]);
        master = pair[0];
    }
    if (master >= 0) ::fcntl(master, F_SETFD, FD_CLOEXEC);
    if (go[0] >= 0) {
        type(options.typed_ahead);
        (void)!::write(go[1], "g", 1);
        ::close(go[0]);
        ::close(go[1]);
    }
}

DoorRun::~DoorRun() {
    if (!exited_ && pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    if (master >= 0) ::close(master);
    if (err_fd_ >= 0) ::close(err_fd_);
}

void DoorRun::type(const std::string& keys) {
    std::size_t done = 0;
    while (done < keys.size()) {
        ssize_t n = ::write(master, keys.data() + done, keys.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// Reads what is there within timeout_ms; false once the master has nothing
// more to give (the door closed its side).
bool DoorRun::pump(int timeout_ms) {
    if (master < 0 && err_fd_ < 0) return false;
    // A negative descriptor is skipped by poll.
    pollfd fds[2] = {{master, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, timeout_ms);
    if (ready <= 0) return ready == 0;
    char buf[4096];
    if (err_fd_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP))) {
        ssize_t n = ::read(err_fd_, buf, sizeof buf);
        if (n > 0)
            err.append(buf, static_cast<std::size_t>(n));
        else {
            ::close(err_fd_);
            err_fd_ = -1;
        }
    }
    if (master < 0) return err_fd_ >= 0;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) return false;
        std::string bytes(buf, static_cast<std::size_t>(n));
        output += bytes;
        screen.feed(bytes);
        std::string replies = screen.take_replies();
        if (answers_ && !replies.empty()) type(replies);
    }
    return true;
}

bool DoorRun::wait_for(const std::string& text) {
    return wait_until([&] { return screen.all().find(text) != std::string::npos; });
}

bool DoorRun::wait_until(const std::function<bool()>& done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_limit_ms());
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        if (!pump(100)) return done();
    }
    return false;
}

int DoorRun::finished(int status) {
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
}

int DoorRun::wait_exit(bool reading, int limit_ms) {
    if (exited_) return status_;
    auto end = std::chrono::steady_clock::now() +
               std::chrono::milliseconds(limit_ms < 0 ? wait_limit_ms() : limit_ms);
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            while (reading && pump(50)) {
            }
            while (err_fd_ >= 0 && pump(50)) {
            }
            return finished(status);
        }
        if (!reading || !pump(50)) ::usleep(10000);
    }
    return -1;
}

int DoorRun::relay_until_exit() {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_limit_ms());
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return finished(status);
        pollfd fd{master, POLLIN, 0};
        char byte;
        if (::poll(&fd, 1, 5) > 0 && ::read(master, &byte, 1) == 1) {
            output += byte;
            screen.feed(std::string(1, byte));
        }
        ::usleep(1000);
    }
    return -1;
}

pid_t DoorRun::door_pid() {
    if (!job_control_ || job_ > 0) return job_control_ ? job_ : pid;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_limit_ms());
    while (std::chrono::steady_clock::now() < end) {
        auto child = platform::first_child(pid);
        if (!child) break;
        if (*child > 0) return job_ = *child;
        ::usleep(10000);
    }
    return pid;
}

std::optional<bool> DoorRun::waiting_in_poll() {
    return platform::sleeps_in_poll(door_pid());
}

void DoorRun::hang_up() {
    ::close(master);
    master = -1;
}

void DoorRun::signal(int signo) {
    ::kill(pid, signo);
}

void DoorRun::resize(int rows, int cols) {
    winsize size{static_cast<unsigned short>(rows), static_cast<unsigned short>(cols), 0, 0};
    screen.resize(rows, cols);
    ::ioctl(master, TIOCSWINSZ, &size);
    ::kill(pid, SIGWINCH); // also when the door is not the terminal's foreground
}

bool DoorRun::terminal_mode(termios& mode) const {
    return ::tcgetattr(master, &mode) == 0;
}

TempDir::TempDir() : TempDir(std::filesystem::temp_directory_path().string()) {}

TempDir::TempDir(const std::string& under) {
    std::string pattern = (std::filesystem::path(under) / "valedict-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& bytes) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TempDir::read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// VALEDICT_TEST_DOOR runs the tests against another build, such as an older one.
std::string door_path() {
    const char* other = std::getenv("VALEDICT_TEST_DOOR");
    return other && *other ? other : VALEDICT_DOOR;
}

std::string door32_sys(const std::string& real_name, const std::string& alias, int ansi) {
    return "0\r\n-1\r\n38400\r\nTest BBS 1.0\r\n1\r\n" + real_name + "\r\n" + alias +
           "\r\n30\r\n60\r\n" + std::to_string(ansi) + "\r\n1\r\n";
}

std::string data_record(const std::vector<std::string>& lines, const std::string& user) {
    std::string r(386, '\0');
    for (std::size_t i = 0; i < lines.size() && i < 5; ++i)
        r.replace(70 * i, std::min<std::size_t>(lines[i].size(), 70), lines[i].substr(0, 70));
    r.replace(350, std::min<std::size_t>(user.size(), 36), user.substr(0, 36));
    return r;
}

bool as_user(unsigned id, const std::function<bool()>& step) {
    pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) ::_exit(2);
        ::_exit(step() ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
