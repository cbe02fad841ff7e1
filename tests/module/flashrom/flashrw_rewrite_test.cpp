// The flash ROM rewrite: what reaches flashrom.bin, the NVRAM flag of the
// flash ROM, the progress status, the retries and the console lines.
#include "flashrw_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>

namespace vx {
namespace {

using namespace testing_support;

// Erased flash with the image at its start.
std::string flashWith(const std::string &image)
{
    return std::string(kFromSize, '\xFF').replace(0, image.size(), image);
}

int rewrite(UpdateMachine &m, int target, const char *path)
{
    int result = 12345;
    m.h.runTask([&] { result = dlFirmRewriteNoCheckSum(target, 0, path); }, "tdlFirmFromUpdate");
    return result;
}

TEST(FlashRewrite, DefaultFileFromTheRamDiskAndAnEraseBeforeEachWrite)
{
    UpdateMachine m;
    const std::string first = randomBytes(70000, 1), second = randomBytes(70000, 2);
    m.put("/TMP/from.bin", first);
    EXPECT_EQ(rewrite(m, 1, nullptr), OK);
    m.put("/TMP/from.bin", second); // programmed over `first` without an erase it would differ
    EXPECT_EQ(rewrite(m, 1, ""), OK);
    EXPECT_TRUE(m.flashFile() == flashWith(second));
    EXPECT_EQ(dlFirmfromRewriteStatus, 100);
    EXPECT_EQ(m.nvFlags(), 0u);
    EXPECT_TRUE(m.flashLocked());
    EXPECT_EQ(m.h.console(), "[dlFirmRewrite]frwRewrite: done.\n"
                             "[dlFirmRewrite]frwRewrite: done.\n");
}

TEST(FlashRewrite, WholeAreaIsWrittenOneByteMoreIsRefusedUntouched)
{
    UpdateMachine m;
    const std::string full = randomBytes(kFromSize, 3);
    writeFile(m.h.folder() / "disk/UND/full.bin", full);
    writeFile(m.h.folder() / "disk/UND/over.bin", randomBytes(kFromSize + 1, 4));
    EXPECT_EQ(rewrite(m, 1, "/UND/full.bin"), OK);
    EXPECT_TRUE(m.flashFile() == full);
    m.h.clearConsole();
    EXPECT_EQ(rewrite(m, 1, "/UND/over.bin"), ERROR);
    EXPECT_EQ(m.h.console(), "Data size(16777217) is larger than target area\n");
    EXPECT_EQ(dlFirmfromRewriteStatus, 40);
    EXPECT_EQ(m.nvFlags(), 0u);
    EXPECT_TRUE(m.flashFile() == full);
}

TEST(FlashRewrite, FailuresBeforeTheFlagLeaveFlashAndNvramUntouched)
{
    const std::string previous = randomBytes(6000, 5);
    const struct {
        int target;
        const char *path, *fault;
        int status; // where it stops; -1: never moved
        const char *console;
    } cases[] = {
        {0, "/TMP/from.bin", nullptr, 40, ""},
        {0, nullptr, nullptr, -1, ""},
        {1, "/TMP/none.bin", nullptr, -1, ""},
        {1, "/TMP/empty.bin", nullptr, 10, ""},
        {1, nullptr, "malloc", 10, ""},
        {1, "/TMP/from.bin", "read@/TMP/from.bin", 20, ""},
        {1, nullptr, "flash-info", 40, "Cannot get device(/dlfromALL/) \n"},
        {1, nullptr, "open@/dlfromALL/", 40, "Cannot open device file.\n"},
        {1, nullptr, "nvram-set", 50, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault ? c.fault : c.path ? c.path : "no path");
        UpdateMachine m;
        m.put("/TMP/from.bin", previous); // on the flash, so that an erase would show
        ASSERT_EQ(rewrite(m, 1, nullptr), OK);
        m.h.clearConsole();
        dlFirmfromRewriteStatus = -1;
        m.put("/TMP/from.bin", randomBytes(5000, 6));
        m.put("/TMP/empty.bin", "");
        if (c.fault)
            m.h.machine().faults().add(c.fault);
        EXPECT_EQ(rewrite(m, c.target, c.path), ERROR);
        EXPECT_EQ(dlFirmfromRewriteStatus, c.status);
        EXPECT_EQ(m.h.console(), c.console);
        EXPECT_EQ(m.nvFlags(), 0u);
        EXPECT_TRUE(m.flashLocked());
        EXPECT_TRUE(m.flashFile() == flashWith(previous));
    }
}

// The retry counter restarts when erase and write first succeed: at most
// four attempts. Once the flag is set, only a verified write clears it.
TEST(FlashRewrite, RetriesTheStatusTheyLeaveAndTheFlag)
{
    const std::string image = randomBytes(3000, 7);
    const struct {
        std::initializer_list<const char *> faults;
        int result, status;
        long writes, verifies; // "Installing  " and "Verifying   " shown
        const char *console;
    } cases[] = {
        {{"flash-verify:0:1"}, OK, 100, 2, 2, "[dlFirmRewrite]frwRewrite: done.\n"},
        {{"flash-erase:0:1"}, OK, 100, 1, 1, "[dlFirmRewrite]frwRewrite: done.\n"},
        {{"flash-erase:0:2"}, ERROR, 60, 0, 0, ""},
        {{"flash-write"}, ERROR, 73, 2, 0, ""},
        {{"flash-verify:0:1", "flash-write:1"}, ERROR, 82, 2, 1, ""},
        {{"flash-verify"}, ERROR, 84, 2, 2, ""},
        {{"flash-erase:0:1", "flash-write:0:1", "flash-verify"}, ERROR, 84, 3, 2, ""},
        {{"nvram-clear"}, ERROR, 90, 1, 1, "[dlFirmRewrite]NVMFlagClearERROR!!\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(*c.faults.begin());
        UpdateMachine m;
        m.put("/TMP/from.bin", image);
        for (const char *f : c.faults)
            m.h.machine().faults().add(f);
        EXPECT_EQ(rewrite(m, 1, "/TMP/from.bin"), c.result);
        EXPECT_EQ(dlFirmfromRewriteStatus, c.status);
        EXPECT_EQ(m.h.console(), c.console);
        EXPECT_EQ(m.nvFlags(), c.result == OK ? 0u : 1u);
        EXPECT_TRUE(m.flashLocked());
        if (c.status >= 90) { // verified
            EXPECT_TRUE(m.flashFile() == flashWith(image));
        }

        auto row4 = m.drawnAt(24, 4), row5 = m.drawnAt(24, 5);
        EXPECT_EQ(std::count(row4.begin(), row4.end(), "Installing  "), c.writes);
        EXPECT_EQ(std::count(row5.begin(), row5.end(), "Verifying   "), c.verifies);
        for (size_t i = 0; i < row5.size(); ++i) // "Completed   " after every verification
            EXPECT_EQ(row5[i], i % 2 ? "Completed   " : "Verifying   ");
    }
}

} // namespace
} // namespace vx
