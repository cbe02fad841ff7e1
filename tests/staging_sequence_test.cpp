// The staging sequence over media made with the media tool: which files the
// RAM disk holds after success and after each failure, the progress log's
// two lines, and files left by an earlier session of the same boot.
#include "tests/staging_support.h"
#include "update/session/dlFirmUpMain.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using namespace staging_test;
using Files = std::set<std::string>;

const Files kStagedAll = {"from.bin",   "lsrfirm.tz",   "pfcfirm.tz",
                          "mfirm.tz",   "scmfirm.tz",   "sysDummy.txt",
                          "HddUpdateProgress.log"};

class Staging : public ::testing::Test {
protected:
    // The image paths as the session driver writes them.
    void usePaths(int folderFlag)
    {
        vx::dlupdateFolderCheckFlag = folderFlag;
        const char *dir = folderFlag == 1 ? "/usbstor/0/fwstore/" : "/usbstor/0/";
        std::snprintf(vx::firmImageFile0, sizeof vx::firmImageFile0, "%sfirmImage0.bin", dir);
        std::snprintf(vx::firmImageFile1, sizeof vx::firmImageFile1, "%sfirmImage1.bin", dir);
        std::snprintf(vx::firmImageFile2, sizeof vx::firmImageFile2, "%sfirmImage2.bin", dir);
    }

    void SetUp() override { usePaths(1); }

    // One staging call in the driver's task, with a cleared version table.
    int stage()
    {
        std::fill(std::begin(table), std::end(table), '\0');
        int r = -100;
        auto run = h.runTask([&] { r = vx::dlFirmUsbStrageTenkai(table); });
        EXPECT_TRUE(run.ended && !run.exited);
        EXPECT_EQ(openDescriptors(), 0) << "a descriptor was left open";
        return r;
    }

    int openDescriptors()
    {
        int n = 0;
        for (int fd = 3; fd < host::IoSystem::kMaxFiles; ++fd)
            n += h.machine().io().valid(fd) ? 1 : 0;
        return n;
    }

    std::string log() { return deviceFile(h, "/TMP/HddUpdateProgress.log").value_or("(none)"); }

    void putAll(bool modelFolder = true)
    {
        putMedia(h, "firmImage0.bin", stored(img0), modelFolder);
        putMedia(h, "firmImage1.bin", stored(img1), modelFolder);
        putMedia(h, "firmImage2.bin", stored(img2), modelFolder);
        putMedia(h, "1", stored(hddFile1()), modelFolder);
    }

    MachineHarness h;
    char table[160] = {};
    std::string img0 = image0(5 << 20);
    std::string img1 = image1();
    std::string img2 = image2();
};

TEST_F(Staging, FullMediaGiveEveryTargetFile)
{
    putAll();
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), kStagedAll);
    EXPECT_EQ(log(), "OS Version = BOOT V1.00\nSYS Version = V1R2.10 A\n");

    std::string area = img0 + std::string(vx::DL_FROM_IMAGE_SIZE - img0.size(), '\0');
    std::size_t half = vx::DL_FROM_HALF_SIZE;
    EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/from.bin"), img1 + area.substr(half) + area.substr(0, half)));
    for (const auto &u : media::kUnits)
        EXPECT_EQ(deviceFile(h, u.dbName), unitContent(u)) << u.name;
    EXPECT_EQ(versionField(table, 0), "V1R2.10 A");
    EXPECT_EQ(versionField(table, 3), "V1.20 JA");
    EXPECT_EQ(versionField(table, 7), "s1.03");
    EXPECT_EQ(h.console().find("error"), std::string::npos);
}

TEST_F(Staging, FolderFlagChoosesWhereHddFile1Is)
{
    // Everything at the storage root.
    usePaths(0);
    putAll(false);
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), kStagedAll);
    EXPECT_EQ(versionField(table, 0), "V1R2.10 A");
}

TEST_F(Staging, ModelFolderIgnoresHddFile1AtTheRoot)
{
    putMedia(h, "firmImage2.bin", stored(img2));
    putMedia(h, "1", stored(hddFile1()), false);
    EXPECT_EQ(stage(), 0);
    EXPECT_FALSE(tmpFiles(h).count("sysDummy.txt"));
    EXPECT_EQ(log(), "OS Version = BOOT V1.00\nSYS Version = \n");
}

TEST_F(Staging, NoMediaImageAtAll)
{
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), Files{"HddUpdateProgress.log"});
    EXPECT_EQ(log(), "OS Version = BOOT V1.00\nSYS Version = \n");
    EXPECT_EQ(h.console().find("Can not SysVersion"), std::string::npos);

    // HDD file 1 alone gives the version text.
    putMedia(h, "1", stored(hddFile1()));
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), (Files{"HddUpdateProgress.log", "sysDummy.txt"}));
    EXPECT_EQ(log(), "OS Version = BOOT V1.00\nSYS Version = V1R2.10 A\n");
}

TEST_F(Staging, Image0WithoutImage1StaysStaged)
{
    putMedia(h, "firmImage0.bin", stored(img0));
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), (Files{"firmImage0.bin", "HddUpdateProgress.log"}));
    EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/firmImage0.bin"), img0));
}

TEST_F(Staging, Image1WithoutImage0IsNotStaged)
{
    putMedia(h, "firmImage1.bin", stored(img1));
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), Files{"HddUpdateProgress.log"});
}

TEST_F(Staging, StagedImage0CannotBeCreated)
{
    putAll();
    h.machine().faults().add("open@/TMP/firmImage0.bin");
    EXPECT_EQ(stage(), 0);
    // Image 1 still staged and the flash image file built from it alone.
    EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/from.bin"), img1 + std::string(vx::DL_FROM_IMAGE_SIZE, '\0')));
    EXPECT_NE(h.console().find("can not UI Version dbNumber=0\n"), std::string::npos);
    EXPECT_EQ(tmpFiles(h), kStagedAll);
}

TEST_F(Staging, UnusableHddFile1FallsBackToTheFlashImageHead)
{
    putAll();
    putMedia(h, "1", stored(hddFile1("/ROM/other.txt")));
    EXPECT_EQ(stage(), 0);
    const std::string &c = h.console();
    auto cannot = c.find("Can not SysVersion\n");
    ASSERT_NE(cannot, std::string::npos);
    EXPECT_EQ(c.find("FROM.bin get SysVersion\n"), cannot + 19);
    // The head of image 1: "V" oem, the version to its second '.', shipping.
    EXPECT_EQ(versionField(table, 0), "V2R3.20 B");
    EXPECT_EQ(versionField(table, 9), "DL02");
    EXPECT_EQ(log(), "OS Version = BOOT V1.00\nSYS Version = V2R3.20 B\n");}

// Without a flash image file there is no fallback.
TEST_F(Staging, UnusableHddFile1WithoutFlashImage)
{
    putMedia(h, "1", stored(hddFile1("/ROM/other.txt")));
    EXPECT_EQ(stage(), 0);
    EXPECT_NE(h.console().find("Can not SysVersion\n"), std::string::npos);
    EXPECT_EQ(h.console().find("FROM.bin get SysVersion"), std::string::npos);
    EXPECT_EQ(log(), "OS Version = BOOT V1.00\nSYS Version = \n");
}

TEST_F(Staging, FailedEngineExtractionEndsBeforeTheLog)
{
    h.runTask([] { vx::bootUpdateTempDevCreate3(); });
    putDeviceFile(h, "/TMP/HddUpdateProgress.log", "earlier\n");
    putMedia(h, "firmImage2.bin", stored(img2));
    putMedia(h, "1", stored(hddFile1()));
    h.machine().faults().add("archiver");
    EXPECT_EQ(stage(), -1);
    EXPECT_TRUE(h.console().ends_with("dlBoardUpdateHDMain:inflate can not success\n"
                                      "EngTenkai error\n"));
    Files files = tmpFiles(h);
    EXPECT_TRUE(files.count("firmImage2.bin"));
    EXPECT_TRUE(files.count("temp.db"));
    EXPECT_FALSE(files.count("sysDummy.txt"));
    EXPECT_EQ(log(), "earlier\n");
}

TEST_F(Staging, EngineNameTooLongFailsStaging)
{
    std::string img = zlibPackage("/TMP/" + std::string(300, 'n'), "x");
    putMedia(h, "firmImage2.bin", stored(img));
    EXPECT_EQ(stage(), -1);
    EXPECT_TRUE(h.console().ends_with("dlBoardUpdateHDMain:DB name too long\nEngTenkai error\n"));
    EXPECT_EQ(tmpFiles(h), Files{"firmImage2.bin"});
}

TEST_F(Staging, FailedFlashExtractionEndsStaging)
{
    img0 = image0(vx::DL_FROM_IMAGE_SIZE + 2);
    putAll();
    EXPECT_EQ(stage(), -1);
    EXPECT_TRUE(h.console().ends_with("firmImage0.bin size over\nFromTenkai error\n"));
    // Nothing further: image 2 not staged, no log.
    EXPECT_EQ(tmpFiles(h), Files{});}

TEST_F(Staging, FlashImageFileCannotBeOpened)
{
    putAll();
    h.machine().faults().add("open@/TMP/from.bin");
    EXPECT_EQ(stage(), -1);
    EXPECT_TRUE(h.console().ends_with("from.bin open error\nFromTenkai error\n"));
    EXPECT_EQ(tmpFiles(h), (Files{"firmImage0.bin", "firmImage1.bin"}));
}

TEST_F(Staging, LongerFilesOfAnEarlierSessionLeaveNoTail)
{
    // First session: a long image 0, a long image 1.
    img1 = image1(300000);
    putAll();
    ASSERT_EQ(stage(), 0);
    // A staged copy that failed to go away in the earlier session.
    putDeviceFile(h, "/TMP/firmImage0.bin", std::string(7 << 20, '\xAA'));

    // Second session: shorter images of the same names.
    std::string shortImg0 = image0();
    std::string shortImg1 = image1(1000);
    putMedia(h, "firmImage0.bin", stored(shortImg0));
    putMedia(h, "firmImage1.bin", stored(shortImg1));
    putMedia(h, "firmImage2.bin", stored(image2({media::Unit::Laser})));
    ASSERT_EQ(stage(), 0);

    std::string area = shortImg0 + std::string(vx::DL_FROM_IMAGE_SIZE - shortImg0.size(), '\0');
    std::size_t half = vx::DL_FROM_HALF_SIZE;
    EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/from.bin"),
                          shortImg1 + area.substr(half) + area.substr(0, half)));
    EXPECT_EQ(log(), "OS Version = BOOT V1.00\nSYS Version = V1R2.10 A\n");
}

TEST_F(Staging, ProgressLogCannotBeOpened)
{
    putMedia(h, "1", stored(hddFile1()));
    h.machine().faults().add("open@/TMP/HddUpdateProgress.log");
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), Files{"sysDummy.txt"});
}

TEST_F(Staging, RamDiskCannotBeMade)
{
    putAll();
    h.machine().faults().add("ramdisk");
    EXPECT_EQ(stage(), 0);
    EXPECT_NE(h.console().find("ramDevCreate Failed\n"), std::string::npos);
    EXPECT_EQ(h.machine().io().device("/TMP"), nullptr);
}

} // namespace
