// The flash device file: NOR programming, erase, write protection, the
// area's end, positions and access modes, injected faults, and where the
// bytes end up in flashrom.bin.
#include "host/Console.h"
#include "host/Faults.h"
#include "host/machine/FlashRom.h"

#include "flash_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <numeric>

namespace host {
namespace {

constexpr std::uint32_t kBase = FlashRom::kBoardBase;
constexpr std::uint32_t kSize = FlashRom::kSize;
constexpr int kErase = FlashRom::kEraseFunction;

class FlashDeviceTest : public ::testing::Test {
protected:
    FlashDeviceTest() : captured(console)
    {
        FlashRom::create(path);
        rom = std::make_unique<FlashRom>(path, console, faults);
        device = rom->createDevice("/dlfromALL/", kBase, kSize);
    }

    std::unique_ptr<OpenFile> openUnlocked(int flags = iof::kRdWr)
    {
        EXPECT_EQ(rom->unlock(kBase, kSize), 0);
        return device->open("", flags, 0);
    }

    std::uint8_t at(std::size_t offset) const { return rom->bytes()[offset]; }

    testing_support::TempDir dir;
    std::filesystem::path path = dir / "flashrom.bin";
    Console console;
    CapturedConsole captured;
    Faults faults;
    std::unique_ptr<FlashRom> rom;
    std::unique_ptr<FlashDevice> device;
};

TEST_F(FlashDeviceTest, ProgrammingClearsBitsAndOnlyEraseSetsThem)
{
    auto f = openUnlocked();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->write("\xF0\x0F\xAA", 3), 3);
    EXPECT_EQ(f->seek(0, iof::kSeekSet), 0);
    EXPECT_EQ(f->write("\x3C\xFF\x55", 3), 3);
    EXPECT_EQ(f->seek(0, iof::kSeekSet), 0);
    char got[4];
    EXPECT_EQ(f->read(got, 4), 4);
    EXPECT_EQ(std::string(got, 4), std::string("\x30\x0F\x00\xFF", 4));

    EXPECT_EQ(f->ioctl(kErase, 0), 0);
    EXPECT_EQ(std::count(rom->bytes().begin(), rom->bytes().end(), 0xFF), kSize);
    EXPECT_EQ(f->seek(0, iof::kSeekSet), 0);
    EXPECT_EQ(f->write("\x3C", 1), 1);
    EXPECT_EQ(at(0), 0x3C);
}

TEST_F(FlashDeviceTest, LockedAreaRefusesEraseAndWrite)
{
    auto f = openUnlocked();
    ASSERT_EQ(f->write("\0\0", 2), 2);
    ASSERT_EQ(rom->lock(kBase, kSize), 0);
    EXPECT_EQ(f->ioctl(kErase, 0), -1);
    EXPECT_EQ(f->write("\0\0", 2), -1);
    EXPECT_EQ(at(0), 0x00); // not erased
    EXPECT_EQ(at(2), 0xFF); // not programmed
    EXPECT_NE(captured.reports().find("write-protected"), std::string::npos);

    // A fresh boot starts protected whatever the last one left.
    ASSERT_EQ(rom->unlock(kBase, kSize), 0);
    f.reset();
    device.reset();
    rom = std::make_unique<FlashRom>(path, console, faults);
    device = rom->createDevice("/dlfromALL/", kBase, kSize);
    EXPECT_EQ(device->open("", iof::kRdWr, 0)->ioctl(kErase, 0), -1);
}

TEST_F(FlashDeviceTest, PositionsStayInsideTheAreaAndWritesAreCutAtItsEnd)
{
    auto f = openUnlocked();
    EXPECT_EQ(f->size(), static_cast<long>(kSize));
    EXPECT_EQ(f->seek(10, iof::kSeekSet), 10);
    EXPECT_EQ(f->seek(-11, iof::kSeekCur), -1);
    EXPECT_EQ(f->seek(1, iof::kSeekEnd), -1);
    EXPECT_EQ(f->seek(0, 7), -1);
    EXPECT_EQ(f->seek(LONG_MAX, iof::kSeekCur), -1);
    EXPECT_EQ(f->seek(LONG_MIN, iof::kSeekEnd), -1);
    EXPECT_EQ(f->seek(5, iof::kSeekCur), 15); // the failed seeks left it at 10

    EXPECT_EQ(f->seek(-3, iof::kSeekEnd), static_cast<long>(kSize) - 3);
    EXPECT_EQ(f->write("\1\2\3\4\5\6\7", 7), 3);
    EXPECT_EQ(f->seek(0, iof::kSeekCur), static_cast<long>(kSize));
    EXPECT_EQ(f->write("\1", 1), 0);
    char c = 0;
    EXPECT_EQ(f->read(&c, 1), 0);
    auto bytes = rom->bytes();
    EXPECT_EQ((std::vector<int>(bytes.end() - 4, bytes.end())), (std::vector<int>{0xFF, 1, 2, 3}));
}

TEST_F(FlashDeviceTest, OnlyTheWholeAreaOpensAndAccessModesHold)
{
    EXPECT_EQ(device->open("/x", iof::kRdWr, 0), nullptr);
    EXPECT_EQ(device->open("", iof::kAccMode, 0), nullptr);
    auto ro = openUnlocked(iof::kRdOnly);
    char c = 0;
    EXPECT_EQ(ro->write("\0", 1), -1);
    EXPECT_EQ(ro->ioctl(kErase, 0), -1);
    EXPECT_EQ(ro->read(&c, 1), 1);
    auto wo = device->open("", iof::kWrOnly, 0);
    EXPECT_EQ(wo->read(&c, 1), -1);
    EXPECT_EQ(wo->write("\x12", 1), 1);
    EXPECT_EQ(wo->ioctl(3, 0), -1);
    EXPECT_EQ(at(0), 0x12);
}

TEST_F(FlashDeviceTest, AreaDeviceWorksAtItsOwnOffset)
{
    constexpr std::uint32_t kOffset = 0x800000;
    auto half = rom->createDevice("/half/", kBase + kOffset, 0x1000);
    ASSERT_EQ(rom->unlock(kBase + kOffset, 0x1000), 0);
    auto f = half->open("", iof::kRdWr, 0);
    std::vector<char> zeros(0x2000, 0);
    EXPECT_EQ(f->write(zeros.data(), zeros.size()), 0x1000);
    EXPECT_EQ(at(kOffset - 1), 0xFF);
    EXPECT_EQ(at(kOffset), 0x00);
    EXPECT_EQ(at(kOffset + 0xFFF), 0x00);
    EXPECT_EQ(at(kOffset + 0x1000), 0xFF);
    EXPECT_EQ(f->ioctl(kErase, 0), 0);
    EXPECT_EQ(std::count(rom->bytes().begin(), rom->bytes().end(), 0xFF), kSize);
}

TEST_F(FlashDeviceTest, ContentIsInTheFileAndFilesOutliveTheirDevice)
{
    std::vector<char> image(70000);
    std::iota(image.begin(), image.end(), 0);
    auto f = openUnlocked();
    ASSERT_EQ(f->write(image.data(), image.size()), static_cast<long>(image.size()));
    device.reset();
    rom.reset();
    ASSERT_EQ(f->seek(0, iof::kSeekSet), 0);
    std::vector<char> back(image.size());
    EXPECT_EQ(f->read(back.data(), back.size()), static_cast<long>(back.size()));
    EXPECT_EQ(back, image);
    f.reset();

    auto bytes = testing_support::readBytes(path);
    ASSERT_EQ(bytes.size(), kSize);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), bytes.begin(),
                           [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
    EXPECT_EQ(bytes[image.size()], 0xFF);
}

TEST_F(FlashDeviceTest, EraseAndWriteFaultsFailTheChosenCallsOnly)
{
    faults.add("flash-erase:1:1");
    faults.add("flash-write:0:1");
    auto f = openUnlocked();
    EXPECT_EQ(f->write("\0\0", 2), 0); // faulted: nothing stored, position kept
    EXPECT_EQ(at(0), 0xFF);
    EXPECT_EQ(f->seek(0, iof::kSeekCur), 0);
    EXPECT_EQ(f->write("\0\0", 2), 2);
    EXPECT_EQ(f->ioctl(kErase, 0), 0);
    EXPECT_EQ(f->write("\0\0", 2), 2);
    EXPECT_EQ(f->ioctl(kErase, 0), -1); // the second erase fails, nothing erased
    EXPECT_EQ(at(2), 0x00);
    EXPECT_EQ(f->ioctl(kErase, 0), 0);
    EXPECT_EQ(at(2), 0xFF);
    EXPECT_NE(captured.reports().find("fault flash-write"), std::string::npos);
    EXPECT_NE(captured.reports().find("fault flash-erase"), std::string::npos);
}

TEST_F(FlashDeviceTest, VerifyFaultCorruptsTheFirstByteOfTheChosenReadCall)
{
    faults.add("flash-verify:2:1");
    auto f = openUnlocked();
    ASSERT_EQ(f->write("\x12\x34\x56\x78", 4), 4);
    ASSERT_EQ(f->seek(0, iof::kSeekSet), 0);
    char got[4] = {};
    EXPECT_EQ(f->read(got, 1), 1);
    EXPECT_EQ(f->read(got + 1, 1), 1);
    EXPECT_EQ(f->read(got + 2, 2), 2); // the third call
    EXPECT_EQ(std::string(got, 4), std::string("\x12\x34\xA9\x78", 4));
    EXPECT_EQ(at(2), 0x56); // the stored byte is right
    ASSERT_EQ(f->seek(2, iof::kSeekSet), 2);
    EXPECT_EQ(f->read(got, 1), 1);
    EXPECT_EQ(got[0], 0x56);
    EXPECT_NE(captured.reports().find("fault flash-verify"), std::string::npos);
}

} // namespace
} // namespace host
