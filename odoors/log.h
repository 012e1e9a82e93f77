// The sysop log: one line per start, end and refusal, each a single append
// so that every node may share one file. It never holds up a door.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace od {

class Log {
  public:
    Log() = default;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    ~Log();

    // Opens `path` for appending (nothing when empty). Only a regular file
    // is taken: a FIFO, a device or a folder could block or swallow the
    // lines. A log that is refused or cannot be opened is said once on
    // standard error; the door runs on without it.
    void open(const std::string& path, const std::string& program);
    bool is_open() const { return fd_ >= 0; }

    // Appends "time program[pid]: text" as one write, which is dropped
    // rather than retried when it fails. A line always starts on a line of
    // its own, even after a cut write by this or another node.
    void write(const std::string& text, std::time_t now = std::time(nullptr)) const;

    // The whole line write() would append, for one that must be ready
    // before it is needed (a signal handler writes it with write(2) alone),
    // and the descriptor it goes to (-1: no log).
    std::string line(const std::string& text, std::time_t now = std::time(nullptr)) const;
    int fd() const { return fd_; }

  private:
    bool ends_mid_line() const;
    int fd_ = -1;
    std::string program_;
};

// A value for a log line: bare when it holds only letters, digits, UTF-8
// text and ._-/:@+=%,^; otherwise (blanks, shell or control characters,
// empty) in double quotes, where " becomes ' and $, ` and \ get a backslash,
// so that no shell reading the line runs anything from it. Control bytes
// show as '?'.
std::string log_value(const std::string& value);

// Control bytes (C0, DEL, C1 raw or UTF-8 encoded) become '?', so that a
// line stays one line and a terminal showing the log takes no command from
// it; other text, UTF-8 included, is kept.
std::string harmless(const std::string& text);

// A sysop's value (a setting, a path) as a refusal on standard error shows
// it, which may be the caller's screen: harmless, and cut after
// shown_value_limit bytes with "..." after it.
inline constexpr std::size_t shown_value_limit = 80;
std::string shown_value(const std::string& value);
// The door's program name, for the lines said on standard error.
const char* program_name();

} // namespace od
