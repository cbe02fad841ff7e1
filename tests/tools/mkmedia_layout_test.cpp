// Each media image and the HDD files, read back the way the module reads
// them: image 0's packages at their offsets, image 1's version head, image
// 2's chain, the HDD tree's mapping and the cut into numbered files.
#include "tools/media/Hdd.h"
#include "tools/media/Images.h"
#include "tools/media/Source.h"

#include "mkmedia_support.h"
#include "support/PairSwap.h"

#include <gtest/gtest.h>

#include <functional>

namespace media {
namespace {

using namespace testing_support;
using namespace std::string_literals;

Bytes randomBytes(std::size_t n, std::uint64_t seed) { return generate({n, seed, 0}); }
// What the module holds after staging an image.
Bytes staged(const Bytes &image) { return moduleRead(testing_support::swapPairs(image)); }

std::string refusal(const std::function<void()> &action)
{
    try {
        action();
    } catch (const MediaError &e) {
        return e.what();
    }
    return "(accepted)";
}

class MkMediaImage0 : public ::testing::Test {
protected:
    MkMediaImage0()
    {
        for (std::size_t i = 0; i < 3; ++i)
            ui[i] = {{"/TMP/ui" + std::to_string(i), "1.2" + std::to_string(i), "UI", "JA"},
                     randomBytes(3000 + i, i),
                     "ui" + std::to_string(i)};
    }
    std::array<PackageInput, 3> ui;
    Bytes own = randomBytes(0x1001, 42);
};

TEST_F(MkMediaImage0, FixedOffsetLookupFindsThePackages)
{
    Bytes area = staged(buildImage0(own, ui));
    area.resize(layout::kImage0Max, 0);
    auto records = getDbInfo(area, area.size(), 0);
    ASSERT_EQ(records.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        auto at = area.begin() + static_cast<std::ptrdiff_t>(layout::kUiOffsets[i]);
        EXPECT_EQ(std::string(at, at + 13), "EXPANDEDSIZE\n") << "header at its offset";
        EXPECT_EQ(records[i].version, ui[i].info.version);
        EXPECT_EQ(records[i].languageCode, "JA");
        EXPECT_EQ(inflateData(area, records[i]), ui[i].content);
    }
    EXPECT_TRUE(std::equal(own.begin(), own.end(), area.begin())) << "own content at 0";
    EXPECT_EQ(area[layout::kUiOffsets[1] - 1], 0xFF) << "gaps as erased flash";
}

TEST_F(MkMediaImage0, AnythingOverlappingAnOffsetIsRefused)
{
    EXPECT_NO_THROW(buildImage0(Bytes(layout::kUiOffsets[0], 0), ui));
    EXPECT_NE(refusal([&] { buildImage0(Bytes(layout::kUiOffsets[0] + 1, 0), ui); }).find("0x280000"),
              std::string::npos);
    const std::size_t room[] = {0x90000, 0x70000, 0x480000};
    const char *limit[] = {"0x310000", "0x380000", "0x800000"};
    for (std::size_t i = 0; i < 3; ++i) {
        auto big = ui;
        big[i].content = randomBytes(room[i], i); // incompressible: the package outgrows its room
        EXPECT_NE(refusal([&] { buildImage0(own, big); }).find(limit[i]), std::string::npos) << i;
    }
    ui[2].info.version = "12.45.78.012"; // "V12.45.78.012 JA" overflows the 16-byte field
    EXPECT_THROW(buildImage0(own, ui), MediaError);
}

TEST(MkMediaImage1, HeadGivesTheSystemVersionByTheFallbackRule)
{
    Bytes content = randomBytes(4096, 5);
    Bytes read = staged(buildImage1(content, VersionHead{"DL01", "R2.10.0001", '1', 'A'}));
    ASSERT_EQ(read.size(), content.size());
    EXPECT_EQ(versionOfHead(read), std::make_pair("DL01"s, "V1R2.10 A"s));
    EXPECT_EQ(read[0], '\t');
    EXPECT_EQ(std::string(read.begin() + 27, read.begin() + 43), "R2.10.0001      ") << "byte 27 is 'R'";
    std::string head(read.begin(), read.begin() + 128);
    EXPECT_GT(head.find('\0'), head.find("SHIPPING") + 9) << "a NUL before the keys";
    EXPECT_TRUE(std::equal(content.begin() + 128, content.end(), read.begin() + 128));
}

TEST(MkMediaImage1, HeadsTheModuleWouldMisreadAreRefused)
{
    const VersionHead bad[] = {
        {"DL1", "R2.10.00", '1', 'A'},
        {"DL\t1", "R2.10.00", '1', 'A'},
        {"DL01", "R2.10", '1', 'A'},             // no second '.' to end the counted part
        {"DL01", "R2345678901.1.1", '1', 'A'},   // the counted part overflows the field
        {"DL01", "R2.10.00000000000", '1', 'A'}, // past byte 42
        {"DL01", "SHIPPING.1.2", '1', 'A'},
        {"DL01", "R2.10.00", '\0', 'A'},
    };
    for (const VersionHead &head : bad)
        EXPECT_THROW(buildImage1(Bytes(256, 0), head), MediaError) << head.target << " " << head.version;
    EXPECT_THROW(buildImage1(Bytes(127, 0), VersionHead{"DL01", "R2.10.00", '1', 'A'}), MediaError);
    EXPECT_EQ(buildImage1(Bytes(9, 7), std::nullopt), Bytes(9, 7));
}

TEST(MkMediaImage2, ChainCarriesTheChosenUnits)
{
    std::vector<PackageInput> packages;
    for (const UnitTraits &unit : {kUnits[0], kUnits[3]})
        packages.push_back(
            {{unit.dbName, "1.0", unit.comment, std::nullopt}, randomBytes(2001, 1), unit.name});
    Bytes area = staged(buildImage2(packages));
    auto records = getDbInfo(area, area.size(), 1);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].dbName + " " + records[0].comment, "/TMP/lsrfirm.tz LASER_FIRM");
    EXPECT_EQ(records[1].dbName + " " + records[1].comment, "/TMP/scmfirm.tz SCANNER_FIRM");
    EXPECT_EQ(inflateData(area, records[1]), packages[1].content);
}

TEST(MkMediaHdd, VersionTextReadsBackAsTheSystemVersion)
{
    VersionText text{"DL01", "1", "R2", "10", "A"};
    EXPECT_EQ(systemVersion(text), "V1R2.10 A");
    EXPECT_EQ(versionTextContent(text),
              bytesOf("TARGET\r\nDL01\r\nOEM_VER\r\n1\r\nMAJOR\r\nR2\r\nMINOR\r\n10\r\nSHIPPING\r\nA\r\n"));
    EXPECT_EQ(systemVersionOfText(versionTextContent(text)), "V1R2.10 A");
    EXPECT_EQ(systemVersion({"DL01", "12", "R2345", "100", "AB"}), "V12R2345.100 AB");
    const VersionText bad[] = {{"DL01", "", "R2", "10", "A"},
                               {"DL01", "1", "MINOR", "10", "A"}, // a key name in a value
                               {"DL01", "1", "R2\r", "10", "A"},
                               {"DL01", "12", "R2345", "1000", "AB"}}; // 16 characters
    for (const VersionText &t : bad)
        EXPECT_THROW(versionTextContent(t), MediaError) << t.major << " " << t.minor;
}

TEST(MkMediaHdd, TreeMapsToAbsolutePathsInAPartition)
{
    TempDir dir;
    for (const char *file : {"SYS/lib/b.so", "SYS/bin/app", "ROM/PRF/a.prf", "UND/z", "PRF/m"})
        writeFile(dir / "tree" / file, bytesOf(file));
    std::filesystem::create_directories(dir / "tree" / "SYS" / "empty");
    std::vector<std::string> names;
    for (const HddEntry &e : scanHddTree(dir / "tree")) {
        names.push_back(e.dbName);
        EXPECT_EQ(readBytes(e.source), bytesOf(e.dbName.substr(1)));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"/PRF/m", "/ROM/PRF/a.prf", "/SYS/bin/app", "/SYS/lib/b.so",
                                               "/UND/z"}));

    for (const char *bad : {"SYS/app", "/SYS/../etc/passwd", "/SYS/./a", "/SYS//a", "/SYS/a/", "/TMP/x",
                            "/SYS", "/ROM/sysDummy.txt", "/sys/a", "/SYS/a\nb"})
        EXPECT_THROW(checkHddDbName(bad, "t"), MediaError) << bad;
    writeFile(dir / "top" / "readme", Bytes{});
    EXPECT_THROW(scanHddTree(dir / "top"), MediaError) << "a file outside a partition";
    writeFile(dir / "link" / "SYS" / "x", Bytes{});
    std::filesystem::create_symlink("/etc/passwd", dir / "link" / "SYS" / "passwd");
    EXPECT_THROW(scanHddTree(dir / "link"), MediaError) << "a symbolic link";
    EXPECT_THROW(scanHddTree(dir / "absent"), MediaIoError);
}

// The version text, then packages of random content of these sizes.
struct TestChain {
    HddChain chain;
    std::vector<Bytes> contents;
};

TestChain makeChain(const std::vector<std::size_t> &sizes)
{
    std::vector<PackageInput> packages = {{{"/ROM/sysDummy.txt", "V1R2.10 A", "SYS_VERSION", std::nullopt},
                                           versionTextContent({"DL01", "1", "R2", "10", "A"}),
                                           "text"}};
    for (std::size_t i = 0; i < sizes.size(); ++i)
        packages.push_back({{"/SYS/f" + std::to_string(i), "V1R2.10 A", "HDD_SYS", std::nullopt},
                            randomBytes(sizes[i], i),
                            "f"});
    TestChain t{buildHddChain(packages), {}};
    for (const PackageInput &p : packages)
        t.contents.push_back(p.content);
    return t;
}

// Everything the module needs of a cut, checked on the files it would read.
void expectLoadable(const TestChain &t, const std::vector<std::size_t> &cuts)
{
    ASSERT_EQ(cuts.back(), t.chain.bytes.size());
    std::vector<Bytes> files;
    for (std::size_t k = 0, from = 0; k < cuts.size(); from = cuts[k++]) {
        EXPECT_TRUE(k + 1 == cuts.size() || cuts[k] % 2 == 0) << "file " << k + 1 << " is odd";
        EXPECT_TRUE(std::any_of(t.chain.dataEnds.begin(), t.chain.dataEnds.end(),
                                [&](std::size_t e) { return e > from && e <= cuts[k]; }))
            << "file " << k + 1 << " holds no package's last data byte";
        files.push_back(
            testing_support::swapPairs(Bytes(t.chain.bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                             t.chain.bytes.begin() + static_cast<std::ptrdiff_t>(cuts[k]))));
    }
    HddWalk walk = walkHddFiles(files);
    ASSERT_EQ(walk.packages.size(), t.contents.size());
    for (std::size_t i = 0; i < t.contents.size(); ++i)
        EXPECT_EQ(walk.packages[i].content, t.contents[i]) << "package " << i;
    EXPECT_LE(*std::max_element(walk.perPart.begin(), walk.perPart.end()), layout::kMaxPackagesPerPart);
    Bytes area;
    auto head = headOfFirstHddFile(files[0], area);
    ASSERT_FALSE(head.empty());
    EXPECT_LE(head.size(), layout::kMaxPackagesInHead);
    EXPECT_EQ(systemVersionOfText(inflateData(area, head[0])), "V1R2.10 A");
}

TEST(MkMediaHddCut, EveryFileSizeGivesFilesTheLoaderCanWalk)
{
    // Odd sizes make odd package lengths; 9000 outgrows most file sizes.
    TestChain t = makeChain({101, 3000, 9000, 51, 0, 7001, 1, 2500});
    for (std::size_t fileSize : {2u, 64u, 1000u, 2048u, 4096u, 10000u, 1u << 20}) {
        SCOPED_TRACE("fileSize " + std::to_string(fileSize));
        expectLoadable(t, cutHddChain(t.chain, fileSize));
    }
    EXPECT_EQ(cutHddChain(t.chain, 1u << 20).size(), 1u);
}

TEST(MkMediaHddCut, FilesAreTheChosenSizeWhereTheyCanBe)
{
    TestChain t = makeChain(std::vector<std::size_t>(12, 3000));
    auto cuts = cutHddChain(t.chain, 4096);
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k)
        EXPECT_EQ(cuts[k], 4096 * (k + 1));
}

TEST(MkMediaHddCut, MoreThan32FilesAreRefused)
{
    TestChain t = makeChain(std::vector<std::size_t>(40, 2000));
    EXPECT_NE(refusal([&] { cutHddChain(t.chain, 2048); }).find("32"), std::string::npos);
    expectLoadable(t, cutHddChain(t.chain, 4096));
    EXPECT_THROW(cutHddChain(t.chain, 4095), MediaError) << "an odd file size";
}

TEST(MkMediaHddCut, PartBuffersStayWithinTheModulesTables)
{
    // Tiny packages: one file would give the loader more than 2048 and
    // the version-text lookup more than 256 complete packages.
    TestChain t = makeChain(std::vector<std::size_t>(2600, 0));
    auto cuts = cutHddChain(t.chain, 1u << 20);
    EXPECT_GE(cuts.size(), 3u);
    expectLoadable(t, cuts);
}

} // namespace
} // namespace media
