#include "charset.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>

namespace od {
namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

class Iconv {
  public:
    Iconv(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) ::iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const {
        // iconv_open's failure value is (iconv_t)-1.
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        return cd_ != reinterpret_cast<iconv_t>(-1);
    }
    iconv_t get() const { return cd_; }

  private:
    iconv_t cd_;
};

// Plain look-alikes for the line-drawing and block characters, which no
// transliteration to ASCII knows.
char ascii_look_alike(unsigned char byte) {
    if (byte == 0xb3 || byte == 0xba) return '|';
    if (byte == 0xc4) return '-';
    if (byte == 0xcd) return '=';
    if (byte >= 0xb4 && byte <= 0xda) return '+';
    if ((byte >= 0xb0 && byte <= 0xb2) || (byte >= 0xdb && byte <= 0xdf)) return '#';
    return 0;
}

} // namespace

std::string convert(std::string_view text, const char* from, const char* to) {
    Iconv cd(to, from);
    if (!cd.ok()) return std::string(text);
    std::string out;
    char* in = const_cast<char*>(text.data());
    std::size_t in_left = text.size();
    char buffer[256];
    while (in_left > 0) {
        char* o = buffer;
        std::size_t o_left = sizeof buffer;
        std::size_t done = ::iconv(cd.get(), &in, &in_left, &o, &o_left);
        out.append(buffer, static_cast<std::size_t>(o - buffer));
        if (done != static_cast<std::size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ or a cut sequence at the end: one '?' for the byte, then on.
        out += '?';
        ++in;
        --in_left;
        ::iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

Charset charset_by_name(std::string_view name) {
    std::string key(name);
    std::transform(key.begin(), key.end(), key.begin(), lower);
    if (key.empty() || key == "ibm437" || key == "cp437" || key == "437" || key == "ibmpc")
        return Charset::Cp437;
    if (key == "utf-8" || key == "utf8") return Charset::Utf8;
    if (key == "us-ascii" || key == "ascii" || key == "ansi_x3.4-1968") return Charset::Ascii;
    return Charset::Other;
}

Encoder::Encoder(const std::string& charset) : charset_(charset_by_name(charset)) {
    std::string target = charset_ == Charset::Utf8 ? "UTF-8" : charset;
    if (charset_ == Charset::Other && !Iconv(target.c_str(), "CP437").ok())
        charset_ = Charset::Cp437;
    std::string translit = target + "//TRANSLIT";
    for (int b = 0; b < 256; ++b) {
        auto byte = static_cast<unsigned char>(b);
        std::string& entry = table_[byte];
        // 255 is doubled or eaten by telnet layers on the way; a blank looks the same.
        if (byte == 0xff || byte < 0x80 || charset_ == Charset::Cp437) {
            entry = byte == 0xff ? std::string(" ") : std::string(1, static_cast<char>(byte));
            continue;
        }
        if (charset_ == Charset::Ascii) {
            char look = ascii_look_alike(byte);
            entry = look ? std::string(1, look)
                         : convert(std::string_view(reinterpret_cast<char*>(&byte), 1), "CP437",
                                   "ASCII//TRANSLIT");
        } else {
            entry = convert(std::string_view(reinterpret_cast<char*>(&byte), 1), "CP437",
                            translit.c_str());
        }
        if (entry.empty()) entry.assign(1, '?');
    }
}

} // namespace od
