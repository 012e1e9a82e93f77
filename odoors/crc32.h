#pragma once

#include <cstddef>
#include <cstdint>

namespace od {

// CRC-32 as zip, PNG and zlib compute it (reflected 0xEDB88320): `crc` is 0
// to start, or the result so far to go on.
std::uint32_t crc32(std::uint32_t crc, const void* data, std::size_t size);

} // namespace od
