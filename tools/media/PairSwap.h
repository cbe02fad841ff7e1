// The byte order of the update storage: the two bytes of every 16-bit unit
// exchanged.
#pragma once

#include "tools/media/Media.h"

#include <cstdint>
#include <span>

namespace media {

// The module's reading rule, which is also how a file is stored: pairs
// exchanged, and an odd length padded with 0xFF in front of its last byte.
// On even lengths the transform is its own inverse. Content of odd length
// n therefore reads back as its n bytes followed by one 0xFF, the value of
// erased flash; no stored file is ever odd, so the module never meets the
// odd case on mkmedia's media.
Bytes pairSwap(std::span<const std::uint8_t> bytes);

} // namespace media
