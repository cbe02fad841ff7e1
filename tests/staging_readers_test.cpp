// The pair-swap readers and the RAM disk "/TMP", run in a task of a bound
// machine as the staging sequence runs them.
#include "tests/staging_support.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using namespace staging_test;
using testing_support::randomBytes;

constexpr int kChunk = 65536;

// Copies a media file into "/TMP/out.bin" with the file-to-file reader.
int copySwapped(MachineHarness &h, const std::string &name)
{
    int result = -100;
    auto run = h.runTask([&] {
        ASSERT_EQ(vx::bootUpdateTempDevCreate3(), 0);
        int src = vx::open(("/usbstor/0/fwstore/" + name).c_str(), vx::O_RDONLY, 0);
        int dst = vx::open("/TMP/out.bin", vx::O_RDWR | vx::O_CREAT, 0644);
        ASSERT_GT(src, 0);
        ASSERT_GT(dst, 0);
        result = vx::dlFirmUsbReadFile_Swap(dst, src);
        vx::close(src);
        vx::close(dst);
    });
    EXPECT_TRUE(run.ended && !run.exited);
    return result;
}

// Reads a media file with one of the memory readers into a buffer of
// `room` bytes; `size` < 0 picks the whole-file reader.
struct MemRead {
    int result = -100;
    std::string bytes; // the whole buffer afterwards
};

MemRead readSwapped(MachineHarness &h, const std::string &name, std::size_t room, int size = -1)
{
    MemRead r;
    // Exactly `room` bytes, so a write past them is caught by the sanitizer.
    auto buf = std::make_unique<char[]>(room);
    std::fill(buf.get(), buf.get() + room, '\x5A');
    h.runTask([&] {
        int src = vx::open(("/usbstor/0/fwstore/" + name).c_str(), vx::O_RDONLY, 0);
        ASSERT_GT(src, 0);
        r.result = size < 0 ? vx::bootUsbReadMem_Swap(buf.get(), src)
                            : vx::bootUsbReadMem_Swap_Size(buf.get(), src, size);
        vx::close(src);
    });
    r.bytes.assign(buf.get(), room);
    return r;
}

TEST(PairSwapFile, EvenFileHasEveryPairExchanged)
{
    MachineHarness h;
    putMedia(h, "a.bin", std::string("\x01\x02\x03\x04", 4));
    EXPECT_EQ(copySwapped(h, "a.bin"), 4);
    EXPECT_EQ(deviceFile(h, "/TMP/out.bin"), std::string("\x02\x01\x04\x03", 4));
    EXPECT_EQ(countOf(h.console(), "rare case\n"), 0u);
}

TEST(PairSwapFile, OddFileGetsPadInFrontOfItsLastByte)
{
    MachineHarness h;
    putMedia(h, "odd.bin", std::string("\x01\x02\x03", 3));
    EXPECT_EQ(copySwapped(h, "odd.bin"), 4);
    EXPECT_EQ(deviceFile(h, "/TMP/out.bin"), std::string("\x02\x01\xFF\x03", 4));
    EXPECT_EQ(countOf(h.console(), "rare case\n"), 1u);
}

TEST(PairSwapFile, ChunkedCopyEqualsSwapOfTheWholeStream)
{
    // Whole chunks, a chunk boundary exactly at the end, and an odd tail.
    for (std::size_t n : {std::size_t(kChunk), std::size_t(2 * kChunk + 2),
                          std::size_t(3 * kChunk + 1001)}) {
        SCOPED_TRACE(n);
        MachineHarness h;
        std::string content = randomBytes(n, static_cast<unsigned>(n));
        putMedia(h, "big.bin", content);
        EXPECT_EQ(copySwapped(h, "big.bin"), static_cast<int>(n + n % 2));
        EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/out.bin"), swapStream(content)));
        EXPECT_EQ(countOf(h.console(), "rare case\n"), n % 2);
    }
}

TEST(PairSwapFile, EmptySourceWritesNothing)
{
    MachineHarness h;
    putMedia(h, "empty.bin", "");
    EXPECT_EQ(copySwapped(h, "empty.bin"), 0);
    EXPECT_EQ(deviceFile(h, "/TMP/out.bin"), std::string());
}

TEST(PairSwapMemory, WholeFileReaderMatchesTheFileReader)
{
    MachineHarness h;
    putMedia(h, "odd.bin", std::string("\x01\x02\x03", 3));
    MemRead small = readSwapped(h, "odd.bin", 4);
    EXPECT_EQ(small.result, 4);
    EXPECT_EQ(small.bytes, std::string("\x02\x01\xFF\x03", 4));

    std::string content = randomBytes(2 * kChunk + 777, 9);
    putMedia(h, "big.bin", content);
    MemRead big = readSwapped(h, "big.bin", content.size() + 1);
    EXPECT_EQ(big.result, static_cast<int>(content.size() + 1));
    EXPECT_TRUE(sameBytes(big.bytes, swapStream(content)));
}

TEST(PairSwapMemory, BoundedReaderStopsAfterTheChunkThatReachesTheSize)
{
    MachineHarness h;
    std::string content = randomBytes(100000, 3);
    putMedia(h, "long.bin", content);
    // Room for two chunks: only the first may be written.
    MemRead r = readSwapped(h, "long.bin", 2 * kChunk, kChunk);
    EXPECT_EQ(r.result, kChunk);
    EXPECT_EQ(r.bytes.substr(0, kChunk), swapStream(content.substr(0, kChunk)));
    EXPECT_EQ(r.bytes.substr(kChunk), std::string(kChunk, '\x5A'));

    putMedia(h, "short.bin", content.substr(0, 1001));
    MemRead s = readSwapped(h, "short.bin", kChunk, kChunk);
    EXPECT_EQ(s.result, 1002);
    EXPECT_EQ(s.bytes.substr(0, 1002), swapStream(content.substr(0, 1001)));
    EXPECT_EQ(s.bytes[1002], '\x5A');
}

TEST(PairSwapMemory, BoundedReaderSmallSizeStillReadsOneChunk)
{
    MachineHarness h;
    std::string content = randomBytes(3 * kChunk, 4);
    putMedia(h, "long.bin", content);
    MemRead r = readSwapped(h, "long.bin", 2 * kChunk, 10);
    EXPECT_EQ(r.result, kChunk);
    EXPECT_EQ(r.bytes.substr(0, kChunk), swapStream(content.substr(0, kChunk)));
}

TEST(PairSwapReaders, MissingWorkingBufferEndsTheTask)
{
    MachineHarness h;
    putMedia(h, "a.bin", "abcd");
    // Both buffers of the file reader, and the one of each memory reader.
    for (int which = 0; which < 3; ++which) {
        SCOPED_TRACE(which);
        h.clearConsole();
        bool returned = false;
        char dest[8] = {};
        auto run = h.runTask([&] {
            int src = vx::open("/usbstor/0/fwstore/a.bin", vx::O_RDONLY, 0);
            h.machine().faults().add("malloc");
            if (which == 0)
                vx::dlFirmUsbReadFile_Swap(src, src);
            else if (which == 1)
                vx::bootUsbReadMem_Swap(dest, src);
            else
                vx::bootUsbReadMem_Swap_Size(dest, src, 4);
            returned = true;
        });
        h.machine().faults() = host::Faults();
        EXPECT_TRUE(run.ended);
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.status, 1);
        EXPECT_FALSE(returned);
        EXPECT_EQ(h.console(), "malloc error \n");
    }
}

TEST(RamDisk, CreatedOnceAndKeptWithItsFiles)
{
    MachineHarness h;
    int first = -100, second = -100;
    h.runTask([&] { first = vx::bootUpdateTempDevCreate3(); });
    EXPECT_EQ(first, 0);
    putDeviceFile(h, "/TMP/keep.bin", "kept");
    h.runTask([&] { second = vx::bootUpdateTempDevCreate3(); });
    EXPECT_EQ(second, 0);
    EXPECT_EQ(h.console(), "ramdevice_48\nramdevice_48\n");
    EXPECT_EQ(deviceFile(h, "/TMP/keep.bin"), std::string("kept"));
}

TEST(RamDisk, HoldsTheFullStagingLoad)
{
    // 40 MiB in one file fits the 48 MiB disk less its tables.
    MachineHarness h;
    h.runTask([&] { vx::bootUpdateTempDevCreate3(); });
    host::IoSystem &io = h.machine().io();
    int fd = io.open("/TMP/big.bin", host::iof::kRdWr | host::iof::kCreat, 0644);
    ASSERT_GE(fd, 0);
    std::string piece(1 << 20, 'x');
    int total = 0;
    for (int i = 0; i < 40; ++i)
        total += io.write(fd, piece.data(), piece.size());
    io.close(fd);
    EXPECT_EQ(total, 40 << 20);
}

TEST(RamDisk, FailuresAreReported)
{
    struct Case {
        const char *fault;
        const char *console;
    } cases[] = {{"malloc", "ramdevice_48\nmalloc failed\n"},
                 {"ramdisk", "ramdevice_48\nramDevCreate Failed\n"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        MachineHarness h;
        h.machine().faults().add(c.fault);
        int result = 0;
        h.runTask([&] { result = vx::bootUpdateTempDevCreate3(); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(h.console(), c.console);
        EXPECT_EQ(h.machine().io().device("/TMP"), nullptr);
    }
}

} // namespace
