// The sysop log: one line per start, end and refusal, each a single append
// so that every node may share one file.
#pragma once

#include <ctime>
#include <string>

namespace od {

class Log {
  public:
    Log() = default;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    ~Log();

    // Opens `path` for appending (nothing when empty). A log that cannot be
    // opened is said once on standard error; the door runs on without it.
    void open(const std::string& path, const std::string& program);
    bool is_open() const { return fd_ >= 0; }

    // Appends "time program[pid]: text" as one write.
    void write(const std::string& text, std::time_t now = std::time(nullptr)) const;

  private:
    int fd_ = -1;
    std::string program_;
};

// A value for a log line: quoted when it holds blanks or is empty, with
// control bytes shown as '?'.
std::string log_value(const std::string& value);

} // namespace od
