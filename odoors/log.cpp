#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace od {

Log::~Log() {
    if (fd_ >= 0) ::close(fd_);
}

void Log::open(const std::string& path, const std::string& program) {
    program_ = program;
    if (path.empty() || fd_ >= 0) return;
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd_ < 0)
        (void)std::fprintf(stderr, "%s: %s: cannot open the log: %s\n", program.c_str(),
                           path.c_str(), std::strerror(errno));
}

void Log::write(const std::string& text, std::time_t now) const {
    if (fd_ < 0) return;
    std::tm utc{};
    char stamp[32] = "";
    if (::gmtime_r(&now, &utc))
        (void)std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string line =
        std::string(stamp) + " " + program_ + "[" + std::to_string(::getpid()) + "]: " + text;
    // A line stays one line, whatever a drop file or a door put in it.
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    line += '\n';
    // One write: O_APPEND keeps lines from several nodes whole.
    ssize_t n;
    do {
        n = ::write(fd_, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
}

std::string log_value(const std::string& value) {
    std::string out;
    bool quote = value.empty();
    for (char c : value) {
        auto b = static_cast<unsigned char>(c);
        if (b == ' ' || b == '"') quote = true;
        out += b < 0x20 || b == 0x7f ? '?' : b == '"' ? '\'' : c;
    }
    return quote ? "\"" + out + "\"" : out;
}

} // namespace od
