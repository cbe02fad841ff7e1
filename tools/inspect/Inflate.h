// Whether a package's data inflates to its stated size, checked on the host
// with zlib in memory, as the module's archiver would expand it: the zlib
// stream at the start of the data, bytes after its end ignored.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace inspect {

struct InflateResult {
    bool complete = false;        // the stream ended within the data
    std::int64_t produced = 0;    // bytes it expanded to (up to the limit)
    std::int64_t streamBytes = 0; // where a complete stream ended in the data
    std::string error;            // zlib's word on a damaged or cut stream
};

// Inflates `data`, stopping once more than `limit` bytes came out, so that
// a wrong EXPANDEDSIZE cannot make the check expand without end. The
// content is kept in `content` when one is given.
InflateResult inflateData(std::span<const std::uint8_t> data, std::int64_t limit,
                          std::string *content = nullptr);

} // namespace inspect
