// The NVRAM window over nvram.bin: layout and byte order in the file, the
// flag services, direct 16-bit accesses and the write window, faults, power
// cuts, and what other processes see.
#include "host/Console.h"
#include "host/Faults.h"
#include "host/machine/Nvram.h"

#include "flash_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace host {
namespace {

using testing_support::readBytes;
using testing_support::writeFile;
using Bytes = std::vector<std::uint8_t>;

class NvramTest : public ::testing::Test {
protected:
    NvramTest() : captured(console) { Nvram::create(path); }

    testing_support::TempDir dir;
    std::filesystem::path path = dir / "nvram.bin";
    Console console;
    CapturedConsole captured;
    Faults faults;
};

TEST_F(NvramTest, OnlyAnExistingFileOfWindowSizeIsMapped)
{
    EXPECT_EQ(readBytes(path), Bytes(Nvram::kSize, 0));
    EXPECT_THROW(Nvram(dir / "absent.bin", console, faults), std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(dir / "absent.bin"));
    std::filesystem::create_directory(dir / "folder");
    EXPECT_THROW(Nvram(dir / "folder", console, faults), std::runtime_error);

    for (std::size_t size : {Nvram::kSize - 1, Nvram::kSize + 1, std::size_t{0}}) {
        writeFile(path, Bytes(size, 0x5A));
        try {
            Nvram nv(path, console, faults);
            ADD_FAILURE() << "a file of " << size << " bytes was accepted";
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find("nvram.bin"), std::string::npos) << e.what();
        }
        EXPECT_EQ(readBytes(path), Bytes(size, 0x5A));
    }
}

// Every byte starts as 0xA5, so a service that reaches past its field shows.
TEST_F(NvramTest, FlagServicesChangeTheirOwnBigEndianFieldsOnly)
{
    writeFile(path, Bytes(Nvram::kSize, 0xA5));
    Nvram nv(path, console, faults);
    EXPECT_EQ(nv.clearAllFlags(), 0);
    EXPECT_EQ(nv.setBits(Nvram::kFlashRewriteFlag), 0);
    EXPECT_EQ(nv.setBits(0x00020010), 0);
    EXPECT_EQ(nv.clearBits(Nvram::kFlashRewriteFlag), 0);
    EXPECT_EQ(nv.flags(), 0x00020010u);
    nv.setUpdateModeOn();
    EXPECT_EQ(nv.clearService(), 0);
    EXPECT_TRUE(nv.serviceCleared());

    Bytes bytes = readBytes(path);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 8), (Bytes{0, 2, 0, 0x10, 0, 0, 0, 1}));
    EXPECT_EQ(bytes[Nvram::kServiceOffset - 1], 0xA5);
    EXPECT_EQ(bytes[Nvram::kServiceOffset + Nvram::kServiceSize], 0xA5);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0xA5),
              static_cast<long>(Nvram::kSize - 8 - Nvram::kServiceSize));

    EXPECT_EQ(nv.clearAutoMode(), 0);
    EXPECT_EQ(nv.updateMode(), 0u);
    EXPECT_EQ(nv.flags(), 0x00020010u);
}

TEST_F(NvramTest, WordStoresNeedTheWriteWindowAndAreLoggedOneByOne)
{
    Nvram nv(path, console, faults);
    nv.store16(0xBA00780A, 0x0200);
    EXPECT_EQ(captured.reports(), "nvram: store of 0x0200 to 0xBA00780A outside the write window ignored\n");

    nv.writeEnable();
    nv.store16(0xBA007808, 0x1234);
    std::uint16_t a = nv.load16(0xBA007808);
    nv.store16(0xBA00780A, static_cast<std::uint16_t>(a & 0xFF00));
    nv.barrier();
    nv.writeDisable();
    nv.store16(0xBA007808, 0);

    EXPECT_EQ(a, 0x1234);
    EXPECT_EQ(nv.f200A(), 0x1234);
    EXPECT_EQ(nv.f200B(), 0x1200);
    Bytes bytes = readBytes(path);
    EXPECT_EQ(Bytes(bytes.begin() + 0x7808, bytes.begin() + 0x780C), (Bytes{0x12, 0x34, 0x12, 0}));

    using K = NvramAccess::Kind;
    std::vector<NvramAccess> want = {{K::IgnoredStore, 0xBA00780A, 0x0200},
                                     {K::Store, 0xBA007808, 0x1234},
                                     {K::Load, 0xBA007808, 0x1234},
                                     {K::Store, 0xBA00780A, 0x1200},
                                     {K::Barrier, 0, 0},
                                     {K::IgnoredStore, 0xBA007808, 0}};
    EXPECT_EQ(std::vector<NvramAccess>(nv.accesses().begin(), nv.accesses().end()), want);
    EXPECT_EQ(nv.stores(), 2u);
    EXPECT_EQ(nv.ignoredStores(), 2u);

    for (int i = 0; i < 1000; ++i)
        nv.load16(0xBA000000);
    EXPECT_EQ(nv.accesses().size(), Nvram::kAccessLogLength);
    EXPECT_EQ(nv.loads(), 1001u);
}

TEST_F(NvramTest, AccessesOutsideTheWindowOrMisalignedAreRefused)
{
    writeFile(path, Bytes(Nvram::kSize, 0x77));
    Nvram nv(path, console, faults);
    nv.writeEnable();
    EXPECT_EQ(nv.load16(0xBA010000), 0);
    EXPECT_EQ(nv.load16(0xB9FFFFFE), 0);
    EXPECT_EQ(nv.load16(0xBA007809), 0);
    EXPECT_EQ(nv.load16(0xBA00FFFE), 0x7777); // the last word is inside
    nv.store16(0xBA010000, 1);
    nv.store16(0x00000000, 1);
    nv.store16(0xBA007809, 1);
    EXPECT_EQ(readBytes(path), Bytes(Nvram::kSize, 0x77));
    EXPECT_EQ(nv.stores(), 0u);
    const std::string &r = captured.reports();
    EXPECT_NE(r.find("load from 0xBA010000 outside the NVRAM window"), std::string::npos) << r;
    EXPECT_NE(r.find("store of 0x0001 to 0x00000000 outside the NVRAM window"), std::string::npos) << r;
    EXPECT_NE(r.find("misaligned 16-bit store of 0x0001 to 0xBA007809"), std::string::npos) << r;
}

TEST_F(NvramTest, FaultsAndPowerCutsLeaveTheFlagsAsTheyWere)
{
    faults.add("nvram-set:1:1");
    faults.add("nvram-clear:0:1");
    testing_support::cutPowerAt(faults, "nvram-set:4");
    Nvram nv(path, console, faults);
    EXPECT_EQ(nv.setBits(0x01), 0);
    EXPECT_EQ(nv.setBits(0x10), -1);
    EXPECT_EQ(nv.flags(), 0x01u);
    EXPECT_EQ(nv.setBits(0x10), 0);
    EXPECT_EQ(nv.clearBits(0x01), -1);
    EXPECT_EQ(nv.flags(), 0x11u);
    EXPECT_EQ(nv.clearBits(0x01), 0);
    EXPECT_NE(captured.reports().find("fault nvram-set"), std::string::npos);
    EXPECT_NE(captured.reports().find("fault nvram-clear"), std::string::npos);

    EXPECT_THROW(nv.setBits(0x01), testing_support::PowerCut);
    EXPECT_EQ(readBytes(path)[3], 0x10);

    Faults other;
    testing_support::cutPowerAt(other, "nvram-clear:1");
    Nvram again(path, console, other);
    EXPECT_THROW(again.clearBits(0x10), testing_support::PowerCut);
    EXPECT_EQ(again.flags(), 0x10u);
}

// The state is in the file when the call returns: a process killed right
// after, and another process that has the file mapped, see it.
TEST_F(NvramTest, ChangesReachOtherProcessesAndSurviveAKill)
{
    Nvram mine(path, console, faults);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        try {
            Console c;
            Faults f;
            Nvram nv(path, c, f);
            nv.setBits(Nvram::kHddUpdateFlag);
            nv.writeEnable();
            nv.store16(0xBA00780A, 0x0200);
        } catch (...) {
            ::_exit(1);
        }
        ::kill(::getpid(), SIGKILL);
        ::_exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_EQ(mine.flags(), Nvram::kHddUpdateFlag);
    EXPECT_EQ(mine.f200B(), 0x0200);
    Bytes bytes = readBytes(path);
    EXPECT_EQ(bytes[3], 0x10);
    EXPECT_EQ(bytes[0x780A], 0x02);
}

} // namespace
} // namespace host
