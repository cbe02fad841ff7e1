#include "host/machine/Digest.h"

#include "host/machine/MachineFolder.h"

#include <openssl/evp.h>

#include <array>
#include <cstdio>

namespace host {

std::string sha256(const unsigned char *data, std::size_t n)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
    unsigned int len = 0;
    if (!EVP_Digest(data, n, md.data(), &len, EVP_sha256(), nullptr))
        throw MachineFolderError("SHA-256 failed");
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
}

} // namespace host
