#include "host/machine/Digest.h"

#include <sha2.h>

namespace host {

struct Sha256Stream::State {
    SHA2_CTX ctx;
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) { SHA256Init(&state_->ctx); }

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::update(const unsigned char *data, std::size_t n)
{
    if (n > 0)
        SHA256Update(&state_->ctx, data, n);
}

std::string Sha256Stream::hex()
{
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256Final(md, &state_->ctx);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * sizeof md);
    for (unsigned char b : md) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::string sha256(const unsigned char *data, std::size_t n)
{
    Sha256Stream digest;
    digest.update(data, n);
    return digest.hex();
}

} // namespace host
