#include "connection.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace od {
namespace {

// A signal handler can reach nothing but a static; it only wakes the wait.
int signal_pipe_write = -1;

extern "C" void on_terminating_signal(int signo) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signo);
    if (signal_pipe_write >= 0) (void)!::write(signal_pipe_write, &byte, 1);
    errno = saved;
}

void set_flags(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

bool is_socket(int fd) {
    int type = 0;
    socklen_t size = sizeof type;
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0;
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
    link.socket = true;
    link.fd = handle;
    return link;
}

bool Connection::open(const Link& link, std::string& error) {
    if (link.socket) {
        in_fd_ = out_fd_ = link.fd;
        telnet_ = std::make_unique<Telnet>();
    }
    if (::pipe(signal_pipe_) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return false;
    }
    set_flags(signal_pipe_[0]);
    set_flags(signal_pipe_[1]);
    signal_pipe_write = signal_pipe_[1];

    struct sigaction action {};
    action.sa_handler = on_terminating_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked write must see EINTR
    for (int signo : {SIGHUP, SIGTERM, SIGINT}) ::sigaction(signo, &action, nullptr);
    (void)::signal(SIGPIPE, SIG_IGN);

    termios mode{};
    if (!telnet_ && ::isatty(in_fd_) && ::tcgetattr(in_fd_, &mode) == 0) {
        saved_mode_ = mode;
        mode.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON);
        mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        mode.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
        mode.c_cflag |= CS8;
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        ::tcsetattr(in_fd_, TCSANOW, &mode);
    }
    return true;
}

bool Connection::signalled() {
    if (signalled_) return true;
    unsigned char byte;
    if (signal_pipe_[0] >= 0 && ::read(signal_pipe_[0], &byte, 1) == 1) signalled_ = true;
    return signalled_;
}

bool Connection::send(std::string_view bytes) {
    if (!telnet_) return write_all(bytes);
    std::string wire;
    telnet_->send(bytes, wire);
    return write_all(wire);
}

bool Connection::write_all(std::string_view bytes) {
    while (!bytes.empty()) {
        if (signalled()) return false;
        ssize_t n = ::write(out_fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd fds[2] = {{out_fd_, POLLOUT, 0}, {signal_pipe_[0], POLLIN, 0}};
            ::poll(fds, 2, -1);
            continue;
        }
        return false; // any other failure leaves no way to reach the caller
    }
    return true;
}

Connection::Event Connection::receive(std::string& bytes, int timeout_ms) {
    for (;;) {
        if (signalled()) return Event::HangUp;
        pollfd fds[2] = {{in_fd_, POLLIN, 0}, {signal_pipe_[0], POLLIN, 0}};
        int ready = ::poll(fds, 2, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Event::HangUp;
        if (ready == 0) return Event::TimedOut;
        if (fds[1].revents != 0) continue; // signalled() reads it
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

void Connection::restore() {
    if (saved_mode_) {
        ::tcsetattr(in_fd_, TCSANOW, &*saved_mode_);
        saved_mode_.reset();
    }
}

} // namespace od
