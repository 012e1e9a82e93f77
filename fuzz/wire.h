// How the input fuzzers read their data: the first byte's low bit says
// whether telnet is on, the second how many cut bytes follow (each shapes
// one read), and the rest is what comes over the wire.
#pragma once

#include "telnet.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct Wire {
    bool telnet_on;
    unsigned char flags; // the first byte whole, for a target's own switches
    std::string_view cuts, bytes;
};

inline std::optional<Wire> split_wire(const uint8_t* data, size_t size) {
    if (size < 2) return std::nullopt;
    std::size_t cut_count = std::min<std::size_t>(data[1], size - 2);
    const char* at = reinterpret_cast<const char*>(data + 2);
    return Wire{(data[0] & 1) != 0, data[0], std::string_view(at, cut_count),
                std::string_view(at + cut_count, size - 2 - cut_count)};
}

// The next `n` bytes of the wire (0: the rest) as the door reads them: through
// telnet when it is on.
inline std::string next_read(od::Telnet& telnet, bool telnet_on, std::string_view wire,
                             std::size_t& at, std::size_t n) {
    if (n == 0) n = wire.size() - at;
    n = std::min(n, wire.size() - at);
    std::string data, replies;
    if (telnet_on)
        telnet.receive(wire.substr(at, n), data, replies);
    else
        data.assign(wire.substr(at, n));
    at += n;
    return data;
}
