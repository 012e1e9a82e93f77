// Connection: which descriptors reach the caller, the terminal's raw mode and
// its restoring, the single wait, reads, the one write per flush, hang-ups.
#pragma once

#include "screen.h"
#include "telnet.h"
#include "timer.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <termios.h>

namespace od {

// How to reach the caller: the standard streams, or a socket the BBS passed.
struct Link {
    bool socket = false;
    int fd = -1;
    std::string error; // set when the drop file or the sysop asks for what cannot be
};

enum class LinkRequest { Unstated, Stdio, Socket };

// Comm type 0 or a handle below 0: the standard streams. Comm type 2 with a
// handle that is an open socket while standard input is no terminal: that
// socket, which must be a connected stream. `request` (from BBSDEV.DRP or the
// sysop's ODOORS_IO) overrides.
Link choose_link(int comm_type, int handle, LinkRequest request);

class Connection {
  public:
    enum class Event { Data, HangUp, TimedOut, Resized };

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { restore(); }

    // Opens the link; installs the handlers that turn SIGHUP, SIGTERM and
    // SIGINT into a hang-up, and those that give the terminal back before any
    // other signal ends or stops the door. A terminal on standard input goes
    // into raw mode. A send that has not gone out whole within stall_seconds
    // (at most a day) fails, however slowly the caller reads meanwhile.
    bool open(const Link& link, int stall_seconds, std::string& error);

    // Sends all of `bytes`; false when the caller has hung up or has not
    // taken them in time: within the stall limit, and before the call's end.
    bool send(std::string_view bytes);
    // Why the last send failed.
    enum class Failure { None, Gone, TimeUp, Stalled };
    Failure failure() const { return failure_; }
    // The call ends then: no write waits past it (none: no limit).
    void set_call_end(std::optional<Clock::time_point> end) { call_end_ = end; }

    // Before a normal end: gives the other side a moment to take the last
    // bytes (a BBS that relays a pty stops reading once the door is gone).
    // Returns at once after a hang-up.
    void linger();

    // Blocks until bytes arrive, the timeout (ms, -1 none) passes, the caller
    // hangs up, a terminating signal arrives or the terminal's window changes
    // (reported once per SIGWINCH). The caller's data is appended to `bytes`;
    // on a socket it may be empty when only telnet commands came.
    Event receive(std::string& bytes, int timeout_ms);

    // A terminating signal has arrived since the connection opened.
    bool signalled();
    // That signal's number (0: none).
    int ending_signal() const { return signal_; }
    // Gives the terminal back and lets the signal end the process as it
    // would have without the door's handler.
    [[noreturn]] void end_by_signal(int signo);

    // On telnet, whether a probe should wait for the client's negotiation
    // (only the first time it asks); settled() tells when the client's
    // requests have come and been answered.
    bool settle();
    bool settled() const { return !telnet_ || telnet_->heard(); }

    // The caller's window as the link knows it (NAWS on telnet, the window
    // size on a terminal); unknown elsewhere.
    Size window() const;
    // The window changed (SIGWINCH, or a new NAWS report) since the last look.
    bool take_resized();

    // While the door's end callback runs, a second SIGHUP, SIGTERM or SIGINT
    // gives the terminal back, appends `last_line` (already formatted, kept
    // alive by the caller) to the log at `log_fd`, and ends the door at once
    // with exit level 10.
    void end_callback_runs(bool runs, int log_fd = -1, const std::string* last_line = nullptr);

    // Puts the terminal and the output's file flags back as the door found
    // them; safe to call twice. Also done at exit, however the door ends.
    void restore();
    bool restored() const { return restored_; }

  private:
    bool write_all(std::string_view bytes);
    void install_handlers();
    int in_fd_ = 0;
    int out_fd_ = 1;
    int stall_ms_ = 300000;
    std::optional<Clock::time_point> call_end_;
    Failure failure_ = Failure::None;
    std::unique_ptr<Telnet> telnet_;
    bool restored_ = false;
    int signal_pipe_[2] = {-1, -1};
    void drain_signals();
    int signal_ = 0;
    bool resized_ = false;
    bool settle_asked_ = false;
    std::unique_ptr<char[]> fault_stack_; // where a fault handler runs on stack overflow
};

} // namespace od
