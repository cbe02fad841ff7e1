// The pair-swap readers and the RAM disk, run in a task of a bound machine.
#include "staging_support.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using namespace testing_support;
constexpr int kChunk = 65536;

// Opens a media file in a task and hands its descriptor to `body`.
void withSource(MachineHarness &h, const std::function<void(int)> &body)
{
    auto run = h.runTask([&] {
        int src = vx::open("/usbstor/0/fwstore/in.bin", vx::O_RDONLY, 0);
        ASSERT_GT(src, 0);
        body(src);
        vx::close(src);
    });
    EXPECT_TRUE(run.ended && !run.exited);
}

TEST(PairSwap, FileAndMemoryReadersGiveTheSwapOfTheWholeStream)
{
    // Even, odd, empty, chunk-straddling even and odd (only a last chunk is odd).
    for (std::string content : {std::string("\x01\x02\x03\x04"), std::string("\x01\x02\x03"), std::string(),
                                randomBytes(2 * kChunk + 2, 1), randomBytes(3 * kChunk + 1001, 2)}) {
        SCOPED_TRACE(content.size());
        MachineHarness h;
        putMedia(h, "in.bin", content);
        std::string expected = swapPairs(content);
        int copied = -1, placed = -1;
        auto memory = std::make_unique<char[]>(std::max<std::size_t>(expected.size(), 1)); // exact room
        withSource(h, [&](int src) {
            ASSERT_EQ(vx::bootUpdateTempDevCreate3(), 0);
            int dst = vx::open("/TMP/out.bin", vx::O_RDWR | vx::O_CREAT, 0644);
            copied = vx::dlFirmUsbReadFile_Swap(dst, src);
            vx::close(dst);
            vx::lseek(src, 0, SEEK_SET);
            placed = vx::bootUsbReadMem_Swap(memory.get(), src);
        });
        EXPECT_EQ(copied, static_cast<int>(expected.size()));
        EXPECT_EQ(placed, static_cast<int>(expected.size()));
        EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/out.bin"), expected));
        EXPECT_TRUE(sameBytes(std::string(memory.get(), expected.size()), expected));
        EXPECT_EQ(countOf(h.console(), "rare case\n"), content.size() % 2);
    }
}

TEST(PairSwap, BoundedReaderStopsAfterTheChunkReachingTheSize)
{
    for (std::size_t n : {100000, 1001}) {
        MachineHarness h;
        std::string content = randomBytes(n, 3);
        putMedia(h, "in.bin", content);
        std::string memory(2 * kChunk, 'Z');
        int placed = -1;
        withSource(h, [&](int src) { placed = vx::bootUsbReadMem_Swap_Size(memory.data(), src, kChunk); });
        std::size_t expected = std::min<std::size_t>(n + n % 2, kChunk);
        EXPECT_EQ(placed, static_cast<int>(expected));
        EXPECT_EQ(memory.substr(0, expected), swapPairs(content.substr(0, std::min<std::size_t>(n, kChunk))));
        EXPECT_EQ(memory.substr(expected), std::string(memory.size() - expected, 'Z'));
    }
}

TEST(PairSwap, ReadersWithoutTheirBuffersEndTheTask)
{
    MachineHarness h;
    putMedia(h, "in.bin", "abcd");
    char memory[2 * kChunk] = {};
    const std::pair<const char *, std::function<void(int)>> cases[] = {
        // the file reader's input, then its output buffer
        {"malloc:0:1", [](int src) { vx::dlFirmUsbReadFile_Swap(src, src); }},
        {"malloc:1:1", [](int src) { vx::dlFirmUsbReadFile_Swap(src, src); }},
        // the memory readers' one working buffer
        {"malloc:0:1", [&](int src) { vx::bootUsbReadMem_Swap(memory, src); }},
        {"malloc:0:1", [&](int src) { vx::bootUsbReadMem_Swap_Size(memory, src, kChunk); }},
    };
    for (const auto &[fault, reader] : cases) {
        h.clearConsole();
        h.machine().faults() = host::Faults();
        h.machine().faults().add(fault);
        bool returned = false;
        auto run = h.runTask([&] {
            int src = vx::open("/usbstor/0/fwstore/in.bin", vx::O_RDONLY, 0);
            reader(src);
            returned = true;
        });
        EXPECT_TRUE(run.exited && run.status == 1 && !returned) << fault;
        EXPECT_EQ(h.console(), "malloc error \n");
    }
    // With its buffer the memory reader swaps from it: nothing else allocated.
    h.machine().faults() = host::Faults();
    h.machine().faults().add("malloc:1");
    int placed = 0;
    withSource(h, [&](int src) { placed = vx::bootUsbReadMem_Swap(memory, src); });
    EXPECT_EQ(placed, 4);
    EXPECT_EQ(std::string(memory, 4), "badc");
}

TEST(RamDisk, CreatedOnceAndKeptWithItsFiles)
{
    MachineHarness h;
    int first = -100, second = -100;
    h.runTask([&] { first = vx::bootUpdateTempDevCreate3(); });
    putDeviceFile(h, "/TMP/keep.bin", std::string(40 << 20, 'k')); // 40 MiB fit
    h.runTask([&] { second = vx::bootUpdateTempDevCreate3(); });
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(h.console(), "ramdevice_48\nramdevice_48\n");
    EXPECT_EQ(deviceFile(h, "/TMP/keep.bin")->size(), 40u << 20);
}

TEST(RamDisk, FailuresAreReported)
{
    for (auto [fault, console] : {std::pair{"malloc", "ramdevice_48\nmalloc failed\n"},
                                  std::pair{"ramdisk", "ramdevice_48\nramDevCreate Failed\n"}}) {
        MachineHarness h;
        h.machine().faults().add(fault);
        int result = 0;
        h.runTask([&] { result = vx::bootUpdateTempDevCreate3(); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(h.console(), console);
        EXPECT_EQ(h.machine().io().device("/TMP"), nullptr);
    }
}

} // namespace
