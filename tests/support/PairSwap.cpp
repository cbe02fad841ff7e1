#include "PairSwap.h"

namespace testing_support {

namespace {

template <typename Out, typename In>
Out swapped(const In &in)
{
    Out out(in.size() + in.size() % 2, static_cast<typename Out::value_type>(0));
    for (std::size_t i = 0; i + 1 < in.size(); i += 2) {
        out[i] = static_cast<typename Out::value_type>(in[i + 1]);
        out[i + 1] = static_cast<typename Out::value_type>(in[i]);
    }
    if (in.size() % 2 != 0) {
        out[in.size() - 1] = static_cast<typename Out::value_type>(0xFF);
        out[in.size()] = static_cast<typename Out::value_type>(in.back());
    }
    return out;
}

} // namespace

std::vector<std::uint8_t> swapPairs(std::span<const std::uint8_t> bytes)
{
    return swapped<std::vector<std::uint8_t>>(bytes);
}

std::string swapPairs(std::string_view bytes) { return swapped<std::string>(bytes); }

} // namespace testing_support
