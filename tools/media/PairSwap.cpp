#include "tools/media/PairSwap.h"

namespace media {

Bytes pairSwap(std::span<const std::uint8_t> bytes)
{
    const std::size_t n = bytes.size();
    Bytes out(n + n % 2);
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        out[i] = bytes[i + 1];
        out[i + 1] = bytes[i];
    }
    if (n % 2 != 0) {
        out[n - 1] = 0xFF;
        out[n] = bytes[n - 1];
    }
    return out;
}

} // namespace media
