// Byte comparisons that say where contents differ instead of printing
// megabytes of them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// Success when equal; else both sizes and the first differing offset, in
// hexadecimal and decimal. An absent actual (no such file) fails of its own.
::testing::AssertionResult sameBytes(const std::vector<std::uint8_t> &actual,
                                     const std::vector<std::uint8_t> &expected);
::testing::AssertionResult sameBytes(const std::string &actual, const std::string &expected);
::testing::AssertionResult sameBytes(const std::optional<std::vector<std::uint8_t>> &actual,
                                     const std::vector<std::uint8_t> &expected);
::testing::AssertionResult sameBytes(const std::optional<std::string> &actual, const std::string &expected);

} // namespace testing_support
