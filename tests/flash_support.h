// Shared helpers of the NVRAM and flash ROM tests: a scratch folder, whole
// file reads and writes, and a power cut that unwinds instead of exiting.
#pragma once

#include "support/TempDir.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace flashtest {

using testing_support::TempDir;

inline std::vector<std::uint8_t> readFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::filesystem::path &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Thrown by the cut action, so a test sees the state a power cut leaves.
struct PowerCut {};

} // namespace flashtest
