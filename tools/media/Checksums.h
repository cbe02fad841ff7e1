// The checksum list of the media: SHA-256 of every file mkmedia writes, as
// `sha256sum -c` reads it, so that a stick can be checked (and signed)
// against what was made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace media {

// SHA-256 over bytes given piece by piece (libmd), so that a file of
// hundreds of MiB is hashed as it is written, never held whole.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void update(std::span<const std::uint8_t> bytes);
    // The digest as 64 lowercase hex digits; ends the digest.
    std::string hex();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The list's text: one line "<64 lowercase hex>  <path>" per (digest,
// path), in the order given, with paths relative to the media folder.
std::string checksumList(const std::vector<std::pair<std::string, std::string>> &digestAndPath);

} // namespace media
