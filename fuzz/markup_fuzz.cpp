// The mark-up formatter: any format text (without conversions but one %s) and
// any value. The value reaches the output as given, never as mark-up, and a
// caller without ANSI never gets an escape byte.
#include "output.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::string printed(od::Output& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    out.vprintf(format, &args);
    va_end(args);
    return out.pending();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    bool ansi = data[0] & 1;
    static const char* charsets[] = {"", "UTF-8", "US-ASCII", "CP437"};
    const char* charset = charsets[(data[0] >> 1) & 3];
    std::size_t split = std::min<std::size_t>(data[1], size - 2);
    std::string format(reinterpret_cast<const char*>(data + 2), split);
    std::string value(reinterpret_cast<const char*>(data + 2 + split), size - 2 - split);
    // Conversions in the format would read arguments that are not there.
    std::string safe;
    for (char c : format)
        if (c != '%' && c != '\0') safe += c;
    safe += "%s";
    if (value.find('\0') != std::string::npos) value.resize(value.find('\0'));

    od::Output out(ansi, charset);
    std::string text = printed(out, safe.c_str(), value.c_str());
    if (!ansi && text.find('\x1b') != std::string::npos) std::abort();
    if (text.find('\xff') != std::string::npos) std::abort();
    // In CP437 with ANSI the value's bytes come last, untouched but for 255.
    if (ansi && (charset[0] == '\0' || std::string(charset) == "CP437")) {
        for (char& c : value)
            if (c == '\xff') c = ' ';
        if (text.size() < value.size() ||
            text.compare(text.size() - value.size(), value.size(), value) != 0)
            std::abort();
    }
    return 0;
}
