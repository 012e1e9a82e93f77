// Input: the caller's bytes, after telnet, turned into the queue of keys and
// the one cursor report a probe asked for. Apart from the connection, so
// that it can be fed bytes alone.
#pragma once

#include "keys.h"
#include "screen.h"

#include <cstddef>
#include <deque>
#include <string_view>

namespace od {

// Keys kept while the door is not reading; what a caller sends beyond them
// is dropped, so a flood costs no memory.
inline constexpr std::size_t max_queued_keys = 4096;

// A screen size as the library takes it: 1 to 9999 each way.
Size clamp_size(Size size);

// Feeds `bytes` to the decoder; its keys join `keys` up to
// max_queued_keys. Cursor reports wait in the decoder for od_probe only while
// `probing`, and a device-attributes answer counts only then too; any other
// report or answer is dropped, and none is ever a key.
// Returns the reports waiting.
int take_input(KeyDecoder& decoder, std::deque<Key>& keys, std::string_view bytes, bool probing);

} // namespace od
