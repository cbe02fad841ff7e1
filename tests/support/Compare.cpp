#include "Compare.h"

#include <algorithm>
#include <cstdio>

namespace testing_support {

namespace {

template <typename Buffer>
::testing::AssertionResult compare(const Buffer &actual, const Buffer &expected)
{
    auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    if (diff.first == actual.end() && diff.second == expected.end())
        return ::testing::AssertionSuccess();
    std::size_t at = static_cast<std::size_t>(diff.first - actual.begin());
    char where[128];
    std::snprintf(where, sizeof where, "%zu bytes, expected %zu; first difference at 0x%zX (%zu)",
                  actual.size(), expected.size(), at, at);
    return ::testing::AssertionFailure() << where;
}

} // namespace

::testing::AssertionResult sameBytes(const std::vector<std::uint8_t> &actual,
                                     const std::vector<std::uint8_t> &expected)
{
    return compare(actual, expected);
}

::testing::AssertionResult sameBytes(const std::string &actual, const std::string &expected)
{
    return compare(actual, expected);
}

::testing::AssertionResult sameBytes(const std::optional<std::vector<std::uint8_t>> &actual,
                                     const std::vector<std::uint8_t> &expected)
{
    if (!actual)
        return ::testing::AssertionFailure() << "absent";
    return compare(*actual, expected);
}

::testing::AssertionResult sameBytes(const std::optional<std::string> &actual, const std::string &expected)
{
    if (!actual)
        return ::testing::AssertionFailure() << "absent";
    return compare(*actual, expected);
}

} // namespace testing_support
