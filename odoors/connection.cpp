#include "connection.h"

#include "timer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace od {
namespace {

// A signal handler can reach nothing but a static: what it needs to wake the
// wait and to give the terminal back is set once, before any handler is in.
struct HandlerState {
    volatile sig_atomic_t wake_fd = -1;
    volatile sig_atomic_t woken = 0;   // a byte went into the pipe since it was last read
    volatile sig_atomic_t tty_fd = -1; // -1: no terminal mode to give back
    termios found{};                   // the mode the door found
    termios raw{};                     // the mode it runs in
    volatile sig_atomic_t out_fd = -1;
    volatile sig_atomic_t out_flags = -1; // -1: the flags were left alone
    volatile sig_atomic_t deferred = 0;   // an ending signal the door has not acted on yet
    volatile sig_atomic_t hang_ups = 0;   // SIGHUP, SIGTERM and SIGINT received
    volatile sig_atomic_t in_end_callback = 0;
    volatile sig_atomic_t log_fd = -1; // where the last line goes if the callback never returns
    const char* volatile last_line = nullptr;
    volatile std::size_t last_line_size = 0;
};
HandlerState handler_state;

// Async-signal-safe: tcsetattr and fcntl only.
void give_back() {
    if (handler_state.tty_fd >= 0) ::tcsetattr(handler_state.tty_fd, TCSANOW, &handler_state.found);
    if (handler_state.out_fd >= 0 && handler_state.out_flags >= 0)
        ::fcntl(handler_state.out_fd, F_SETFL, handler_state.out_flags);
}

void take_again() {
    if (handler_state.tty_fd >= 0) ::tcsetattr(handler_state.tty_fd, TCSANOW, &handler_state.raw);
    if (handler_state.out_fd >= 0 && handler_state.out_flags >= 0)
        ::fcntl(handler_state.out_fd, F_SETFL, handler_state.out_flags | O_NONBLOCK);
}

extern "C" void on_terminating_signal(int signo) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signo);
    if (handler_state.wake_fd >= 0) (void)!::write(handler_state.wake_fd, &byte, 1);
    handler_state.woken = 1;
    errno = saved;
}

// SIGHUP, SIGTERM and SIGINT end the call in the door's normal flow; a
// second one while the door's end callback runs ends the door at once.
extern "C" void on_hang_up_signal(int signo) {
    handler_state.hang_ups = handler_state.hang_ups + 1;
    if (handler_state.in_end_callback && handler_state.hang_ups >= 2) {
        give_back();
        if (handler_state.log_fd >= 0 && handler_state.last_line)
            (void)!::write(handler_state.log_fd, handler_state.last_line,
                           handler_state.last_line_size);
        ::_exit(10); // a hang-up's level, as the BBS expects
    }
    on_terminating_signal(signo);
}

// Signals that end the door wait for its normal flow, so that the door may
// save first; a second one while the first still waits ends it at once.
extern "C" void on_deferred_signal(int signo) {
    if (handler_state.deferred != 0 || handler_state.wake_fd < 0) {
        give_back();
        (void)::signal(signo, SIG_DFL);
        (void)::raise(signo);
        return;
    }
    handler_state.deferred = signo;
    on_terminating_signal(signo);
}

// Installed with SA_RESETHAND: once the terminal is back, the signal does
// what it would have done (a fault faults again, the rest are raised again).
extern "C" void on_ending_signal(int signo) {
    give_back();
    (void)::raise(signo);
}

void install(int signo, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    ::sigaction(signo, &action, nullptr);
}

// Installs the handler unless the BBS has the signal ignored, which the door
// keeps: one call to look and install, a second only to put an ignore back.
void install_unless_ignored(int signo, void (*handler)(int), int flags) {
    struct sigaction action {
    }, found{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    if (::sigaction(signo, &action, &found) == 0 && found.sa_handler == SIG_IGN)
        ::sigaction(signo, &found, nullptr);
}

// Job control: the terminal goes back before the stop and raw mode comes back
// with the continue, so the next key acts at once.
extern "C" void on_stop(int) {
    int saved = errno;
    give_back();
    install(SIGTSTP, SIG_DFL, 0);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    ::sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    (void)::kill(::getpid(), SIGTSTP); // the process stops here until continued
    install(SIGTSTP, on_stop, SA_RESTART);
    take_again();
    errno = saved;
}

extern "C" void on_continue(int) {
    int saved = errno;
    take_again();
    errno = saved;
}

bool is_socket(int fd) {
    int type = 0;
    socklen_t size = sizeof type;
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0;
}

// Empty when the socket is a connection the caller is on.
std::string not_a_connection(int fd) {
    int type = 0, listening = 0;
    socklen_t size = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM)
        return "is a socket but not a stream (UDP or datagram)";
    size = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening)
        return "is a listening socket, not a caller's connection";
    sockaddr_storage peer{};
    socklen_t peer_size = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0)
        return "is a socket that is not connected";
    return {};
}

// The socket's send queue still holds bytes the far side has not taken;
// false where the system cannot say.
bool bytes_unsent(int fd) {
    // cppcheck-suppress unreadVariable ; the ioctl writes it
    int unsent = 0;
#if defined(FIONWRITE)
    return ::ioctl(fd, FIONWRITE, &unsent) == 0 && unsent > 0;
#elif defined(TIOCOUTQ)
    return ::ioctl(fd, TIOCOUTQ, &unsent) == 0 && unsent > 0;
#else
    (void)fd;
    return false;
#endif
}

} // namespace

Link choose_link(int comm_type, int handle, LinkRequest request) {
    Link link;
    bool wants_socket =
        request == LinkRequest::Socket || (request == LinkRequest::Unstated && comm_type == 2 &&
                                           handle >= 0 && !::isatty(0) && is_socket(handle));
    if (!wants_socket) return link;
    if (!is_socket(handle)) {
        link.error = "socket connection asked for, but handle " + std::to_string(handle) +
                     " is not an open socket";
        return link;
    }
    if (std::string problem = not_a_connection(handle); !problem.empty()) {
        link.error = "handle " + std::to_string(handle) + " " + problem;
        return link;
    }
    link.socket = true;
    link.fd = handle;
    return link;
}

bool Connection::open(const Link& link, int stall_seconds, std::string& error) {
    if (link.socket) {
        in_fd_ = out_fd_ = link.fd;
        telnet_ = std::make_unique<Telnet>();
    }
    if (stall_seconds > 0) stall_ms_ = std::min(stall_seconds, 86400) * 1000;
    if (::pipe2(signal_pipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return false;
    }
    handler_state.wake_fd = signal_pipe_[1];

    // A caller who stops reading must not block a write for ever: output
    // waits in poll, with a limit. The flag is the BBS's too, so it goes back.
    int flags = ::fcntl(out_fd_, F_GETFL);
    handler_state.out_fd = out_fd_;
    if (flags >= 0 && !(flags & O_NONBLOCK)) {
        handler_state.out_flags = flags;
        ::fcntl(out_fd_, F_SETFL, flags | O_NONBLOCK);
    }

    termios mode{};
    if (!telnet_ && ::tcgetattr(in_fd_, &mode) == 0) { // fails on all but a terminal
        handler_state.found = mode;
        mode.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON);
        mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        mode.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
        mode.c_cflag |= CS8;
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        handler_state.raw = mode;
        handler_state.tty_fd = in_fd_;
        ::tcsetattr(in_fd_, TCSANOW, &mode);
    }
    install_handlers();
    return true;
}

void Connection::install_handlers() {
    // No SA_RESTART: a blocked wait must see EINTR.
    for (int signo : {SIGHUP, SIGTERM, SIGINT}) install(signo, on_hang_up_signal, 0);
    install(SIGPIPE, SIG_IGN, 0);
    // A file-size limit set by the BBS is a failed write (EFBIG), not a death.
    install(SIGXFSZ, SIG_IGN, 0);

    // A fault may come from a stack overflow: its handler needs a stack of its own.
    constexpr std::size_t size = std::size_t{64} * 1024;
    fault_stack_.reset(new (std::nothrow) char[size]);
    if (fault_stack_) {
        stack_t alternate{};
        alternate.ss_sp = fault_stack_.get();
        alternate.ss_size = size;
        if (::sigaltstack(&alternate, nullptr) != 0) fault_stack_.reset();
    }
    for (int signo : {SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU})
        install_unless_ignored(signo, on_deferred_signal, 0);
    for (int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS})
        install_unless_ignored(signo, on_ending_signal, SA_RESETHAND | SA_ONSTACK);
    install(SIGWINCH, on_terminating_signal, SA_RESTART); // wakes the wait: the window changed
    install_unless_ignored(SIGTSTP, on_stop, SA_RESTART);
    install(SIGCONT, on_continue, SA_RESTART);
}

// The pipe is read only when a handler has written to it since: a read that
// finds it empty would be one more system call before and after every wait.
void Connection::drain_signals() {
    if (!handler_state.woken) return;
    handler_state.woken = 0; // a signal from here on sets it again
    unsigned char byte;
    while (signal_pipe_[0] >= 0 && ::read(signal_pipe_[0], &byte, 1) == 1) {
        if (byte == SIGWINCH)
            resized_ = true;
        else if (signal_ == 0)
            signal_ = byte;
    }
}

bool Connection::signalled() {
    if (signal_ == 0) drain_signals();
    return signal_ != 0;
}

bool Connection::take_resized() {
    drain_signals();
    bool was = resized_ || (telnet_ && telnet_->take_resized());
    resized_ = false;
    return was;
}

Size Connection::window() const {
    if (telnet_) return {telnet_->rows(), telnet_->cols()};
    if (handler_state.tty_fd >= 0) return terminal_size(in_fd_);
    return {};
}

void Connection::end_by_signal(int signo) {
    restore();
    (void)::signal(signo, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    (void)::raise(signo);
    // A signal whose default is to go on comes back here.
    // cppcheck-suppress unreachableCode
    std::_Exit(128 + signo);
}

bool Connection::send(std::string_view bytes) {
    if (!telnet_) return write_all(bytes);
    std::string wire;
    telnet_->send(bytes, wire);
    return write_all(wire);
}

bool Connection::settle() {
    bool first = !settle_asked_;
    settle_asked_ = true;
    return first && !settled();
}

// A caller who reads a little now and then must not hold the node: the
// whole write has the stall limit, and none waits past the call's end.
bool Connection::write_all(std::string_view bytes) {
    auto stall_end = Clock::now() + std::chrono::milliseconds(stall_ms_);
    failure_ = Failure::None;
    while (!bytes.empty()) {
        if (signalled()) {
            failure_ = Failure::Gone;
            return false;
        }
        ssize_t n = ::write(out_fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int left = milliseconds_until(stall_end);
            bool time_first = call_end_ && *call_end_ <= stall_end;
            if (time_first) left = milliseconds_until(*call_end_);
            if (left == 0) {
                failure_ = time_first ? Failure::TimeUp : Failure::Stalled;
                return false;
            }
            pollfd fds[2] = {{out_fd_, POLLOUT, 0}, {signal_pipe_[0], POLLIN, 0}};
            (void)::poll(fds, 2, left);
            continue;
        }
        failure_ = Failure::Gone; // any other failure leaves no way to reach the caller
        return false;
    }
    return true;
}

Connection::Event Connection::receive(std::string& bytes, int timeout_ms) {
    for (;;) {
        if (signalled()) return Event::HangUp;
        if (resized_) { // SIGWINCH may have been read off the pipe by a write
            resized_ = false;
            return Event::Resized;
        }
        pollfd fds[2] = {{in_fd_, POLLIN, 0}, {signal_pipe_[0], POLLIN, 0}};
        int ready = ::poll(fds, 2, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Event::HangUp;
        if (ready == 0) return Event::TimedOut;
        if (fds[1].revents != 0) {
            handler_state.woken = 1; // whatever poll saw there is read
            drain_signals();
            continue;
        }
        if (fds[0].revents == 0) continue;
        char chunk[4096];
        ssize_t n = ::read(in_fd_, chunk, sizeof chunk);
        if (n > 0 && !telnet_) {
            bytes.append(chunk, static_cast<std::size_t>(n));
            return Event::Data;
        }
        if (n > 0) {
            std::string replies;
            telnet_->receive(std::string_view(chunk, static_cast<std::size_t>(n)), bytes, replies);
            if (!replies.empty() && !write_all(replies)) return Event::HangUp;
            return Event::Data;
        }
        if (n == 0) return Event::HangUp;
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return Event::HangUp; // EIO, ECONNRESET and the like: the line is gone
    }
}

void Connection::linger() {
    using namespace std::chrono_literals;
    bool tty = ::isatty(out_fd_);
    bool socket = !tty && is_socket(out_fd_);
    if (!tty && !socket) return; // a pipe or a file: nothing to wait for
    auto end = std::chrono::steady_clock::now() + 200ms;
    // Events 0: only a hang-up (or a terminating signal) ends the wait early;
    // keys typed now are left for the BBS.
    pollfd fds[2] = {{in_fd_, 0, 0}, {signal_pipe_[0], POLLIN, 0}};
    while (!signalled()) {
        // A socket can say when the far side has taken everything; a pty
        // cannot, so it gets the whole moment.
        if (socket && !bytes_unsent(out_fd_)) return;
        int left = milliseconds_until(end);
        if (left == 0) return;
        int ready = ::poll(fds, 2, socket ? std::min(left, 10) : left);
        if (ready > 0 && (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) return;
    }
}

void Connection::end_callback_runs(bool runs, int log_fd, const std::string* last_line) {
    handler_state.in_end_callback = 0;
    handler_state.last_line = runs && last_line ? last_line->data() : nullptr;
    handler_state.last_line_size = runs && last_line ? last_line->size() : 0;
    handler_state.log_fd = runs ? log_fd : -1;
    handler_state.in_end_callback = runs ? 1 : 0;
}

void Connection::restore() {
    if (restored_) return;
    restored_ = true;
    give_back();
    handler_state.tty_fd = -1;
    handler_state.out_fd = -1;
}

} // namespace od
