// Character sets: the door speaks CP437; the caller may want UTF-8 or ASCII.
#pragma once

#include <array>
#include <iconv.h>
#include <memory>
#include <string>
#include <string_view>

namespace od {

using IconvOpen = iconv_t (*)(const char* to, const char* from);

// iconv_open, for a name that may end in "//TRANSLIT": glibc honours the
// suffix and FreeBSD strips it, but NetBSD refuses any name holding a '/',
// so there the conversion is opened again without it. `opener` stands in for
// iconv_open in tests.
iconv_t open_iconv(const char* to, const char* from, IconvOpen opener = ::iconv_open);

// Text from one character set to another through iconv; what cannot be
// converted becomes '?'. Unknown sets leave the text as it is.
std::string convert(std::string_view text, const char* from, const char* to,
                    IconvOpen opener = ::iconv_open);

// The Unicode character a CP437 byte from 0x80 up shows, and back; 0 for a
// character CP437 has no byte for.
char32_t cp437_to_unicode(unsigned char byte);
unsigned char unicode_to_cp437(char32_t ch);

// One character as UTF-8, alone or added to out.
std::string utf8(char32_t ch);
void append_utf8(char32_t ch, std::string& out);

enum class Charset { Cp437, Utf8, Ascii, Other };

// Reads an IANA-style name in any case ("UTF-8", "IBM437", "US-ASCII"...).
Charset charset_by_name(std::string_view name);

// Whether a set can carry the door's output: CP437, UTF-8, US-ASCII, or a
// set iconv knows that sends ASCII as ASCII (not UTF-16, UTF-32 or EBCDIC),
// since escape sequences and the door's text pass as they are.
bool ascii_compatible(const std::string& charset, IconvOpen opener = ::iconv_open);

// Turns each CP437 byte the door sends into what goes on the wire.
class Encoder {
  public:
    // An empty or unknown name means CP437.
    explicit Encoder(const std::string& charset = {}, IconvOpen opener = ::iconv_open);
    void append(unsigned char byte, std::string& out) const {
        if (byte < 0x80)
            out += static_cast<char>(byte);
        else
            append_upper(byte, out);
    }
    Charset charset() const { return charset_; }

  private:
    void append_upper(unsigned char byte, std::string& out) const;

    Charset charset_ = Charset::Cp437;
    // Only a set iconv converts to needs a table, made once at the start.
    std::shared_ptr<const std::array<std::string, 128>> table_;
};

} // namespace od
