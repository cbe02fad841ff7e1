#pragma once

#include <cstddef>
#include <string>

namespace host {

// SHA-256 of `n` bytes as 64 lowercase hex digits.
std::string sha256(const unsigned char *data, std::size_t n);

} // namespace host
