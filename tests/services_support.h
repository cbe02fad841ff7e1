// Helpers shared by the tests of the boot environment's services.
#pragma once

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>

namespace services_test {

using testing_support::TempDir;

inline void writeHostFile(const std::filesystem::path &path, const std::string &content)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

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

// Compares contents without printing megabytes when they differ.
inline ::testing::AssertionResult sameBytes(const std::optional<std::string> &actual,
                                            const std::string &expected)
{
    if (!actual)
        return ::testing::AssertionFailure() << "no file";
    if (*actual == expected)
        return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < actual->size() && at < expected.size() && (*actual)[at] == expected[at])
        ++at;
    return ::testing::AssertionFailure() << actual->size() << " bytes where " << expected.size()
                                         << " were expected, first difference at " << at;
}

} // namespace services_test
