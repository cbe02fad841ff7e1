// mkmedia's byte formats read back by the module's rules: the pair swap of
// stored files, and a package's header, data and trailer.
#include "tools/media/Package.h"
#include "tools/media/PairSwap.h"
#include "tools/media/Source.h"

#include "mkmedia_support.h"
#include "support/PairSwap.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace media {
namespace {

using namespace testing_support;
using namespace std::string_literals;

Bytes randomBytes(std::size_t n, std::uint64_t seed) { return generate({n, seed, 0}); }

// The module reads in 64 KiB chunks: lengths around a chunk's edge matter.
TEST(MkMediaPairSwap, ModuleReaderGivesTheContentBack)
{
    EXPECT_EQ(pairSwap(Bytes{1, 2, 3, 4}), (Bytes{2, 1, 4, 3}));
    for (std::size_t n : {0u, 2u, 65534u, 65536u, 65538u, 200002u}) {
        Bytes content = randomBytes(n, n);
        EXPECT_EQ(pairSwap(content).size(), n);
        EXPECT_EQ(moduleRead(pairSwap(content)), content) << n << " bytes";
    }
}

TEST(MkMediaPairSwap, OddContentReadsBackFollowedByOnePadByte)
{
    EXPECT_EQ(pairSwap(Bytes{1, 2, 3}), (Bytes{2, 1, 0xFF, 3}));
    for (std::size_t n : {1u, 3u, 65535u, 65537u, 131073u}) {
        Bytes content = randomBytes(n, n);
        Bytes stored = pairSwap(content);
        EXPECT_EQ(stored.size(), n + 1) << "a stored file is never odd";
        content.push_back(0xFF);
        EXPECT_EQ(moduleRead(stored), content) << n << " bytes";
    }
}

// The tests' reference swap stands in for mkmedia's wherever a test stores
// or reads media by hand: both give the bytes written out here, and on
// even lengths each undoes itself.
TEST(MkMediaPairSwap, ReferenceSwapAgreesWithMkMedia)
{
    const struct {
        Bytes content, stored;
    } rows[] = {
        {{}, {}},
        {{0x41}, {0xFF, 0x41}},
        {{1, 2}, {2, 1}},
        {{1, 2, 3}, {2, 1, 0xFF, 3}},
        {{0x00, 0xFF, 0x10, 0x20}, {0xFF, 0x00, 0x20, 0x10}},
        {{'D', 'A', 'T', 'A', '\n'}, {'A', 'D', 'A', 'T', 0xFF, '\n'}},
    };
    for (const auto &r : rows) {
        const std::string text(r.content.begin(), r.content.end());
        EXPECT_EQ(testing_support::swapPairs(r.content), r.stored) << r.content.size() << " bytes";
        EXPECT_EQ(testing_support::swapPairs(text), std::string(r.stored.begin(), r.stored.end()))
            << r.content.size() << " bytes";
        EXPECT_EQ(pairSwap(r.content), r.stored) << r.content.size() << " bytes";
    }
    for (std::size_t n : {2u, 65536u, 200002u}) {
        const Bytes content = randomBytes(n, n + 7);
        EXPECT_EQ(testing_support::swapPairs(content), pairSwap(content)) << n << " bytes";
        EXPECT_EQ(testing_support::swapPairs(testing_support::swapPairs(content)), content) << n << " bytes";
    }
}

class MkMediaPackage : public ::testing::Test {
protected:
    PackageInfo info{"/TMP/lsrfirm.tz", "L1.03", "LASER_FIRM", "JA"};
    Bytes content = randomBytes(5000, 3);
};

TEST_F(MkMediaPackage, HeaderDataAndTrailerParseBack)
{
    Package pkg = makePackage(info, content, "test");
    std::string header(pkg.bytes.begin(), pkg.bytes.begin() + static_cast<std::ptrdiff_t>(pkg.dataStart));
    for (const std::string &pair : {"EXPANDEDSIZE\n5000\0"s, "DBNAME\n/TMP/lsrfirm.tz\0"s,
                                    "VERSION\nL1.03\0"s, "COMMENT\nLASER_FIRM\0"s, "LANGUAGECODE\nJA\0"s})
        EXPECT_NE(header.find(pair), std::string::npos) << pair;
    EXPECT_TRUE(header.ends_with("\0DATASTART\n"s));

    auto records = getDbInfo(pkg.bytes, pkg.bytes.size(), 1);
    ASSERT_EQ(records.size(), 1u);
    const Record &r = records[0];
    EXPECT_EQ(std::tie(r.dbName, r.version, r.comment), std::tie(info.dbName, info.version, info.comment));
    EXPECT_EQ(r.dataStart, pkg.dataStart);
    EXPECT_EQ(r.dataStart + static_cast<std::size_t>(r.compressedSize), pkg.dataEnd);
    EXPECT_NE(header.find("COMPRESSEDSIZE\n" + std::to_string(r.compressedSize) + '\0'), std::string::npos);
    EXPECT_EQ(inflateData(pkg.bytes, r), content);
    EXPECT_EQ(Bytes(pkg.bytes.begin() + static_cast<std::ptrdiff_t>(pkg.dataEnd), pkg.bytes.end()),
              bytesOf("\r\n"));
    EXPECT_EQ(makePackage(info, content, "again").bytes, pkg.bytes) << "reproducible";
}

TEST_F(MkMediaPackage, ChainOfAnySizesIsFoundInOrder)
{
    const Bytes contents[] = {{}, Bytes(100000, 'A'), bytesOf("x"), randomBytes(3001, 1)};
    Bytes chain;
    for (std::size_t i = 0; i < std::size(contents); ++i) {
        info.dbName = "/TMP/p" + std::to_string(i);
        Bytes bytes = makePackage(info, contents[i], "test").bytes;
        chain.insert(chain.end(), bytes.begin(), bytes.end());
    }
    auto records = getDbInfo(chain, chain.size(), 1);
    ASSERT_EQ(records.size(), std::size(contents));
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].dbName, "/TMP/p" + std::to_string(i));
        EXPECT_EQ(inflateData(chain, records[i]), contents[i]);
    }
}

TEST_F(MkMediaPackage, ValuesTheLookupWouldMisreadAreRefused)
{
    for (const std::string &version : {""s, "two\nlines"s, "nul\0in"s, "tab\there"s, "VERSION2"s,
                                       "DATASTART"s, "COMMENTS"s, std::string(16, 'v')}) {
        PackageInfo p = info;
        p.version = version;
        EXPECT_THROW(makePackage(p, content, "test"), MediaError) << version;
    }
    info.dbName = "/" + std::string(254, 'n');
    EXPECT_NO_THROW(makePackage(info, content, "test"));
    info.dbName += "n";
    try {
        makePackage(info, content, "image2.lsr");
        ADD_FAILURE() << "a 256-byte DBNAME was accepted";
    } catch (const MediaError &e) {
        EXPECT_NE(std::string(e.what()).find("image2.lsr"), std::string::npos) << e.what();
    }
}

// Every level gives a zlib stream that zlib itself inflates back, and the
// level reaches the compressor.
TEST(MkMediaCompression, EveryLevelInflatesBackWithZlib)
{
    Bytes text;
    const std::string words[] = {"update ", "media ", "package ", "flash ", "disk ", "\n"};
    for (std::uint32_t i = 0; text.size() < 300000; i = i * 1103515245u + 12345u)
        text.insert(text.end(), words[(i >> 16) % 6].begin(), words[(i >> 16) % 6].end());
    const std::pair<const char *, Bytes> contents[] = {
        {"empty", {}}, {"text", text}, {"random", randomBytes(150001, 9)}, {"zeros", Bytes(1u << 20, 0)}};
    for (const auto &[name, content] : contents) {
        SCOPED_TRACE(name);
        for (int level = kMinLevel; level <= kMaxLevel; ++level) {
            Bytes z = zlibDeflate(content, level);
            Bytes back(content.size() + 1);
            uLongf n = static_cast<uLongf>(back.size());
            ASSERT_EQ(uncompress(back.data(), &n, z.data(), static_cast<uLong>(z.size())), Z_OK)
                << "level " << level;
            back.resize(n);
            EXPECT_EQ(back, content) << "level " << level;
        }
    }
    EXPECT_LT(zlibDeflate(text, kMaxLevel).size(), zlibDeflate(text, kMinLevel).size());
}

TEST(MkMediaSource, GeneratedContentDependsOnlyOnSizeSeedAndFill)
{
    EXPECT_EQ(generate({10, std::nullopt, 0x5A}), Bytes(10, 0x5A));
    Bytes a = generate({1001, 7, 0});
    EXPECT_EQ(a, generate({1001, 7, 0}));
    EXPECT_NE(a, generate({1001, 8, 0}));
    Bytes start = generate({64, 7, 0});
    EXPECT_TRUE(std::equal(start.begin(), start.end(), a.begin())) << "a prefix of a longer run";
    EXPECT_LT(std::count(a.begin(), a.end(), a[0]), 50) << "not random-looking";
}

} // namespace
} // namespace media
