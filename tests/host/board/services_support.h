// Helpers shared by the tests of the boot environment's services.
#pragma once

#include "support/Compare.h"
#include "support/Files.h"
#include "support/PowerCut.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>

namespace testing_support {

using testing_support::sameBytes;
using testing_support::TempDir;
using testing_support::writeFile;

inline std::string readHostFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Bytes that compress poorly or well, depending on `alphabet`.
inline std::string randomBytes(std::size_t n, std::uint32_t seed, int alphabet = 256)
{
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(0, alphabet - 1);
    std::string out(n, '\0');
    for (auto &c : out)
        c = static_cast<char>(dist(gen));
    return out;
}

} // namespace testing_support
