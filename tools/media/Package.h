// A package as the module's header lookup reads it: key and value lines,
// DATASTART, a zlib stream of the content, CR LF.
#pragma once

#include "tools/media/Media.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace media {

struct PackageInfo {
    std::string dbName;
    std::string version;
    std::string comment;
    std::optional<std::string> languageCode; // flash ROM image packages only
};

struct Package {
    Bytes bytes;
    std::size_t dataStart = 0; // first byte of the zlib stream
    std::size_t dataEnd = 0;   // one past its last byte; CR LF follow
};

// Compression levels of --level: libdeflate's 1 to 12 (zlib's 1 to 9, 10
// to 12 taken as 9, where libdeflate is missing). The default gives media
// smaller than zlib's best level on real trees, at a fraction of its time.
inline constexpr int kMinLevel = 1;
inline constexpr int kMaxLevel = 12;
inline constexpr int kDefaultLevel = 6;

// RFC 1950 stream at the given level; equal content and level give equal
// bytes, whatever thread makes them.
Bytes zlibDeflate(std::span<const std::uint8_t> content, int level = kDefaultLevel);

// Throws MediaError, naming `label`, for a value the lookup would misread:
// empty, holding a control byte (a NUL or LF would end its line), beginning
// with a key name (the lookup takes the first line that begins with the
// key, value lines included), or longer than the module's field for it.
void checkHeaderValue(std::string_view label, std::string_view key, std::string_view value);

Package makePackage(const PackageInfo &info, std::span<const std::uint8_t> content, std::string_view label,
                    int level = kDefaultLevel);

} // namespace media
