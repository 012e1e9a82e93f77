#include "log.h"

#include "open_checked.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace od {
namespace {

bool continuation(const std::string& text, std::size_t at) {
    return at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
}

// Length of the well-formed UTF-8 character of two to four bytes at `at`,
// else 0.
std::size_t utf8_length(const std::string& text, std::size_t at) {
    auto lead = static_cast<unsigned char>(text[at]);
    std::size_t n = lead >= 0xC2 && lead <= 0xDF   ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    for (std::size_t i = 1; i < n; ++i)
        if (!continuation(text, at + i)) return 0;
    return n;
}

} // namespace

const char* program_name() {
#if defined(__GLIBC__)
    return program_invocation_short_name;
#else
    return getprogname();
#endif
}

std::string harmless(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        auto b = static_cast<unsigned char>(text[at]);
        if (std::size_t n = b >= 0x80 ? utf8_length(text, at) : 0; n > 0) {
            bool c1 = b == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
            out += c1 ? std::string("?") : text.substr(at, n);
            at += n;
            continue;
        }
        out += b < 0x20 || (b >= 0x7F && b <= 0x9F) ? '?' : static_cast<char>(b);
        ++at;
    }
    return out;
}

std::string shown_value(const std::string& value) {
    if (value.size() <= shown_value_limit) return harmless(value);
    return harmless(value.substr(0, shown_value_limit)) + "...";
}

Log::~Log() {
    if (fd_ >= 0) ::close(fd_);
}

void Log::open(const std::string& path, const std::string& program) {
    program_ = program;
    if (path.empty() || fd_ >= 0) return;
    // O_NONBLOCK: a FIFO with no reader fails here instead of waiting for one.
    // Read access lets a write see whether the file ends mid-line; a log the
    // door may only write to is taken without it.
    constexpr int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    // Through the library's rule: never a link or a second name another
    // user planted in a shared sticky folder.
    fd_ = open_checked(path.c_str(), O_RDWR | flags, 0666);
    if (fd_ < 0 && errno == EACCES) fd_ = open_checked(path.c_str(), O_WRONLY | flags, 0666);
    int error = errno;
    struct stat st {};
    bool regular = fd_ >= 0 ? ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)
                            : ::stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode);
    if (fd_ >= 0 && regular) return;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    (void)std::fprintf(stderr, "%s: %s: cannot open the log: %s\n", program.c_str(),
                       shown_value(path).c_str(),
                       regular ? std::strerror(error) : "not a regular file");
}

bool Log::ends_mid_line() const {
    struct stat st {};
    char last = '\n';
    return ::fstat(fd_, &st) == 0 && st.st_size > 0 &&
           ::pread(fd_, &last, 1, st.st_size - 1) == 1 && last != '\n';
}

std::string Log::line(const std::string& text, std::time_t now) const {
    std::tm utc{};
    char stamp[32] = "";
    if (::gmtime_r(&now, &utc))
        (void)std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return harmless(std::string(stamp) + " " + program_ + "[" + std::to_string(::getpid()) +
                    "]: " + text) +
           '\n';
}

void Log::write(const std::string& text, std::time_t now) const {
    if (fd_ < 0) return;
    std::string entry = line(text, now);
    // A line cut by a full disk or a size limit, here or on another node,
    // is ended before this one. Two nodes may both see it; an empty line
    // costs less than two entries glued together.
    if (ends_mid_line()) entry.insert(0, 1, '\n');
    // One write: O_APPEND keeps lines from several nodes whole. A failed or
    // interrupted one is dropped, never retried.
    (void)!::write(fd_, entry.data(), entry.size());
}

// Letters, digits, UTF-8 text and these stand bare; anything else (blanks,
// quotes, a shell's special characters, controls) puts the value in quotes.
// (harmless() has already made controls, raw C1 bytes and bad UTF-8 '?').
static bool bare(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c >= 0x80 || (c != 0 && std::strchr("._-/:@+=%,^", c) != nullptr);
}

std::string log_value(const std::string& value) {
    std::string out;
    bool quote = value.empty();
    for (char c : harmless(value)) {
        quote = quote || !bare(static_cast<unsigned char>(c));
        // Inside double quotes a shell still reads $, ` and \: each is escaped.
        if (c == '$' || c == '`' || c == '\\') out += '\\';
        out += c == '"' ? '\'' : c;
    }
    return quote ? "\"" + out + "\"" : out;
}

} // namespace od
