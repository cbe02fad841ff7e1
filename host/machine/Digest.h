#pragma once

#include <cstddef>
#include <string>

namespace host {

// SHA-256 of `n` bytes as 64 lowercase hex digits; throws MachineFolderError
// when the digest cannot be made.
std::string sha256(const unsigned char *data, std::size_t n);

} // namespace host
