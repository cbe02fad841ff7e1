// The one spelling suggester of dlupdate: commands, options, fault names
// and power-cut events are all offered by the same rule.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace host {

// The candidates near enough to `word` to be a slip of the fingers rather
// than another word, nearest first, at most `most` of them; an exact match
// is no suggestion. Near enough: at most one edit in a short word, about
// one in three in a longer one, a swap of two neighbours counting as one
// ("shwo" is one slip from "show").
std::vector<std::string> suggest(std::string_view word, const std::vector<std::string> &candidates,
                                 std::size_t most = 3);

} // namespace host
