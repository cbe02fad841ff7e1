#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace host {

// SHA-256 of `n` bytes as 64 lowercase hex digits.
std::string sha256(const unsigned char *data, std::size_t n);

inline std::string sha256(std::string_view bytes)
{
    return sha256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

} // namespace host
