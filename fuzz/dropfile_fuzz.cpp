// Every drop-file reader over arbitrary bytes: a caller is named only with a
// short name free of control bytes, or the file is refused with a reason.
#include "dropfile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    constexpr od::DropFormat formats[] = {od::DropFormat::Door32,     od::DropFormat::DoorSys,
                                          od::DropFormat::DorInfo,    od::DropFormat::Chain,
                                          od::DropFormat::DoorFileSr, od::DropFormat::BbsDev};
    auto format = formats[data[0] % 6];
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    auto parsed = od::parse_drop_file(format, text);
    if (!parsed.info) {
        if (parsed.error.empty()) std::abort();
        return 0;
    }
    const auto& name = parsed.info->name;
    if (name.empty() || name.size() > 35) std::abort();
    for (unsigned char c : name)
        if (c < 32 || c == 127) std::abort();
    if (parsed.info->seconds_left < -1 || parsed.info->seconds_left > 86400) std::abort();
    return 0;
}
