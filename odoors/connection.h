// Connection: which descriptors reach the caller, the terminal's raw mode and
// its restoring, the single wait, reads, the one write per flush, hang-ups.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <termios.h>

namespace od {

class Connection {
  public:
    enum class Event { Data, HangUp, TimedOut };

    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { restore(); }

    // Talks through standard input and output; a terminal is put in raw mode.
    // Installs the handlers that turn SIGHUP, SIGTERM and SIGINT into a hang-up.
    bool open_standard_streams(std::string& error);

    // Sends all of `bytes`; false when the caller has hung up.
    bool send(std::string_view bytes);

    // Blocks until input arrives, the timeout (ms, -1 none) passes, the caller
    // hangs up or a terminating signal arrives. Input is appended to `bytes`.
    Event receive(std::string& bytes, int timeout_ms);

    // A terminating signal has arrived since the connection opened.
    bool signalled();

    // Puts the terminal back as the door found it; safe to call twice.
    void restore();

  private:
    int in_fd_ = 0;
    int out_fd_ = 1;
    std::optional<termios> saved_mode_;
    int signal_pipe_[2] = {-1, -1};
    bool signalled_ = false;
};

} // namespace od
