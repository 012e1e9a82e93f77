#include "crc32.h"

#include <array>

namespace od {
namespace {

constexpr std::array<std::uint32_t, 256> make_table() {
    std::array<std::uint32_t, 256> made{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        made[n] = c;
    }
    return made;
}

// Made by the compiler: read-only data, no start-up cost.
constexpr std::array<std::uint32_t, 256> table = make_table();

} // namespace

std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t size) {
    const auto* at = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ at[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

} // namespace od
