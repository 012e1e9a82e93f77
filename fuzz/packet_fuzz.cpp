// League packets: any bytes are read without reading past them, and every
// entry taken from them holds only printable ASCII within the record's
// fields, or says why it cannot be taken.
#include "packet.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<ENTRY> entries;
    std::string problem = ReadPacket(data, size, "VALEDICT", &entries);
    if (!problem.empty() && !entries.empty()) std::abort();
    // A message's fixed header alone is 14 bytes.
    if (entries.size() > size / 14) std::abort();
    for (const ENTRY& entry : entries) {
        if (!entry.Problem.empty()) continue;
        if (entry.Board.size() > 35 || entry.Words.Line[0][0] == '\0') std::abort();
        const char* bytes = reinterpret_cast<const char*>(&entry.Words);
        for (size_t at = 0; at < sizeof entry.Words; at++) {
            unsigned char c = static_cast<unsigned char>(bytes[at]);
            if (c != 0 && (c < 32 || c > 126)) std::abort();
        }
        for (int line = 0; line < 5; line++)
            if (entry.Words.Line[line][69] != '\0') std::abort();
        if (entry.Words.User[35] != '\0') std::abort();
    }
    return 0;
}
