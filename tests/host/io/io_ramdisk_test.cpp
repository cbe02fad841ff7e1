// The RAM disk: a DOS file system whose file data lives in memory the
// caller hands over, with the capacity and full-disk behaviour of the device.
#include "io_support.h"

#include <gtest/gtest.h>

#include <random>

using namespace host;
using namespace testing_support;

namespace {

constexpr std::size_t kCluster = DosFsDevice::kClusterBytes;

std::string noise(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen());
    return s;
}

TEST(IoRamDisk, CapacityIsTheDeviceLessTheTablesInClusters)
{
    // ramDevCreate(memory, 512, 400, 98304, 0)
    std::vector<char> memory(512u * 98304u);
    RamBlockDevice blocks(memory.data(), memory.size(), 512);
    Console console;
    DosFsDevice disk("/TMP", blocks, console);
    EXPECT_EQ(disk.clusters(), 98176u);
    EXPECT_EQ(disk.freeClusters(), 98176u);

    RamBlockDevice tablesOnly(memory.data(), DosFsDevice::kTableBytes, 512);
    DosFsDevice empty("/T", tablesOnly, console);
    EXPECT_EQ(empty.open("/f", kCreate, 0)->write("x", 1), -1);
    EXPECT_THROW(RamBlockDevice(nullptr, 4096, 512), std::invalid_argument);
}

TEST(IoRamDisk, FileDataLivesInTheGivenMemory)
{
    Board board(8);
    const std::string data = noise(1000, 1);
    ASSERT_EQ(board.put("/TMP/f", data), 1000);
    auto &memory = board.memory();
    auto tablesEnd = memory.begin() + DosFsDevice::kTableBytes;
    EXPECT_TRUE(std::all_of(memory.begin(), tablesEnd, [](char c) { return c == '\x5A'; }));
    auto hit = std::search(memory.begin(), memory.end(), data.begin(), data.begin() + 512);
    ASSERT_NE(hit, memory.end());
    EXPECT_GE(hit, tablesEnd);
    hit[10] = '#';
    EXPECT_EQ(board.slurp("/TMP/f")[10], '#') << "what is in the memory is what the file reads";
}

TEST(IoRamDisk, FillingItWritesWhatFitsThenRefuses)
{
    Board board(8);
    auto &io = board.io;
    int fd = io.open("/TMP/a", kCreate, 0);
    ASSERT_EQ(io.write(fd, std::string(100, 'x').data(), 100), 100);
    ASSERT_EQ(board.put("/TMP/b", std::string(6 * kCluster, 'b')), static_cast<int>(6 * kCluster));
    // "a" has 412 bytes left in its cluster, and one cluster is free.
    std::string big = noise(2000, 2);
    EXPECT_EQ(io.write(fd, big.data(), big.size()), static_cast<int>(kCluster + 412));
    EXPECT_EQ(board.ramDisk->freeClusters(), 0u);
    EXPECT_EQ(io.write(fd, big.data(), 1), -1);
    io.close(fd);
    EXPECT_EQ(board.slurp("/TMP/a").substr(100), big.substr(0, kCluster + 412));
    EXPECT_EQ(board.put("/TMP/c", "c"), -1);
    EXPECT_EQ(board.slurp("/TMP/c"), "");

    // A seek past the end needs room for the gap too.
    fd = io.open("/TMP/c", kRdWr, 0);
    io.lseek(fd, 10, iof::kSeekSet);
    EXPECT_EQ(io.write(fd, "!", 1), -1);
    EXPECT_EQ(io.lseek(fd, 0, iof::kSeekEnd), 0);
    io.close(fd);
}

TEST(IoRamDisk, RemovingAndTruncatingGiveClustersBack)
{
    Board board(8);
    auto *disk = board.ramDisk;
    board.put("/TMP/a", std::string(3 * kCluster + 1, 'a'));
    EXPECT_EQ(disk->freeClusters(), 4u);
    board.put("/TMP/a", "x");
    EXPECT_EQ(disk->freeClusters(), 7u);
    board.io.remove("/TMP/a");
    EXPECT_EQ(disk->freeClusters(), 8u);

    // A removed file keeps its clusters while it is open.
    board.put("/TMP/b", std::string(2 * kCluster, 'b'));
    int fd = board.io.open("/TMP/b", kRdOnly, 0);
    board.io.remove("/TMP/b");
    EXPECT_EQ(board.slurp("/TMP/b"), "<none>");
    board.put("/TMP/c", std::string(8 * kCluster, 'c'));
    std::string back(2 * kCluster, '\0');
    EXPECT_EQ(board.io.read(fd, back.data(), back.size()), static_cast<int>(back.size()));
    EXPECT_EQ(back, std::string(2 * kCluster, 'b'));
    board.io.close(fd);
    EXPECT_EQ(disk->freeClusters(), 2u);
}

TEST(IoRamDisk, ScatteredClustersReadBackInAnyChunking)
{
    Board board(32);
    auto &io = board.io;
    // Two files written in turns, so that neither chain is contiguous, and
    // the second one's clusters reused (holding old data) for a third.
    board.put("/TMP/old", std::string(4 * kCluster, '\xAA'));
    io.remove("/TMP/old");
    int a = io.open("/TMP/a", kCreate, 0);
    int b = io.open("/TMP/b", kCreate, 0);
    const std::string da = noise(5000, 3), db = noise(4000, 4);
    for (std::size_t at = 0, step = 1; at < da.size(); at += step, step = step * 3 % 1031 + 1) {
        std::size_t k = std::min(step, da.size() - at);
        ASSERT_EQ(io.write(a, da.data() + at, k), static_cast<int>(k));
        io.write(b, db.data() + std::min(at, db.size()), at < db.size() ? std::min(k, db.size() - at) : 0);
    }
    io.close(b);
    io.remove("/TMP/b");
    int c = io.open("/TMP/c", kCreate, 0);
    io.lseek(c, 1000, iof::kSeekSet);
    io.write(c, db.data(), db.size());

    std::string back;
    io.lseek(a, 0, iof::kSeekSet);
    for (std::size_t step = 1;; step = step * 5 % 997 + 1) {
        std::string chunk(step, '\0');
        int n = io.read(a, chunk.data(), chunk.size());
        ASSERT_GE(n, 0);
        if (n == 0)
            break;
        back.append(chunk, 0, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(back, da);
    std::string bytes;
    io.lseek(c, 0, iof::kSeekSet);
    for (char ch; io.read(c, &ch, 1) == 1;)
        bytes += ch;
    EXPECT_EQ(bytes, std::string(1000, '\0') + db) << "the gap reads as zeros";
}

TEST(IoRamDisk, AFileWrittenAtOnceTakesTheFirstHoleThatHoldsIt)
{
    Board board(12);
    auto &io = board.io;
    // The content where it lies, when it lies in one run.
    auto inPlace = [&io](const std::string &path) {
        int fd = io.open(path, kRdOnly, 0);
        std::size_t size = 0;
        const char *p = io.contiguous(fd, &size);
        std::string s = p ? std::string(p, size) : "<scattered>";
        io.close(fd);
        return s;
    };
    const std::string two = noise(2 * kCluster, 5), three = noise(3 * kCluster - 7, 6);
    for (const char *name : {"/TMP/a", "/TMP/b", "/TMP/c", "/TMP/d"})
        board.put(name, two);
    io.remove("/TMP/b");
    board.put("/TMP/e", three); // past the hole b left, too small for it
    EXPECT_EQ(inPlace("/TMP/e"), three);
    board.put("/TMP/f", two); // into that hole
    EXPECT_EQ(inPlace("/TMP/f"), two);
    // No hole holds the next: it takes what is free, lowest first, whole.
    io.remove("/TMP/a");
    board.put("/TMP/g", three);
    EXPECT_EQ(inPlace("/TMP/g"), "<scattered>");
    EXPECT_EQ(board.slurp("/TMP/g"), three);
    EXPECT_EQ(board.ramDisk->freeClusters(), 0u);
}

TEST(IoRamDisk, TreePersistsAndCopiesOutByteForByte)
{
    Board board(64);
    auto &io = board.io;
    io.mkdir("/TMP/a");
    io.mkdir("/TMP/a/b");
    io.mkdir("/TMP/empty");
    const std::string big = noise(9000, 5), odd = noise(513, 6);
    board.put("/TMP/top.bin", big);
    board.put("a/b/deep.txt", "deep");
    board.put("/TMP/a/zero", "");
    board.put("/TMP/a/odd", odd);
    EXPECT_EQ(board.slurp("/TMP/a/b/deep.txt"), "deep");
    EXPECT_EQ(io.open("/TMP/a/b/deep.txt/x", kCreate, 0), -1);
    EXPECT_TRUE(board.captured.reports().empty());
    EXPECT_EQ(io.open("/TMP/a/../../x", kCreate, 0), -1);
    EXPECT_NE(board.captured.reports().find("\"/TMP/a/../../x\""), std::string::npos);

    TempDir out;
    ASSERT_TRUE(board.ramDisk->copyOut(out / "ramdisk"));
    const fs::path root = out / "ramdisk";
    EXPECT_EQ(hostTree(root),
              (std::vector<std::string>{"a", "a/b", "a/b/deep.txt", "a/odd", "a/zero", "empty", "top.bin"}));
    EXPECT_EQ(readText(root / "top.bin"), big);
    EXPECT_EQ(readText(root / "a/b/deep.txt"), "deep");
    EXPECT_EQ(readText(root / "a/zero"), "");
    EXPECT_EQ(readText(root / "a/odd"), odd);

    writeFile(out / "blocked" / "a", "a file where a folder must go");
    EXPECT_FALSE(board.ramDisk->copyOut(out / "blocked"));
}

} // namespace
