// Whole files as tests read and write them: bytes or text in one call.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// The whole file in one read (the flash ROM alone is 16 MiB, read often);
// empty when it cannot be opened.
Bytes readBytes(const std::filesystem::path &file);
std::string readText(const std::filesystem::path &file);

// Replaces the file, making its folders first. Throws when the file cannot
// be written, so that a test never goes on with inputs it did not get.
void writeFile(const std::filesystem::path &file, std::string_view bytes);
void writeFile(const std::filesystem::path &file, std::span<const std::uint8_t> bytes);

} // namespace testing_support
