#include "art.h"

#include "output.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace od {
namespace {

constexpr char esc = 0x1b, ctrl_z = 0x1a;
constexpr std::size_t sauce_size = 128, comment_line = 64;

bool is_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool has_extension(const std::string& name) {
    auto slash = name.rfind('/');
    auto dot = name.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// The length of the escape sequence at the start of s (at least 1).
std::size_t sequence_length(std::string_view s) {
    if (s.size() < 2) return s.size();
    if (s[1] != '[') return 2;
    std::size_t i = 2;
    while (i < s.size() && static_cast<unsigned char>(s[i]) >= 0x20 &&
           static_cast<unsigned char>(s[i]) < 0x40)
        ++i; // parameters and intermediates
    return i < s.size() ? i + 1 : i;
}

} // namespace

std::optional<std::string> pick_file(const std::string& name, bool ansi) {
    if (name.empty()) return std::nullopt;
    if (has_extension(name)) return is_file(name) ? std::optional(name) : std::nullopt;
    std::string first = name + (ansi ? ".ans" : ".asc"), second = name + (ansi ? ".asc" : ".ans");
    if (is_file(first)) return first;
    if (is_file(second)) return second;
    return std::nullopt;
}

std::optional<std::string> read_file(const std::string& path, std::size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> content;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        content.emplace();
        char chunk[65536];
        while (content->size() < limit) {
            ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - content->size()));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            content->append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return content;
}

std::string_view without_sauce(std::string_view file) {
    if (file.size() >= sauce_size && file.substr(file.size() - sauce_size, 7) == "SAUCE00") {
        auto comments = static_cast<unsigned char>(file[file.size() - sauce_size + 104]);
        std::size_t end = file.size() - sauce_size;
        std::size_t block = 5 + comment_line * comments;
        if (comments > 0 && end >= block && file.substr(end - block, 5) == "COMNT") end -= block;
        file = file.substr(0, end);
    }
    if (auto eof = file.find(ctrl_z); eof != std::string_view::npos) file = file.substr(0, eof);
    return file;
}

bool TextRenderer::line(Output& out) {
    if (rest_.empty()) return false;
    while (!rest_.empty()) {
        char c = rest_.front();
        if (c == esc) {
            std::size_t n = sequence_length(rest_);
            out.sequence(rest_.substr(0, n));
            out.forget_colour();
            rest_.remove_prefix(n);
            after_cr_ = false;
            continue;
        }
        if (c == '|' && rest_.size() >= 3 && digit(rest_[1]) && digit(rest_[2])) {
            int code = (rest_[1] - '0') * 10 + (rest_[2] - '0');
            if (code <= 23) {
                Colour colour = out.colour();
                if (code < 16)
                    colour.fg = code;
                else
                    colour.bg = code - 16;
                out.set_colour(colour);
                rest_.remove_prefix(3);
                after_cr_ = false;
                continue;
            }
        }
        rest_.remove_prefix(1);
        if (c == '\n') {
            out.text(after_cr_ ? "\n" : "\r\n");
            after_cr_ = false;
            return true;
        }
        after_cr_ = c == '\r';
        if (c != '\0') out.put(static_cast<unsigned char>(c));
    }
    return true;
}

} // namespace od
