// Which update items the media offers: target files in the RAM disk, the
// HDD package series on the storage, and the mask that keeps items off.
#include "bootenv/vxWorks.h"
#include "host/machine/Keys.h"
#include "support/Harness.h"
#include "update/menu/dlFirmMenu.h"
#include "update/session/dlFirmUpMain.h"

#include <string>
#include <vector>

namespace vx {
namespace {

using testing_support::MachineHarness;

class Availability : public ::testing::Test {
protected:
    void SetUp() override
    {
        dlupdateFolderCheckFlag = 0;
        ASSERT_TRUE(h.runTask([&] {
                         BLK_DEV *dev = ramDevCreate(disk.data(), 512, 400, kBlocks, 0);
                         ASSERT_NE(dev, nullptr);
                         ASSERT_NE(dosFsMkfs("/TMP", dev), nullptr);
                     }).ended);
    }

    void putTmp(const char *path, const std::string &bytes)
    {
        h.runTask([&] {
            int fd = open(path, O_RDWR | O_CREAT, 0);
            ASSERT_GT(fd, 0) << path;
            std::string copy = bytes;
            EXPECT_EQ(write(fd, copy.data(), copy.size()), static_cast<int>(copy.size()));
            close(fd);
        });
    }

    void putAllImages(const std::string &flash = "flash")
    {
        putTmp("/TMP/from.bin", flash);
        putTmp("/TMP/lsrfirm.tz", "lsr");
        putTmp("/TMP/pfcfirm.tz", "pfc");
        putTmp("/TMP/mfirm.tz", "engine");
        putTmp("/TMP/scmfirm.tz", "scanner");
        testing_support::writeFile(h.media() / "1", "hdd package");
    }

    // The available items after a check with `mask`; the flag starts at a
    // value the check must overwrite.
    UINT32 check(UINT32 mask)
    {
        dlFirmUpdateModuleEnableFlag = 0x0000FFFF;
        EXPECT_TRUE(h.runTask([&] { bootUpdateUSBMediaModeuleCheck(mask); }).ended);
        return dlFirmUpdateModuleEnableFlag;
    }

    static constexpr int kBlocks = 8192;                       // 4 MiB
    std::vector<char> disk = std::vector<char>(kBlocks * 512); // outlives the machine
    MachineHarness h;
};

TEST_F(Availability, NothingStagedOffersNothingAndTheMenuChoosesNothing)
{
    EXPECT_EQ(check(0), 0u);

    host::KeyScript script(h.machine().keys(), host::KeyScript::parse("1,2,3,4,5,6,ok"));
    script.attach();
    INT32 mask = -2;
    ASSERT_TRUE(h.runTask([&] { mask = bootUpdateSelectUSBMedia(); }).ended);
    EXPECT_EQ(mask, 0);
}

TEST_F(Availability, EveryTargetPresentOffersAllSixEvenAnEmptyImage)
{
    putAllImages("");
    EXPECT_EQ(check(0), 0x7Eu);
    // Bit 0x01 carries no item, whatever the mask.
    EXPECT_EQ(check(0x01), 0x7Eu);
    EXPECT_EQ(check(0xFFFFFF81u), 0x7Eu);
}

TEST_F(Availability, MaskAndMissingFilesTakeOutOnlyTheirOwnItems)
{
    putAllImages();
    EXPECT_EQ(check(DL_ITEM_LSR), 0x76u);
    EXPECT_EQ(check(DL_ITEM_HDD | DL_ITEM_SCANNER), 0x3Au);
    EXPECT_EQ(check(DL_ITEM_ALL), 0u);

    h.runTask([] { remove("/TMP/pfcfirm.tz"); });
    EXPECT_EQ(check(0), 0x6Eu);

    // HDD SYS comes from the storage, never from the RAM disk: a series
    // that does not begin at 1 offers nothing.
    std::filesystem::remove(h.media() / "1");
    testing_support::writeFile(h.media() / "2", "hdd package");
    putTmp("/TMP/1", "hdd package");
    EXPECT_EQ(check(0), 0x6Au);
}

} // namespace
} // namespace vx
