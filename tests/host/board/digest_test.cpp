// The SHA-256 that machine show prints, against the published test vectors:
// empty, one block, two blocks (the padding spills over) and a million bytes
// fed in one call; and the streaming form fed the same in uneven pieces.
#include "host/machine/Digest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

TEST(Digest, Sha256OfThePublishedVectors)
{
    const struct {
        std::string data;
        const char *sha256;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopq"
         "rsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(host::sha256(reinterpret_cast<const unsigned char *>(c.data.data()), c.data.size()),
                  c.sha256)
            << c.data.size() << " bytes";
}

TEST(Digest, Sha256StreamOfPiecesIsTheSameDigest)
{
    const std::string million(1000000, 'a');
    host::Sha256Stream digest;
    for (std::size_t at = 0, piece = 1; at < million.size(); at += piece, piece = piece * 3 + 1)
        digest.update(reinterpret_cast<const unsigned char *>(million.data()) + at,
                      std::min(piece, million.size() - at));
    EXPECT_EQ(digest.hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    host::Sha256Stream empty;
    empty.update(nullptr, 0);
    EXPECT_EQ(empty.hex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

} // namespace
