#include "host/machine/Packages.h"

#include <cstdint>
#include <string_view>

namespace host {

namespace {
constexpr std::string_view kDataStart = "DATASTART\n";

bool isDigit(char c) { return c >= '0' && c <= '9'; }
} // namespace

const char *findDataStart(const char *from, const char *end)
{
    if (!from || !end || from >= end)
        return nullptr;
    const std::string_view range(from, static_cast<std::size_t>(end - from));
    for (std::size_t at = range.find(kDataStart); at != std::string_view::npos;
         at = range.find(kDataStart, at + 1)) {
        // The data must begin before `end`: a match that ends the range
        // leaves no data to point at.
        if (at + kDataStart.size() >= range.size())
            return nullptr;
        if (at == 0 || range[at - 1] == '\0' || range[at - 1] == '\n')
            return from + at + kDataStart.size();
    }
    return nullptr;
}

long findLongValue(const char *value)
{
    if (!value)
        return -1;
    const bool negative = value[0] == '-';
    const char *p = negative ? value + 1 : value;
    if (!isDigit(*p))
        return -1;
    // The magnitude may reach 2^31 for a negative number only. Stopping at
    // the first digit past the limit keeps the read short on garbage.
    const std::int64_t limit = negative ? std::int64_t{1} << 31 : (std::int64_t{1} << 31) - 1;
    std::int64_t magnitude = 0;
    for (; isDigit(*p); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit)
            return -1;
    }
    return static_cast<long>(negative ? -magnitude : magnitude);
}

} // namespace host
