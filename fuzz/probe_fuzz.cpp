// The whole input path with a probe in flight: telnet (on sockets), the key
// decoder and the queue, as the session's wait feeds them. The queue never
// passes its bound, a size is taken only while the probe waits and is
// always 1 to 9999 each way.
#include "input.h"
#include "telnet.h"
#include "wire.h"

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto input = split_wire(data, size);
    if (!input) return 0;
    bool telnet_on = input->telnet_on;
    std::string_view cuts = input->cuts, wire = input->bytes;

    od::Telnet telnet;
    od::KeyDecoder decoder;
    std::deque<od::Key> keys;
    bool probing = input->flags & 2;
    std::size_t at = 0, cut = 0;
    while (at < wire.size()) {
        // Each cut: bits 0-5 the read's length (0: the rest), bit 6 the
        // probe starts or ends, bit 7 the door takes every key queued.
        unsigned char how = cut < cuts.size() ? static_cast<unsigned char>(cuts[cut++]) : 0;
        if (how & 0x40) probing = !probing;
        if (how & 0x80) keys.clear();
        std::string bytes = next_read(telnet, telnet_on, wire, at, how & 0x3F);
        decoder.expect_reports(probing ? 3 : 0);
        int waiting = od::take_input(decoder, keys, bytes, probing);
        if (keys.size() > od::max_queued_keys) std::abort();
        if (waiting > 0 && !probing) std::abort();
        // The probe takes what waits, clamped as od_probe does.
        int rows = 0, cols = 0;
        while (decoder.take_report(rows, cols)) {
            od::Size size = od::clamp_size({rows, cols});
            if (size.rows < 1 || size.rows > 9999 || size.cols < 1 || size.cols > 9999)
                std::abort();
        }
    }
    return 0;
}
