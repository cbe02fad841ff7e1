#include "tools/media/Checksums.h"

#include <sha2.h>

namespace media {

struct Sha256::State {
    SHA2_CTX ctx;
};

Sha256::Sha256() : state_(std::make_unique<State>()) { SHA256Init(&state_->ctx); }

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes)
{
    if (!bytes.empty())
        SHA256Update(&state_->ctx, bytes.data(), bytes.size());
}

std::string Sha256::hex()
{
    std::uint8_t md[SHA256_DIGEST_LENGTH];
    SHA256Final(md, &state_->ctx);
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * sizeof md);
    for (std::uint8_t b : md) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::string checksumList(const std::vector<std::pair<std::string, std::string>> &digestAndPath)
{
    std::string text;
    for (const auto &[digest, path] : digestAndPath)
        text += digest + "  " + path + "\n";
    return text;
}

} // namespace media
