// The caller's input path: telnet (on sockets), the key decoder and the line
// editor. However the bytes are split into reads, the keys are the same, and
// the line holds only what the editor may store.
#include "editor.h"
#include "keys.h"
#include "output.h"
#include "telnet.h"
#include "wire.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

struct Run {
    std::vector<od::Key> keys;
    std::string line;
    bool ended = false;
};

// `cuts` gives the length of each read; 0 means the rest at once.
Run feed(std::string_view wire, bool telnet_on, std::string_view cuts) {
    od::Telnet telnet;
    od::KeyDecoder decoder;
    od::LineEditor editor(69, 32, 127);
    od::Output echo(true);
    Run run;
    std::size_t at = 0, cut = 0;
    while (at < wire.size()) {
        std::size_t n = cut < cuts.size() ? static_cast<unsigned char>(cuts[cut++]) % 8 : 0;
        std::string data = next_read(telnet, telnet_on, wire, at, n);
        std::vector<od::Key> keys;
        for (char c : data) decoder.feed(static_cast<unsigned char>(c), keys);
        for (const auto& k : keys) {
            run.keys.push_back(k);
            if (!run.ended) run.ended = editor.apply(k, echo);
        }
    }
    run.line = editor.line();
    return run;
}

bool same(const std::vector<od::Key>& a, const std::vector<od::Key>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].kind != b[i].kind || a[i].byte != b[i].byte) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto input = split_wire(data, size);
    if (!input) return 0;
    bool telnet_on = input->telnet_on;
    std::string_view cuts = input->cuts, wire = input->bytes;

    Run whole = feed(wire, telnet_on, {});
    Run split = feed(wire, telnet_on, cuts);
    if (!same(whole.keys, split.keys) || whole.line != split.line) std::abort();
    if (whole.line.size() > 69) std::abort();
    for (unsigned char c : whole.line)
        if (c < 32 || c > 126) std::abort();
    return 0;
}
