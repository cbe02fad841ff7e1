// The storage's byte order worked out from its definition, apart from the
// media tools: the two bytes of every pair exchanged, an odd length padded
// with 0xFF in front of its last byte. Its own inverse on even lengths,
// which is all the storage ever holds.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

std::vector<std::uint8_t> swapPairs(std::span<const std::uint8_t> bytes);
std::string swapPairs(std::string_view bytes);

} // namespace testing_support
