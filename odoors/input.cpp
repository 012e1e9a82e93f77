#include "input.h"

#include <algorithm>
#include <vector>

namespace od {

Size clamp_size(Size size) {
    return {std::clamp(size.rows, 1, 9999), std::clamp(size.cols, 1, 9999)};
}

int take_input(KeyDecoder& decoder, std::deque<Key>& keys, std::string_view bytes, bool probing) {
    std::vector<Key> decoded;
    // A device-attributes answer that no probe asked for (a caller may send
    // one) never changes what 127 means.
    decoder.accept_attributes(probing);
    for (char c : bytes) {
        decoder.feed(static_cast<unsigned char>(c), decoded);
        while (!decoded.empty() && keys.size() + decoded.size() > max_queued_keys)
            decoded.pop_back();
    }
    keys.insert(keys.end(), decoded.begin(), decoded.end());
    // Dropped when unasked, so that a stale report never counts later.
    if (!probing) decoder.drop_reports();
    return decoder.reports();
}

} // namespace od
