// The flash ROM rewrite (dlFirmRewriteNoCheckSum) on a machine with the
// flash device "/dlfromALL/": what reaches flashrom.bin, the NVRAM flag of
// the flash ROM, the progress status, the retries and the console lines.
#include "flashrw_support.h"
#include "update/flashrom/dlFirmRewite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>

namespace vx {
namespace {

using flashrw_test::kFromBase;
using flashrw_test::kFromSize;
using flashrw_test::randomBytes;
using flashrw_test::UpdateMachine;
using flashrw_test::writeFile;

// Erased flash with the image at its start.
std::string flashWith(const std::string &image)
{
    std::string all(kFromSize, '\xFF');
    all.replace(0, image.size(), image);
    return all;
}

// One rewrite in the FROM update task; its result.
int rewriteIn(UpdateMachine &m, int target, const char *path)
{
    int result = 12345;
    auto run = m.h.runTask([&] { result = dlFirmRewriteNoCheckSum(target, 0, path); },
                           "tdlFirmFromUpdate");
    EXPECT_TRUE(run.ended);
    return result;
}

class FlashRewrite : public ::testing::Test, public UpdateMachine {
protected:
    FlashRewrite()
    {
        h.runTask([] { dlfrwInit(); });
    }
    int rewrite(int target, const char *path) { return rewriteIn(*this, target, path); }
};

TEST_F(FlashRewrite, DefaultFileIsFromBinInTheRamDiskAndEachRewriteReplacesTheLast)
{
    const std::string first = randomBytes(70000, 1);
    const std::string second = randomBytes(70000, 2); // programming over `first` needs an erase
    put("/TMP/from.bin", first);
    EXPECT_EQ(rewrite(1, nullptr), OK);
    EXPECT_EQ(flashFile(), flashWith(first));

    put("/TMP/from.bin", second);
    EXPECT_EQ(rewrite(1, ""), OK);
    EXPECT_EQ(flashFile(), flashWith(second));

    EXPECT_EQ(dlFirmfromRewriteStatus, 100);
    EXPECT_EQ(nvFlags() & 0x01u, 0u);
    EXPECT_TRUE(flashLocked());
    EXPECT_EQ(h.console(), "[dlFirmRewrite]frwRewrite: done.\n"
                           "[dlFirmRewrite]frwRewrite: done.\n");
    EXPECT_EQ(drawnAt(24, 4), (std::vector<std::string>{"Installing  ", "Completed   ",
                                                        "Installing  ", "Completed   "}));
    EXPECT_EQ(drawnAt(24, 5), (std::vector<std::string>{"Verifying   ", "Completed   ",
                                                        "Verifying   ", "Completed   "}));
}

TEST_F(FlashRewrite, ImageOfExactlyTheAreaIsWrittenOneByteMoreIsRefusedUntouched)
{
    const std::string full = randomBytes(kFromSize, 3);
    writeFile(h.folder() / "disk/UND/full.bin", full);
    EXPECT_EQ(rewrite(1, "/UND/full.bin"), OK);
    EXPECT_EQ(h.console(), "[dlFirmRewrite]frwRewrite: done.\n");
    EXPECT_TRUE(flashFile() == full);

    std::string over = randomBytes(kFromSize + 1, 4);
    writeFile(h.folder() / "disk/UND/over.bin", over);
    h.clearConsole();
    EXPECT_EQ(rewrite(1, "/UND/over.bin"), ERROR);
    EXPECT_EQ(h.console(), "Data size(16777217) is larger than target area\n");
    EXPECT_EQ(dlFirmfromRewriteStatus, 40);
    EXPECT_EQ(nvFlags(), 0u);
    EXPECT_TRUE(flashFile() == full);
    EXPECT_TRUE(flashLocked());
}

TEST(FlashRewriteRefused, FailuresBeforeTheFlagLeaveFlashAndNvramUntouched)
{
    const std::string previous = randomBytes(6000, 7);
    const struct {
        const char *what;
        int target;
        const char *path;
        const char *fault;
        int status; // where the status stops; -1: never moved
        const char *console;
    } cases[] = {
        {"target 0", 0, "/TMP/from.bin", nullptr, 40, ""},
        {"target 0, default file", 0, nullptr, nullptr, -1, ""},
        {"target 2", 2, "", nullptr, -1, ""},
        {"missing file", 1, "/TMP/none.bin", nullptr, -1, ""},
        {"empty image", 1, "/TMP/empty.bin", nullptr, 10, ""},
        {"no memory", 1, nullptr, "malloc", 10, ""},
        {"short read", 1, "/TMP/from.bin", "read@/TMP/from.bin", 20, ""},
        {"no device info", 1, nullptr, "flash-info", 40, "Cannot get device(/dlfromALL/) \n"},
        {"device file", 1, nullptr, "open@/dlfromALL/", 40, "Cannot open device file.\n"},
        {"flag not set", 1, nullptr, "nvram-set", 50, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        UpdateMachine m;
        m.h.runTask([] { dlfrwInit(); });
        // A previous image, so that an erase would show.
        m.put("/TMP/from.bin", previous);
        ASSERT_EQ(rewriteIn(m, 1, nullptr), OK);
        m.h.clearConsole();
        dlFirmfromRewriteStatus = -1;
        m.put("/TMP/from.bin", randomBytes(5000, 4));
        m.put("/TMP/empty.bin", "");
        if (c.fault)
            m.h.machine().faults().add(c.fault);
        EXPECT_EQ(rewriteIn(m, c.target, c.path), ERROR);
        EXPECT_EQ(dlFirmfromRewriteStatus, c.status);
        EXPECT_EQ(m.h.console(), c.console);
        EXPECT_EQ(m.nvFlags(), 0u);
        EXPECT_TRUE(m.flashLocked());
        EXPECT_TRUE(m.flashFile() == flashWith(previous));
        EXPECT_EQ(m.drawnAt(24, 4).size(), 2u); // those of the previous image only
    }
}

// Each attempt erases, writes and verifies; the counter restarts when the
// erase and the write first succeed, so at most four attempts are made.
TEST(FlashRewriteRetry, RetriesAndTheStatusTheyLeave)
{
    const std::string image = randomBytes(3000, 5);
    const struct {
        std::initializer_list<const char *> faults;
        int result;
        int status;
        size_t writes;   // "Installing  " shown: attempts past the erase
        size_t verifies; // "Verifying   " shown
    } cases[] = {
        {{"flash-verify:0:1"}, OK, 100, 2, 2},
        {{"flash-erase:0:1"}, OK, 100, 1, 1},
        {{"flash-erase:0:2"}, ERROR, 60, 0, 0},
        {{"flash-write"}, ERROR, 73, 2, 0},
        {{"flash-verify:0:1", "flash-write:1"}, ERROR, 82, 2, 1},
        {{"flash-verify"}, ERROR, 84, 2, 2},
        {{"flash-erase:0:1", "flash-write:0:1", "flash-verify"}, ERROR, 84, 3, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(*c.faults.begin());
        UpdateMachine m;
        m.h.runTask([] { dlfrwInit(); });
        m.put("/TMP/from.bin", image);
        for (const char *f : c.faults)
            m.h.machine().faults().add(f);
        EXPECT_EQ(rewriteIn(m, 1, "/TMP/from.bin"), c.result);
        EXPECT_EQ(dlFirmfromRewriteStatus, c.status);
        EXPECT_TRUE(m.flashLocked());

        auto row4 = m.drawnAt(24, 4);
        auto row5 = m.drawnAt(24, 5);
        EXPECT_EQ(std::count(row4.begin(), row4.end(), "Installing  "), long(c.writes));
        EXPECT_EQ(std::count(row5.begin(), row5.end(), "Verifying   "), long(c.verifies));
        // Row 5 reads "Completed   " after every verification, passed or not.
        for (size_t i = 0; i < row5.size(); ++i)
            EXPECT_EQ(row5[i], i % 2 ? "Completed   " : "Verifying   ");

        if (c.result == OK) {
            EXPECT_EQ(m.nvFlags() & 0x01u, 0u);
            EXPECT_TRUE(m.flashFile() == flashWith(image));
        } else {
            EXPECT_EQ(m.nvFlags() & 0x01u, 0x01u); // the rewrite stays marked
            EXPECT_EQ(m.h.console(), "");
        }
    }
}

TEST_F(FlashRewrite, FailedFlagClearReportsFailureOverAWrittenImage)
{
    const std::string image = randomBytes(4096, 6);
    put("/TMP/from.bin", image);
    h.machine().faults().add("nvram-clear");
    EXPECT_EQ(rewrite(1, "/TMP/from.bin"), ERROR);
    EXPECT_EQ(h.console(), "[dlFirmRewrite]NVMFlagClearERROR!!\n");
    EXPECT_EQ(dlFirmfromRewriteStatus, 90);
    EXPECT_EQ(nvFlags() & 0x01u, 0x01u);
    EXPECT_TRUE(flashFile() == flashWith(image));
}

TEST_F(FlashRewrite, DeviceIsCreatedOnceOverTheWholeFlash)
{
    int again = 0;
    h.runTask([&] { again = dlfrwInit(); });
    EXPECT_EQ(again, ERROR); // made by the fixture already
    FROM_DEV_INFO info{};
    ASSERT_EQ(fromDevGetInfo("/dlfromALL/", &info), OK);
    EXPECT_EQ(info.size, static_cast<INT32>(kFromSize));
    EXPECT_EQ(info.lockArg1, kFromBase);
    EXPECT_STREQ(dlgetDefaultFile(1), "from.bin");
    EXPECT_EQ(dlgetDefaultFile(0), nullptr);
    EXPECT_EQ(dlgetDefaultFile(2), nullptr);
}

} // namespace
} // namespace vx
