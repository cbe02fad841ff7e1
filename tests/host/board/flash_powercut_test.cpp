// Power cuts in the middle of a flash erase or write leave half the work
// done; the real cut ends the process with status 9 and the file as it
// stands.
#include "host/Console.h"
#include "host/Faults.h"
#include "host/machine/FlashRom.h"

#include "flash_support.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/wait.h>
#include <unistd.h>

namespace host {
namespace {

constexpr std::uint32_t kBase = FlashRom::kBoardBase;
constexpr std::uint32_t kSize = FlashRom::kSize;

// An unlocked "/dlfromALL/" whose power cut unwinds as testing_support::PowerCut.
class FlashPowerCutTest : public ::testing::Test {
protected:
    FlashPowerCutTest()
    {
        FlashRom::create(path);
        console.setReports([](std::string_view) {});
        faults.setCutAction([] { throw testing_support::PowerCut{}; });
    }

    std::unique_ptr<OpenFile> open(const char *cut)
    {
        faults.setPowerCut(cut);
        rom = std::make_unique<FlashRom>(path, console, faults);
        device = rom->createDevice("/dlfromALL/", kBase, kSize);
        return device->open("", iof::kRdWr, 0);
    }

    long count(std::uint8_t value, std::size_t from, std::size_t to) const
    {
        auto bytes = rom->bytes();
        return std::count(bytes.begin() + from, bytes.begin() + to, value);
    }

    testing_support::TempDir dir;
    std::filesystem::path path = dir / "flashrom.bin";
    Console console;
    Faults faults;
    std::unique_ptr<FlashRom> rom;
    std::unique_ptr<FlashDevice> device;
};

TEST_F(FlashPowerCutTest, CutInWriteLeavesExactlyHalfProgrammed)
{
    auto f = open("flash-write:2");
    ASSERT_EQ(rom->unlock(kBase, kSize), 0);
    std::vector<char> zeros(1001, 0);
    ASSERT_EQ(f->write(zeros.data(), 10), 10); // event 1 completes
    EXPECT_THROW(f->write(zeros.data(), zeros.size()), testing_support::PowerCut);
    EXPECT_EQ(count(0x00, 0, 510), 510);
    EXPECT_EQ(count(0xFF, 510, kSize), static_cast<long>(kSize) - 510);
    EXPECT_EQ(faults.eventCounts().at("flash-write"), 2);
}

TEST_F(FlashPowerCutTest, CutInEraseLeavesTheFirstHalfErased)
{
    auto f = open("flash-erase:1");
    ASSERT_EQ(rom->unlock(kBase, kSize), 0);
    std::vector<char> zeros(kSize, 0);
    ASSERT_EQ(f->write(zeros.data(), zeros.size()), static_cast<long>(kSize));
    EXPECT_THROW(f->ioctl(FlashRom::kEraseFunction, 0), testing_support::PowerCut);
    EXPECT_EQ(count(0xFF, 0, kSize / 2), kSize / 2);
    EXPECT_EQ(count(0x00, kSize / 2, kSize), kSize / 2);
}

// A refused or faulted call erases or writes nothing, so it is no event.
TEST_F(FlashPowerCutTest, RefusedCallsAreNoEvents)
{
    faults.add("flash-write:0:1");
    auto f = open("flash-write:1");
    EXPECT_EQ(f->write("\0\0", 2), 0);  // faulted
    EXPECT_EQ(f->write("\0\0", 2), -1); // locked
    ASSERT_EQ(rom->unlock(kBase, kSize), 0);
    EXPECT_THROW(f->write("\0\0", 2), testing_support::PowerCut);
    EXPECT_EQ(count(0x00, 0, 1), 1);
    EXPECT_EQ(count(0xFF, 1, kSize), static_cast<long>(kSize) - 1);
}

// The real cut: the process ends with status 9 and flashrom.bin holds the
// first half of the write.
TEST_F(FlashPowerCutTest, RealCutInWriteExitsWithNineAndHalfTheBytesInTheFile)
{
    constexpr std::size_t kImage = 4097;
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        try {
            Faults f;
            f.setPowerCut("flash-write:1");
            FlashRom child(path, console, f);
            auto dev = child.createDevice("/dlfromALL/", kBase, kSize);
            child.unlock(kBase, kSize);
            std::vector<char> image(kImage, 0x0F);
            dev->open("", iof::kRdWr, 0)->write(image.data(), image.size());
        } catch (...) {
        }
        ::_exit(1); // the cut never came
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 9);
    auto bytes = testing_support::readBytes(path);
    ASSERT_EQ(bytes.size(), kSize);
    EXPECT_EQ(std::count(bytes.begin(), bytes.begin() + kImage / 2, 0x0F), kImage / 2);
    EXPECT_EQ(std::count(bytes.begin() + kImage / 2, bytes.end(), 0xFF), kSize - kImage / 2);
}

} // namespace
} // namespace host
