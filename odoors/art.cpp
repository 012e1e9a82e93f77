#include "art.h"

#include "open_checked.h"
#include "output.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace od {
namespace {

constexpr char esc = 0x1b, ctrl_z = 0x1a;
constexpr std::size_t sauce_size = 128, comment_line = 64;
// CP437 0x80-0x9F (Ç ü é ... ¥ ₧ ƒ) as the ASCII letters they resemble.
constexpr std::string_view c1_look_alike = "CueaaaaceeeiiiAAEaAooouuyOUcLYPf";

bool is_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// What follows the last dot of the file's own name; empty for none (a
// leading dot starts no extension).
std::string_view extension(std::string_view name) {
    auto slash = name.rfind('/');
    auto dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash + 2) || dot == 0)
        return {};
    return name.substr(dot + 1);
}

bool same_letters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool art_extension(std::string_view ext) {
    return same_letters(ext, "ans") || same_letters(ext, "asc");
}

// base.ext with the extension spelt as the disk has it (art from DOS is
// often NAME.ANS); the base name as given.
std::optional<std::string> with_extension(const std::string& base, std::string_view ext) {
    std::string exact = base + "." + std::string(ext);
    if (is_file(exact)) return exact;
    auto slash = base.rfind('/');
    std::string folder = slash == std::string::npos ? "." : base.substr(0, slash + 1);
    std::string_view own =
        std::string_view(base).substr(slash == std::string::npos ? 0 : slash + 1);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return std::nullopt;
    while (const dirent* entry = ::readdir(dir.get())) {
        std::string_view found(entry->d_name);
        if (found.size() != own.size() + 1 + ext.size() || found.substr(0, own.size()) != own ||
            found[own.size()] != '.' || !same_letters(found.substr(own.size() + 1), ext))
            continue;
        std::string path = base.substr(0, base.size() - own.size()) + std::string(found);
        if (is_file(path)) return path;
    }
    return std::nullopt;
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// A byte that can belong to an escape sequence: no control byte, DEL or above.
bool in_sequence(char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f;
}

// The escape sequence at the start of s. A byte that cannot belong to one,
// or the end of the text, cuts it: the cut part is dropped, since a terminal
// would take the text that follows as the rest of it.
struct Sequence {
    std::size_t length; // at least 1
    bool whole;
};

// OSC, DCS, APC, PM and SOS open a string a terminal acts on (a title, the
// clipboard, its own settings); art needs none of them. The string ends at
// ST (ESC \), BEL or CAN, else with the text.
std::size_t string_length(std::string_view s) {
    for (std::size_t i = 2; i < s.size(); ++i) {
        if (s[i] == '\a' || s[i] == 0x18) return i + 1;
        if (s[i] == esc && i + 1 < s.size() && s[i + 1] == '\\') return i + 2;
    }
    return s.size();
}

Sequence sequence_at(std::string_view s) {
    if (s.size() < 2 || !in_sequence(s[1])) return {1, false};
    if (std::string_view("]P_^X").find(s[1]) != std::string_view::npos)
        return {string_length(s), false};
    if (s[1] != '[') return {2, true};
    std::size_t i = 2;
    for (; i < s.size() && in_sequence(s[i]); ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x40) return {i + 1, true}; // the final byte
    return {i, false};
}

bool pipe_colour(std::string_view s) {
    return s.size() >= 3 && s[0] == '|' && digit(s[1]) && digit(s[2]) &&
           (s[1] - '0') * 10 + (s[2] - '0') <= 23;
}

} // namespace

std::optional<std::string> pick_file(const std::string& name, bool ansi) {
    if (name.empty()) return std::nullopt;
    std::string_view ext = extension(name);
    if (art_extension(ext))
        return with_extension(name.substr(0, name.size() - ext.size() - 1), ext);
    // Any other extension (news.v2) is part of the name, unless the name as
    // given is the file.
    if (auto art = with_extension(name, ansi ? "ans" : "asc")) return art;
    if (auto art = with_extension(name, ansi ? "asc" : "ans")) return art;
    if (!ext.empty() && is_file(name)) return name;
    return std::nullopt;
}

std::optional<std::string> read_file(const std::string& path, std::size_t limit) {
    int fd = open_checked(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

std::size_t TextRenderer::next_line_columns() const {
    std::size_t widest = 0, col = 0;
    std::string_view rest = rest_;
    while (!rest.empty() && rest.front() != '\n') {
        auto c = static_cast<unsigned char>(rest.front());
        std::size_t used = 1;
        if (c == esc)
            used = sequence_at(rest).length;
        else if (pipe_colour(rest))
            used = 3;
        else if (c == '\r')
            col = 0;
        else if (c == '\b')
            col -= col > 0 ? 1 : 0;
        else if (c == '\t')
            col = (col / 8 + 1) * 8;
        else if (c >= 0x20 && c != 0x7f)
            ++col;
        widest = std::max(widest, col);
        rest.remove_prefix(used);
    }
    return widest;
}

int screen_rows(std::size_t columns, int cols) {
    auto width = static_cast<std::size_t>(std::max(cols, 1));
    return static_cast<int>(std::clamp<std::size_t>((columns + width - 1) / width, 1, 1u << 20));
}

bool TextRenderer::line(Output& out) {
    if (rest_.empty()) return false;
    while (!rest_.empty()) {
        char c = rest_.front();
        if (c == esc) {
            Sequence seq = sequence_at(rest_);
            if (seq.whole) {
                out.sequence(rest_.substr(0, seq.length));
                out.forget_colour();
            }
            rest_.remove_prefix(seq.length);
            after_cr_ = false;
            continue;
        }
        if (pipe_colour(rest_)) {
            int code = (rest_[1] - '0') * 10 + (rest_[2] - '0');
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
        rest_.remove_prefix(1);
        if (c == '\n') {
            out.text(after_cr_ ? "\n" : "\r\n");
            after_cr_ = false;
            return true;
        }
        after_cr_ = c == '\r';
        auto byte = static_cast<unsigned char>(c);
        // CP437's 0x80-0x9F are letters, but a terminal that reads them as
        // C1 controls (0x9B opens a sequence) would act on them: a caller who
        // gets the bytes as they are gets the letter they look like.
        if (byte >= 0x80 && byte < 0xa0 && out.charset() == Charset::Cp437)
            byte = static_cast<unsigned char>(c1_look_alike[byte - 0x80]);
        if (byte != '\0') out.put(byte);
    }
    return true;
}

} // namespace od
