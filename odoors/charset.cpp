#include "charset.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace od {
namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

class Iconv {
  public:
    Iconv(const char* to, const char* from, IconvOpen opener) : cd_(open_iconv(to, from, opener)) {}
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

// What a plain caller sees for CP437's upper half: the letter without its
// accent, a distinct character for each shade and half block (an empty bar
// must not look like a full one), lines and corners drawn with - = | +.
// Each is one column, so that nothing on the screen moves.
constexpr char ascii_stand_in[129] = "CueaaaaceeeiiiAA" // 80
                                     "EaAooouuyOUcLYPf" // 90
                                     "aiounNao?--?"
                                     "?!<>"              // A0
                                     ".:%|++++++|+++++"  // B0
                                     "++++-++++++++=++"  // C0
                                     "+++++++++++#_[]^"  // D0
                                     "asGpSsutFOOd8fen"  // E0
                                     "=+><()/~o..vn2* "; // F0

// CP437's upper half, 0x80 to 0xFF.
constexpr char16_t cp437_high[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

} // namespace

iconv_t open_iconv(const char* to, const char* from, IconvOpen opener) {
    iconv_t cd = opener(to, from);
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    if (cd != reinterpret_cast<iconv_t>(-1)) return cd;
    const char* suffix = std::strchr(to, '/');
    if (!suffix) return cd;
    std::string plain(to, static_cast<std::size_t>(suffix - to));
    return opener(plain.c_str(), from);
}

char32_t cp437_to_unicode(unsigned char byte) {
    return byte < 0x80 ? byte : cp437_high[byte - 0x80];
}

unsigned char unicode_to_cp437(char32_t ch) {
    if (ch < 0x80) return static_cast<unsigned char>(ch);
    for (int i = 0; i < 128; ++i)
        if (cp437_high[i] == ch) return static_cast<unsigned char>(0x80 + i);
    return 0;
}

void append_utf8(char32_t ch, std::string& out) {
    if (ch < 0x80) {
        out += static_cast<char>(ch);
    } else if (ch < 0x800) {
        out += static_cast<char>(0xC0 | (ch >> 6));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += static_cast<char>(0xE0 | (ch >> 12));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (ch >> 18));
        out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    }
}

std::string utf8(char32_t ch) {
    std::string out;
    append_utf8(ch, out);
    return out;
}

std::string convert(std::string_view text, const char* from, const char* to, IconvOpen opener) {
    Iconv cd(to, from, opener);
    if (!cd.ok()) return std::string(text);
    std::string out;
    bool from_utf8 = charset_by_name(from) == Charset::Utf8;
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
        // EILSEQ or a cut sequence at the end: one '?' for the character,
        // then on. Without transliteration (NetBSD) a UTF-8 character that
        // has no form in the target stops here whole, not byte by byte.
        out += '?';
        ++in;
        --in_left;
        while (from_utf8 && in_left > 0 && (static_cast<unsigned char>(*in) & 0xc0) == 0x80) {
            ++in;
            --in_left;
        }
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

bool ascii_compatible(const std::string& charset, IconvOpen opener) {
    if (charset_by_name(charset) != Charset::Other) return true;
    if (!Iconv(charset.c_str(), "CP437", opener).ok()) return false;
    std::string ascii = "\t\r\n\x1b";
    for (char c = ' '; c < 0x7f; ++c) ascii += c;
    return convert(ascii, "CP437", charset.c_str(), opener) == ascii;
}

Encoder::Encoder(const std::string& charset, IconvOpen opener)
    : charset_(charset_by_name(charset)) {
    if (charset_ != Charset::Other) return; // no iconv at start for the usual sets
    if (!Iconv(charset.c_str(), "CP437", opener).ok()) {
        charset_ = Charset::Cp437;
        return;
    }
    std::string translit = charset + "//TRANSLIT";
    auto table = std::make_shared<std::array<std::string, 128>>();
    for (int b = 0x80; b < 0xff; ++b) {
        auto byte = static_cast<unsigned char>(b);
        std::string& entry = (*table)[byte - 0x80];
        entry = convert(std::string_view(reinterpret_cast<char*>(&byte), 1), "CP437",
                        translit.c_str(), opener);
        if (entry.empty()) entry.assign(1, '?');
    }
    table_ = std::move(table);
}

void Encoder::append_upper(unsigned char byte, std::string& out) const {
    // 255 is doubled or eaten by telnet layers on the way; a blank looks the same.
    if (byte == 0xff) {
        out += ' ';
        return;
    }
    switch (charset_) {
    case Charset::Cp437: out += static_cast<char>(byte); return;
    case Charset::Utf8: append_utf8(cp437_to_unicode(byte), out); return;
    case Charset::Ascii: out += ascii_stand_in[byte - 0x80]; return;
    case Charset::Other: out += (*table_)[byte - 0x80]; return;
    }
}

} // namespace od
