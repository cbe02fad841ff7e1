// The flash ROM's services: the backing file, fromDevCreate, fromDevGetInfo,
// and the write protection that fromDevUnlock and fromDevLock lift and set.
#include "host/Console.h"
#include "host/Faults.h"
#include "host/machine/FlashRom.h"

#include "flash_support.h"

#include <gtest/gtest.h>

namespace host {
namespace {

using testing_support::readBytes;

constexpr std::uint32_t kBase = FlashRom::kBoardBase;
constexpr std::uint32_t kSize = FlashRom::kSize;

class FlashRomTest : public ::testing::Test {
protected:
    FlashRomTest() : captured(console) { FlashRom::create(path); }

    testing_support::TempDir dir;
    std::filesystem::path path = dir / "flashrom.bin";
    Console console;
    CapturedConsole captured;
    Faults faults;
};

TEST_F(FlashRomTest, OnlyAnExistingFileOfChipSizeIsMapped)
{
    EXPECT_EQ(readBytes(path), std::vector<std::uint8_t>(kSize, 0xFF));
    EXPECT_FALSE(std::filesystem::exists(dir / "flashrom.bin.new"));
    EXPECT_THROW(FlashRom(dir / "none.bin", console, faults), std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(dir / "none.bin"));
    std::vector<std::uint8_t> shortFile(kSize - 2, 0x11);
    testing_support::writeFile(path, shortFile);
    EXPECT_THROW(FlashRom(path, console, faults), std::runtime_error);
    EXPECT_EQ(readBytes(path), shortFile);
}

TEST_F(FlashRomTest, DevicesLieInsideTheChipUnderUniqueNames)
{
    FlashRom rom(path, console, faults);
    EXPECT_EQ(rom.createDevice("/below/", kBase - 2, 4), nullptr);
    EXPECT_EQ(rom.createDevice("/past/", kBase + kSize - 4, 8), nullptr);
    EXPECT_EQ(rom.createDevice("/empty/", kBase, 0), nullptr);
    EXPECT_EQ(rom.createDevice("/wrap/", 0xFFFFFFF0u, 0x20), nullptr);
    EXPECT_EQ(rom.createDevice("", kBase, kSize), nullptr);
    EXPECT_FALSE(rom.hasDevice("/below/"));
    EXPECT_NE(captured.reports().find("range outside the flash ROM"), std::string::npos);
    auto last = rom.createDevice("/last/", kBase + kSize - 4, 4);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->base(), kBase + kSize - 4);

    auto first = rom.createDevice("/dlfromALL/", kBase, kSize);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(rom.createDevice("/dlfromALL/", kBase, 0x1000), nullptr);
    EXPECT_NE(captured.reports().find("exists already"), std::string::npos);
    FlashInfo info;
    ASSERT_EQ(rom.info("/dlfromALL/", info), 0);
    EXPECT_EQ(info.size, static_cast<std::int32_t>(kSize)); // the first one stands

    first.reset(); // dropped by the I/O system: the name is free again
    EXPECT_FALSE(rom.hasDevice("/dlfromALL/"));
    EXPECT_NE(rom.createDevice("/dlfromALL/", kBase, 0x1000), nullptr);
}

TEST_F(FlashRomTest, InfoValuesUnlockTheirAreaAndWrongValuesChangeNothing)
{
    FlashRom rom(path, console, faults);
    auto dev = rom.createDevice("/dlfromALL/", kBase, kSize);
    auto part = rom.createDevice("/part/", kBase + 0x100000, 0x2000);
    FlashInfo info;
    ASSERT_EQ(rom.info("/part/", info), 0);
    EXPECT_EQ(info.size, 0x2000);
    EXPECT_EQ(info.lockArg1, kBase + 0x100000);
    EXPECT_EQ(info.lockArg2, 0x2000u);
    EXPECT_EQ(rom.info("/other/", info), -1);

    ASSERT_EQ(rom.info("/dlfromALL/", info), 0);
    EXPECT_TRUE(rom.locked(info.lockArg1, info.lockArg2));
    EXPECT_EQ(rom.unlock(kBase, kSize - 1), -1);
    EXPECT_EQ(rom.unlock(0, 0), -1);
    EXPECT_TRUE(rom.locked(info.lockArg1, info.lockArg2));
    EXPECT_NE(captured.reports().find("fromDevUnlock(0xFF000000, 0x00FFFFFF) names no flash"),
              std::string::npos)
        << captured.reports();

    EXPECT_EQ(rom.unlock(info.lockArg1, info.lockArg2), 0);
    EXPECT_FALSE(rom.locked(info.lockArg1, info.lockArg2));
    EXPECT_TRUE(rom.locked(kBase + 0x100000, 0x2000)); // the other area stays protected
    EXPECT_EQ(rom.lock(kBase + 1, kSize), -1);
    EXPECT_FALSE(rom.locked(info.lockArg1, info.lockArg2));
    EXPECT_EQ(rom.lock(info.lockArg1, info.lockArg2), 0);
    EXPECT_TRUE(rom.locked(info.lockArg1, info.lockArg2));
}

TEST_F(FlashRomTest, CreateAndInfoFaultsFollowSkipAndCount)
{
    faults.add("flash-create:1:1");
    faults.add("flash-info:2");
    FlashRom rom(path, console, faults);
    auto a = rom.createDevice("/a/", kBase, 16);
    auto b = rom.createDevice("/b/", kBase, 16);
    auto c = rom.createDevice("/c/", kBase, 16);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    EXPECT_FALSE(rom.hasDevice("/b/"));

    FlashInfo info;
    EXPECT_EQ(rom.info("/a/", info), 0);
    EXPECT_EQ(rom.info("/a/", info), 0);
    info = {};
    EXPECT_EQ(rom.info("/a/", info), -1);
    EXPECT_EQ(rom.info("/a/", info), -1);
    EXPECT_EQ(info.size, 0); // a failing call fills nothing
    EXPECT_NE(captured.reports().find("fault flash-create"), std::string::npos);
    EXPECT_NE(captured.reports().find("fault flash-info"), std::string::npos);
}

} // namespace
} // namespace host
