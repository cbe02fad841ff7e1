// Where the bytes of an image or a package come from: a host file, or
// content generated from a size and a fill byte or a seed.
#pragma once

#include "tools/media/Media.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <variant>

namespace media {

struct Generated {
    std::uint64_t size = 0;
    std::optional<std::uint64_t> seed; // pseudo-random bytes when set
    std::uint8_t fill = 0xFF;          // otherwise every byte
};

using Source = std::variant<std::filesystem::path, Generated>;

// Seeded mt19937_64, whose sequence the C++ standard fixes, each draw
// giving 8 bytes, least significant first: the same seed gives the same
// bytes with any compiler.
Bytes generate(const Generated &gen);

// Reads a regular file whole. A missing or unreadable file throws
// MediaIoError; one larger than `limit` bytes throws MediaError.
Bytes readInput(const std::filesystem::path &file, std::size_t limit, std::string_view label);

Bytes loadSource(const Source &source, std::size_t limit, std::string_view label);

} // namespace media
