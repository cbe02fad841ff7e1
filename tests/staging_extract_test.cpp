// The extraction steps on staged copies put straight into the RAM disk:
// the flash image file's layout, the engine packages and the version text
// of the hard-disk system.
#include "tests/staging_support.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace staging_test;
using testing_support::randomBytes;

constexpr std::size_t kImage = vx::DL_FROM_IMAGE_SIZE;
constexpr std::size_t kHalf = kImage / 2;

class Extract : public ::testing::Test {
protected:
    void SetUp() override
    {
        h.runTask([] { vx::bootUpdateTempDevCreate3(); });
        h.clearConsole();
    }

    int fromTenkai()
    {
        int r = -100;
        auto run = h.runTask([&] { r = vx::dlFirmFromTenkai(table); });
        EXPECT_TRUE(run.ended && !run.exited);
        return r;
    }

    // Calls the engine step on the staged copy with the given length.
    int engTenkai(int length)
    {
        int r = -100;
        h.runTask([&] {
            int fd = vx::open("/TMP/firmImage2.bin", vx::O_RDWR, 0);
            ASSERT_GT(fd, 0);
            r = vx::dlFirmEngTenkai(fd, length, table);
            vx::close(fd);
        });
        return r;
    }

    int hddTenkai(bool *closed = nullptr)
    {
        int r = -100;
        h.runTask([&] {
            int fd = vx::open("/usbstor/0/fwstore/1", vx::O_RDONLY, 0);
            ASSERT_GT(fd, 0);
            r = vx::dlBoardHddTenkai(fd, 65536, table);
            if (closed)
                *closed = !h.machine().io().valid(fd);
        });
        return r;
    }

    MachineHarness h;
    char table[160] = {};
};

// ---- flash image file ----

TEST_F(Extract, FlashImageIsImage1ThenUpperHalfThenLowerHalf)
{
    std::string one = randomBytes(1000, 1);
    std::string zero = image0(6 << 20); // data in both halves, short of 8 MiB
    putDeviceFile(h, "/TMP/firmImage1.bin", one);
    putDeviceFile(h, "/TMP/firmImage0.bin", zero);

    EXPECT_EQ(fromTenkai(), 0);
    auto from = deviceFile(h, "/TMP/from.bin");
    ASSERT_TRUE(from);
    ASSERT_EQ(from->size(), 1000 + kImage);
    EXPECT_EQ(from->substr(0, 1000), one);
    EXPECT_EQ((*from)[1000], zero[kHalf]);
    EXPECT_EQ((*from)[1000 + kHalf], zero[0]);
    // Upper half: image bytes from 4 MiB on, zeros where image 0 ends.
    std::string upper = from->substr(1000, kHalf);
    EXPECT_TRUE(sameBytes(upper.substr(0, zero.size() - kHalf), zero.substr(kHalf)));
    EXPECT_TRUE(sameBytes(upper.substr(zero.size() - kHalf), std::string(kImage - zero.size(), '\0')));
    EXPECT_TRUE(sameBytes(from->substr(1000 + kHalf), zero.substr(0, kHalf)));

    EXPECT_EQ(tmpFiles(h), std::set<std::string>{"from.bin"});
    EXPECT_EQ(h.console().find("can not UI Version"), std::string::npos);
    EXPECT_EQ(versionField(table, 3), "V1.20 JA");
    EXPECT_EQ(versionField(table, 2), "V1.21 EN");
    EXPECT_EQ(versionField(table, 1), "V1.22 DE");
}

TEST_F(Extract, FlashImageWithTooFewPackagesOrNoImage0IsStillWritten)
{
    putDeviceFile(h, "/TMP/firmImage1.bin", "head");
    putDeviceFile(h, "/TMP/firmImage0.bin", image0(0, false));
    EXPECT_EQ(fromTenkai(), 0);
    EXPECT_NE(h.console().find("can not UI Version dbNumber=2\n"), std::string::npos);
    EXPECT_EQ(deviceFile(h, "/TMP/from.bin")->size(), 4 + kImage);
    EXPECT_EQ(versionField(table, 3), "");

    // Without image 0 the area stays zero: image 1 and 8 MiB of zeros.
    h.clearConsole();
    putDeviceFile(h, "/TMP/firmImage1.bin", "head");
    EXPECT_EQ(fromTenkai(), 0);
    EXPECT_NE(h.console().find("can not UI Version dbNumber=0\n"), std::string::npos);
    EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/from.bin"), "head" + std::string(kImage, '\0')));
}

TEST_F(Extract, Image0LongerThanTheAreaIsRefused)
{
    putDeviceFile(h, "/TMP/firmImage1.bin", "head");
    putDeviceFile(h, "/TMP/firmImage0.bin", image0(kImage + 2));
    EXPECT_EQ(fromTenkai(), -1);
    EXPECT_EQ(h.console(), "firmImage0.bin size over\n");
    // No cut image is left to be flashed, nor the staged copies.
    EXPECT_EQ(tmpFiles(h), std::set<std::string>{});

    // Exactly 8 MiB fills the area and is taken whole.
    h.clearConsole();
    std::string full = image0(kImage);
    putDeviceFile(h, "/TMP/firmImage1.bin", "head");
    putDeviceFile(h, "/TMP/firmImage0.bin", full);
    EXPECT_EQ(fromTenkai(), 0);
    EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/from.bin"),
                          "head" + full.substr(kHalf) + full.substr(0, kHalf)));
}

TEST_F(Extract, LongerFlashImageOfAnEarlierSessionIsReplaced)
{
    putDeviceFile(h, "/TMP/from.bin", std::string(kImage + (2 << 20), '\xAA'));
    putDeviceFile(h, "/TMP/firmImage1.bin", "head");
    putDeviceFile(h, "/TMP/firmImage0.bin", "ab");
    EXPECT_EQ(fromTenkai(), 0);
    std::string expected = "head" + std::string(kImage, '\0');
    expected[4 + kHalf] = 'a';
    expected[5 + kHalf] = 'b';
    EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/from.bin"), expected));
}

TEST_F(Extract, FlashImageFailures)
{
    h.machine().faults().add("open@/TMP/from.bin");
    EXPECT_EQ(fromTenkai(), -1);
    EXPECT_EQ(h.console(), "from.bin open error\n");

    // Transfer buffer, then image area.
    for (const char *fault : {"malloc:0:1", "malloc:1:1"}) {
        SCOPED_TRACE(fault);
        h.machine().faults() = host::Faults();
        h.machine().faults().add(fault);
        h.clearConsole();
        EXPECT_EQ(fromTenkai(), -1);
        EXPECT_EQ(h.console(), "malloc error \n");
    }
}

// ---- engine packages ----

TEST_F(Extract, EnginePackagesMakeOnlyTheFilesTheyName)
{
    using media::Unit;
    std::string img = image2({Unit::Laser, Unit::Pfc, Unit::Engine});
    putDeviceFile(h, "/TMP/firmImage2.bin", img);
    EXPECT_EQ(engTenkai(static_cast<int>(img.size())), 0);

    EXPECT_EQ(tmpFiles(h),
              (std::set<std::string>{"firmImage2.bin", "lsrfirm.tz", "pfcfirm.tz", "mfirm.tz"}));
    for (const auto &u : media::kUnits) {
        if (u.unit != Unit::Scanner) {
            EXPECT_EQ(deviceFile(h, u.dbName), unitContent(u)) << u.name;
        }
    }
    std::string n = std::to_string(img.size());
    EXPECT_EQ(h.console(), "totalSizeEng=" + n + "\nEng base  " + n +
                               "\ncan not find start address\n");
    EXPECT_EQ(versionField(table, 4), "l1.03");
    EXPECT_EQ(versionField(table, 6), "p1.03");
    EXPECT_EQ(versionField(table, 5), "e1.03");
    EXPECT_EQ(versionField(table, 7), "");
}

TEST_F(Extract, EngineImageWithoutPackagesIsNoError)
{
    putDeviceFile(h, "/TMP/firmImage2.bin", randomBytes(3000, 5));
    EXPECT_EQ(engTenkai(3000), 0);
    EXPECT_NE(h.console().find("dlBoardUpdateHDMain:can not get DB infomation\n"),
              std::string::npos);
    EXPECT_EQ(tmpFiles(h), std::set<std::string>{"firmImage2.bin"});

    // An empty image neither.
    h.clearConsole();
    putDeviceFile(h, "/TMP/firmImage2.bin", "");
    EXPECT_EQ(engTenkai(0), 0);
    EXPECT_NE(h.console().find("dlBoardUpdateHDMain:can not get DB infomation\n"),
              std::string::npos);
}

TEST_F(Extract, InflateIsRetriedTwentyTimes)
{
    std::string img = image2({media::Unit::Laser});
    putDeviceFile(h, "/TMP/firmImage2.bin", img);
    h.machine().faults().add("archiver:0:20");
    EXPECT_EQ(engTenkai(static_cast<int>(img.size())), 0);
    EXPECT_EQ(countOf(h.console(), "dlBoardUpdateHDMain:reTry\n"), 20u);
    EXPECT_EQ(countOf(h.console(), "inflate can not success"), 0u);
    EXPECT_EQ(tmpFiles(h), (std::set<std::string>{"firmImage2.bin", "lsrfirm.tz"}));

    h.clearConsole();
    h.machine().faults() = host::Faults();
    h.machine().faults().add("archiver:0:21");
    EXPECT_EQ(engTenkai(static_cast<int>(img.size())), -1);
    EXPECT_EQ(countOf(h.console(), "dlBoardUpdateHDMain:reTry\n"), 21u);
    EXPECT_TRUE(h.console().ends_with("dlBoardUpdateHDMain:reTry\n"
                                      "dlBoardUpdateHDMain:inflate can not success\n"));
    // The compressed data stays behind for a look.
    EXPECT_TRUE(tmpFiles(h).count("temp.db"));
}

TEST_F(Extract, EngineNameOf255IsTakenAnd256IsRefused)
{
    std::string name255 = "/TMP/" + std::string(250, 'n');
    std::string name256 = name255 + "x";
    std::string ok = zlibPackage("/TMP/first.tz", "first");
    std::string img = ok + zlibPackage(name255, "long") + zlibPackage(name256, "longer");
    putDeviceFile(h, "/TMP/firmImage2.bin", img);
    EXPECT_EQ(engTenkai(static_cast<int>(img.size())), -1);
    EXPECT_NE(h.console().find("dlBoardUpdateHDMain:DB name too long\n"), std::string::npos);
    // The packages before it were expanded, the long one was not.
    EXPECT_EQ(deviceFile(h, "/TMP/first.tz"), std::string("first"));
    EXPECT_EQ(deviceFile(h, name255), std::string("long"));
    EXPECT_EQ(tmpFiles(h).size(), 3u);
}

TEST_F(Extract, EngineReadIsBoundToTheGivenLength)
{
    // The staged copy runs on past the length the step was given: a longer
    // file of an earlier session, say. Only `length` bytes are read.
    std::string img = image2({media::Unit::Pfc});
    std::string stale = zlibPackage("/TMP/stale.tz", "stale");
    putDeviceFile(h, "/TMP/firmImage2.bin", img + stale + randomBytes(200000, 6));
    EXPECT_EQ(engTenkai(static_cast<int>(img.size())), 0);
    EXPECT_NE(h.console().find("Eng base  " + std::to_string(img.size()) + "\n"),
              std::string::npos);
    EXPECT_TRUE(tmpFiles(h).count("pfcfirm.tz"));
    EXPECT_FALSE(tmpFiles(h).count("stale.tz"));
}

TEST_F(Extract, EngineImageOfMorePackagesThanTheTableHolds)
{
    std::string img;
    for (int i = 0; i < vx::DL_DB_TABLE_IMAGE + 1; ++i)
        img += zlibPackage("/TMP/p" + std::to_string(i), "content " + std::to_string(i));
    putDeviceFile(h, "/TMP/firmImage2.bin", img);
    EXPECT_EQ(engTenkai(static_cast<int>(img.size())), 0);
    std::set<std::string> files = tmpFiles(h);
    EXPECT_EQ(files.size(), 1u + vx::DL_DB_TABLE_IMAGE);
    EXPECT_TRUE(files.count("p15"));
    EXPECT_FALSE(files.count("p16"));
    EXPECT_EQ(deviceFile(h, "/TMP/p15"), std::string("content 15"));
}

TEST_F(Extract, EngineFailuresOfMemoryAndTheIntermediateFile)
{
    std::string img = image2({media::Unit::Laser});
    putDeviceFile(h, "/TMP/firmImage2.bin", img);
    h.machine().faults().add("malloc:0:1");
    EXPECT_EQ(engTenkai(static_cast<int>(img.size())), -1);
    EXPECT_EQ(h.console(), "malloc failed\n");

    h.clearConsole();
    h.machine().faults() = host::Faults();
    h.machine().faults().add("open@/TMP/temp.db");
    EXPECT_EQ(engTenkai(static_cast<int>(img.size())), -1);
    EXPECT_TRUE(h.console().ends_with("dlBoardUpdateHDMain: can not open file\n"));
    EXPECT_FALSE(tmpFiles(h).count("lsrfirm.tz"));
}

// ---- version text of the hard-disk system ----

TEST_F(Extract, VersionTextIsExpandedToSysDummy)
{
    putMedia(h, "1", stored(hddFile1()));
    bool closed = false;
    EXPECT_EQ(hddTenkai(&closed), 0);
    EXPECT_TRUE(closed);
    std::string text = asString(media::versionTextContent(kVersionText));
    EXPECT_EQ(deviceFile(h, "/TMP/sysDummy.txt"), text);
    EXPECT_NE(h.console().find("BOOTHDLOADER_SYS_NAME_RAM fileSize=" +
                               std::to_string(text.size()) + "\n"),
              std::string::npos);
    EXPECT_EQ(tmpFiles(h), std::set<std::string>{"sysDummy.txt"});
    EXPECT_EQ(versionField(table, 0), "V1R2.10 A");
    EXPECT_EQ(versionField(table, 9), "DL01");
}

TEST_F(Extract, VersionTextMustComeFirstUnderItsName)
{
    putMedia(h, "1", stored(hddFile1("/ROM/other.txt")));
    bool closed = false;
    EXPECT_EQ(hddTenkai(&closed), -1);
    EXPECT_TRUE(closed);
    EXPECT_EQ(h.console().find("dlBoardUpdateHDMain"), std::string::npos);
    EXPECT_EQ(deviceFile(h, "/TMP/temp.db"), std::string());
    EXPECT_FALSE(tmpFiles(h).count("sysDummy.txt"));

    // A leading-part match of the name is no match.
    putMedia(h, "1", stored(hddFile1("/ROM/sysDummy.txt.old")));
    EXPECT_EQ(hddTenkai(), -1);

    h.clearConsole();
    putMedia(h, "1", stored(randomBytes(70000, 8)));
    EXPECT_EQ(hddTenkai(), -1);
    EXPECT_NE(h.console().find("dlBoardUpdateHDMain:can not get DB infomation\n"),
              std::string::npos);
}

TEST_F(Extract, VersionTextInflateRetries)
{
    putMedia(h, "1", stored(hddFile1()));
    h.machine().faults().add("archiver:0:21");
    EXPECT_EQ(hddTenkai(), -1);
    EXPECT_EQ(countOf(h.console(), "dlBoardUpdateHDMain:reTry\n"), 21u);
    EXPECT_NE(h.console().find("dlBoardUpdateHDMain:inflate can not success\n"),
              std::string::npos);
    EXPECT_EQ(versionField(table, 0), "");
}

} // namespace
