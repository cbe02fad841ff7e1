#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace host {

// SHA-256 of `n` bytes as 64 lowercase hex digits.
std::string sha256(const unsigned char *data, std::size_t n);

inline std::string sha256(std::string_view bytes)
{
    return sha256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

// The same digest over bytes given piece by piece, for a file too large to
// hold whole: update() as often as needed, then hex() once.
class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream &) = delete;
    Sha256Stream &operator=(const Sha256Stream &) = delete;

    void update(const unsigned char *data, std::size_t n);
    // 64 lowercase hex digits; ends the digest.
    std::string hex();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace host
