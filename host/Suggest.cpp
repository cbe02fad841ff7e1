#include "host/Suggest.h"

#include <algorithm>
#include <utility>

namespace host {

namespace {

std::size_t editDistance(std::string_view a, std::string_view b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

} // namespace

std::vector<std::string> suggest(std::string_view word, const std::vector<std::string> &candidates,
                                 std::size_t most)
{
    std::vector<std::pair<std::size_t, std::string>> scored;
    for (const std::string &c : candidates) {
        const std::size_t d = editDistance(word, c);
        const std::size_t limit = std::max<std::size_t>(1, std::min(word.size(), c.size()) / 3);
        if (d > 0 && d <= limit)
            scored.emplace_back(d, c);
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto &x, const auto &y) { return x.first < y.first; });
    std::vector<std::string> out;
    for (std::size_t i = 0; i < scored.size() && i < most; ++i)
        out.push_back(scored[i].second);
    return out;
}

} // namespace host
