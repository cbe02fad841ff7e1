#include "host/machine/Digest.h"

#include <sha2.h>

#include <cstdio>

namespace host {

std::string sha256(const unsigned char *data, std::size_t n)
{
    SHA2_CTX ctx;
    SHA256Init(&ctx);
    SHA256Update(&ctx, data, n);
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256Final(md, &ctx);
    std::string hex;
    char two[3];
    for (unsigned char b : md) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

} // namespace host
