// The extraction steps and the staging sequence: the flash image file's
// layout, the engine and version-text packages, the RAM disk's files after
// success and after each failure, and the progress log.
#include "staging_support.h"
#include "update/session/dlFirmUpMain.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>

namespace {

using namespace testing_support;
using Files = std::set<std::string>;
constexpr std::size_t kImage = vx::DL_FROM_IMAGE_SIZE, kHalf = kImage / 2;

// The flash image file expected of image 1 and image 0.
std::string flashImage(const std::string &one, const std::string &zero)
{
    std::string area = zero + std::string(kImage - zero.size(), '\0');
    return one + area.substr(kHalf) + area.substr(0, kHalf);
}

class Staging : public ::testing::Test {
protected:
    void SetUp() override
    {
        usePaths(1);
        h.runTask([] { vx::bootUpdateTempDevCreate3(); });
        h.clearConsole();
    }
    void usePaths(int flag)
    {
        char *paths[] = {vx::firmImageFile0, vx::firmImageFile1, vx::firmImageFile2};
        vx::dlupdateFolderCheckFlag = flag;
        for (int i = 0; i < 3; ++i)
            std::snprintf(paths[i], vx::DL_PATH_SIZE, "/usbstor/0/%sfirmImage%d.bin", flag ? "fwstore/" : "",
                          i);
    }
    // Runs `call` in the driver's task; every descriptor must be closed after.
    int run(const std::function<int()> &call)
    {
        int r = -100;
        auto task = h.runTask([&] { r = call(); });
        EXPECT_TRUE(task.ended && !task.exited);
        for (int fd = 3; fd < host::IoSystem::kMaxFiles; ++fd)
            EXPECT_FALSE(h.machine().io().valid(fd)) << "descriptor left open";
        return r;
    }
    int stage()
    {
        std::fill(std::begin(table), std::end(table), '\0');
        return run([&] { return vx::dlFirmUsbStrageTenkai(table); });
    }
    int fromTenkai()
    {
        return run([&] { return vx::dlFirmFromTenkai(table); });
    }
    int engTenkai(std::size_t length)
    {
        return run([&] {
            int fd = vx::open("/TMP/firmImage2.bin", vx::O_RDWR, 0);
            int r = vx::dlFirmEngTenkai(fd, static_cast<int>(length), table);
            vx::close(fd);
            return r;
        });
    }
    int hddTenkai()
    {
        return run(
            [&] { return vx::dlBoardHddTenkai(vx::open("/usbstor/0/fwstore/1", 0, 0), 65536, table); });
    }
    void putAll(bool modelFolder = true)
    {
        putMedia(h, "firmImage0.bin", stored(img0), modelFolder);
        putMedia(h, "firmImage1.bin", stored(img1), modelFolder);
        putMedia(h, "firmImage2.bin", stored(image2()), modelFolder);
        putMedia(h, "1", stored(hddFile1()), modelFolder);
    }
    std::string log() { return deviceFile(h, "/TMP/HddUpdateProgress.log").value_or("(none)"); }

    MachineHarness h;
    char table[160] = {};
    std::string img0 = image0(6 << 20), img1 = image1(1000);
};

const Files kAllTargets = {"from.bin",   "lsrfirm.tz",   "pfcfirm.tz",           "mfirm.tz",
                           "scmfirm.tz", "sysDummy.txt", "HddUpdateProgress.log"};
const std::string kLog = "OS Version = BOOT V1.00\nSYS Version = V1R2.10 A\n";

// ---- flash image file ----

TEST_F(Staging, FlashImageIsImage1ThenUpperThenLowerHalf)
{
    putDeviceFile(h, "/TMP/from.bin", std::string(kImage + 9999, '\xAA')); // longer, of an earlier session
    putDeviceFile(h, "/TMP/firmImage1.bin", img1);
    putDeviceFile(h, "/TMP/firmImage0.bin", img0);
    EXPECT_EQ(fromTenkai(), 0);
    auto from = deviceFile(h, "/TMP/from.bin");
    EXPECT_EQ(from->size(), 1000 + kImage);
    EXPECT_EQ((*from)[1000], img0[kHalf]);
    EXPECT_EQ((*from)[1000 + kHalf], img0[0]);
    EXPECT_TRUE(sameBytes(from, flashImage(img1, img0)));
    EXPECT_EQ(tmpFiles(h), Files{"from.bin"});
    EXPECT_EQ((std::vector<std::string>{field(table, 3), field(table, 2), field(table, 1)}),
              (std::vector<std::string>{"V1.20 JA", "V1.21 EN", "V1.22 DE"}));
}

TEST_F(Staging, FlashImageIsLeftOnlyWhenWhole)
{
    const std::string kDropped = "from.bin not made: OS UI image incomplete\n";
    struct Case {
        const char *what;
        std::optional<std::string> one, zero; // staged copies; none when absent
        std::size_t filler;                   // bytes already in the RAM disk
        int found;                            // packages of the fixed-offset lookup
        bool written;
    } cases[] = {
        // one or two findable packages still make an image
        {"two packages", "head", image0(0, false), 0, 2, true},
        {"no image 0", "head", std::nullopt, 0, 0, false},
        {"image 0 without packages", "head", randomBytes(kImage, 7), 0, 0, false},
        // image 0 would land at the start of the flash
        {"empty image 1", "", image0(), 0, 3, false},
        {"no image 1", std::nullopt, image0(), 0, 3, false},
        // the halves do not fit behind the filler: the writes fall short
        {"RAM disk full", "head", image0(), 40u << 20, 3, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (const std::string &f : tmpFiles(h))
            h.machine().io().remove("/TMP/" + f);
        std::fill(std::begin(table), std::end(table), '\0');
        h.clearConsole();
        if (c.filler)
            putDeviceFile(h, "/TMP/filler", std::string(c.filler, 'f'));
        if (c.one)
            putDeviceFile(h, "/TMP/firmImage1.bin", *c.one);
        if (c.zero)
            putDeviceFile(h, "/TMP/firmImage0.bin", *c.zero);
        EXPECT_EQ(fromTenkai(), 0);
        EXPECT_EQ(countOf(h.console(), "can not UI Version dbNumber=" + std::to_string(c.found) + "\n"),
                  c.found == 3 ? 0u : 1u);
        EXPECT_EQ(countOf(h.console(), kDropped), c.written ? 0u : 1u);
        Files left = tmpFiles(h);
        left.erase("filler");
        EXPECT_EQ(left, c.written ? Files{"from.bin"} : Files{}) << "staged copies are gone";
        if (c.written) {
            EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/from.bin"), flashImage(*c.one, *c.zero)));
        }
        EXPECT_EQ(field(table, 3), c.found == 3 ? "V1.20 JA" : "");
    }
}

TEST_F(Staging, Image0LongerThanItsAreaIsRefused)
{
    putDeviceFile(h, "/TMP/firmImage1.bin", "head");
    putDeviceFile(h, "/TMP/firmImage0.bin", image0(kImage + 2));
    EXPECT_EQ(fromTenkai(), -1);
    EXPECT_EQ(h.console(), "firmImage0.bin size over\n");
    EXPECT_EQ(tmpFiles(h), Files{}); // no cut image left to be flashed

    std::string full = image0(kImage); // exactly 8 MiB is taken whole
    putDeviceFile(h, "/TMP/firmImage1.bin", "head");
    putDeviceFile(h, "/TMP/firmImage0.bin", full);
    EXPECT_EQ(fromTenkai(), 0);
    EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/from.bin"), flashImage("head", full)));
}

TEST_F(Staging, FlashImageFailures)
{
    for (auto [fault, console] : {std::pair{"open@/TMP/from.bin", "from.bin open error\n"},
                                  std::pair{"malloc:0:1", "malloc error \n"},    // transfer buffer
                                  std::pair{"malloc:1:1", "malloc error \n"}}) { // image area
        h.clearConsole();
        h.machine().faults() = host::Faults();
        h.machine().faults().add(fault);
        EXPECT_EQ(fromTenkai(), -1);
        EXPECT_EQ(h.console(), console);
    }
}

// ---- engine packages and version text ----

TEST_F(Staging, EnginePackagesMakeOnlyTheFilesTheyName)
{
    std::string img = image2(3); // no scanner
    putDeviceFile(h, "/TMP/firmImage2.bin", img + zlibPackage("/TMP/stale.tz", "x") + "tail");
    EXPECT_EQ(engTenkai(img.size()), 0); // the length ends the read before the stale package
    EXPECT_EQ(tmpFiles(h), (Files{"firmImage2.bin", "lsrfirm.tz", "pfcfirm.tz", "mfirm.tz"}));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(deviceFile(h, media::kUnits[i].dbName), unitContent(media::kUnits[i]));
    std::string n = std::to_string(img.size());
    EXPECT_EQ(h.console(), "totalSizeEng=" + n + "\nEng base  " + n + "\ncan not find start address\n");
    EXPECT_EQ((std::vector<std::string>{field(table, 4), field(table, 6), field(table, 5), field(table, 7)}),
              (std::vector<std::string>{"l1.03", "p1.03", "e1.03", ""}));

    h.clearConsole();
    putDeviceFile(h, "/TMP/firmImage2.bin", randomBytes(3000, 5));
    EXPECT_EQ(engTenkai(3000), 0); // no package is no error
    EXPECT_EQ(countOf(h.console(), "dlBoardUpdateHDMain:can not get DB infomation\n"), 1u);
}

TEST_F(Staging, EngineLimitsOfTableAndNameBuffer)
{
    std::string img;
    for (int i = 0; i < 17; ++i)
        img += zlibPackage("/TMP/p" + std::to_string(i), "content");
    putDeviceFile(h, "/TMP/firmImage2.bin", img);
    EXPECT_EQ(engTenkai(img.size()), 0);
    EXPECT_EQ(tmpFiles(h).size(), 17u); // the staged copy and 16 packages
    EXPECT_FALSE(tmpFiles(h).count("p16"));

    std::string name255 = "/TMP/" + std::string(250, 'n');
    img = zlibPackage(name255, "long") + zlibPackage(name255 + "x", "longer");
    putDeviceFile(h, "/TMP/firmImage2.bin", img);
    EXPECT_EQ(engTenkai(img.size()), -1);
    EXPECT_TRUE(h.console().ends_with("dlBoardUpdateHDMain:DB name too long\n"));
    EXPECT_EQ(deviceFile(h, name255), std::string("long"));
    EXPECT_EQ(tmpFiles(h).size(), 18u);
}

TEST_F(Staging, InflateIsTriedTwentyOneTimes)
{
    std::string img = image2(1);
    putDeviceFile(h, "/TMP/firmImage2.bin", img);
    putMedia(h, "1", stored(hddFile1()));
    for (auto [fault, result] : {std::pair{"archiver:0:20", 0}, std::pair{"archiver:0:21", -1}}) {
        for (bool engine : {true, false}) {
            h.clearConsole();
            h.machine().faults() = host::Faults();
            h.machine().faults().add(fault);
            EXPECT_EQ(engine ? engTenkai(img.size()) : hddTenkai(), result);
            EXPECT_EQ(countOf(h.console(), "dlBoardUpdateHDMain:reTry\n"), result ? 21u : 20u);
            EXPECT_EQ(countOf(h.console(), "dlBoardUpdateHDMain:inflate can not success\n"),
                      result ? 1u : 0u);
            EXPECT_EQ(tmpFiles(h).count("temp.db"), result ? 1u : 0u); // kept for a look
        }
    }
}

TEST_F(Staging, VersionTextMustBeTheFirstPackageUnderItsName)
{
    putMedia(h, "1", stored(hddFile1()));
    EXPECT_EQ(hddTenkai(), 0);
    std::string text = str(media::versionTextContent(kVersionText));
    EXPECT_EQ(deviceFile(h, "/TMP/sysDummy.txt"), text);
    EXPECT_EQ(
        countOf(h.console(), "BOOTHDLOADER_SYS_NAME_RAM fileSize=" + std::to_string(text.size()) + "\n"), 1u);
    EXPECT_EQ(tmpFiles(h), Files{"sysDummy.txt"});
    EXPECT_EQ(field(table, 0) + "/" + field(table, 9), "V1R2.10 A/DL01");

    for (const char *name : {"/ROM/other.txt", "/ROM/sysDummy.txt.old"}) {
        h.clearConsole();
        putMedia(h, "1", stored(hddFile1(name)));
        EXPECT_EQ(hddTenkai(), -1);
        EXPECT_EQ(h.console(), "can not find start address\n");  // the lookup's own end
        EXPECT_EQ(deviceFile(h, "/TMP/temp.db"), std::string()); // left empty
    }
    putMedia(h, "1", stored(randomBytes(70000, 8)));
    EXPECT_EQ(hddTenkai(), -1);
    EXPECT_TRUE(h.console().ends_with("dlBoardUpdateHDMain:can not get DB infomation\n"));
}

// ---- staging sequence ----

TEST_F(Staging, FullMediaGiveEveryTargetFileInEitherFolder)
{
    for (int flag : {1, 0}) {
        std::filesystem::remove_all(h.media() / "fwstore");
        usePaths(flag);
        putAll(flag == 1);
        putDeviceFile(h, "/TMP/firmImage0.bin", std::string(7 << 20, '\xAA')); // longer, left earlier
        EXPECT_EQ(stage(), 0);
        EXPECT_EQ(tmpFiles(h), kAllTargets);
        EXPECT_EQ(log(), kLog);
        EXPECT_TRUE(sameBytes(deviceFile(h, "/TMP/from.bin"), flashImage(img1, img0)));
        EXPECT_EQ(deviceFile(h, "/TMP/scmfirm.tz"), unitContent(media::kUnits[3]));
        EXPECT_EQ(field(table, 7), "s1.03");
        EXPECT_EQ(h.console().find("rror"), std::string::npos);
    }
}

TEST_F(Staging, PartialMediaAndTheSysVersion)
{
    // Nothing: only the log, without a SYS version.
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), Files{"HddUpdateProgress.log"});
    EXPECT_EQ(log(), "OS Version = BOOT V1.00\nSYS Version = \n");

    // Image 1 without image 0 is not staged; image 0 without image 1 stays.
    putMedia(h, "firmImage1.bin", stored(img1));
    putMedia(h, "1", stored(hddFile1()), false); // the model folder does not see it
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), Files{"HddUpdateProgress.log"});
    std::filesystem::remove(h.media() / "fwstore" / "firmImage1.bin");
    putMedia(h, "firmImage0.bin", stored(img0));
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), (Files{"firmImage0.bin", "HddUpdateProgress.log"}));
    EXPECT_EQ(h.console().find("SysVersion"), std::string::npos);

    // Unusable HDD file 1 without, then with, a flash image file.
    putMedia(h, "1", stored(hddFile1("/ROM/other.txt")));
    h.clearConsole();
    EXPECT_EQ(stage(), 0);
    EXPECT_TRUE(h.console().ends_with("Can not SysVersion\n"));
    EXPECT_EQ(h.console().find("FROM.bin"), std::string::npos); // no flash image file to fall back on
    putAll();
    putMedia(h, "1", stored(hddFile1("/ROM/other.txt")));
    h.clearConsole();
    EXPECT_EQ(stage(), 0);
    EXPECT_TRUE(h.console().ends_with("Can not SysVersion\nFROM.bin get SysVersion\n"));
    EXPECT_EQ(log(), "OS Version = BOOT V1.00\nSYS Version = V2R3.20 B\n");
}

TEST_F(Staging, StagedImage0CannotBeCreated)
{
    putAll();
    h.machine().faults().add("open@/TMP/firmImage0.bin");
    EXPECT_EQ(stage(), 0);
    // no OS UI image without image 0; the other targets are all made
    Files others = kAllTargets;
    others.erase("from.bin");
    EXPECT_EQ(tmpFiles(h), others);
    EXPECT_EQ(countOf(h.console(), "can not UI Version dbNumber=0\n"), 1u);
}

TEST_F(Staging, ImagesOfAnEarlierSessionAreNotOffered)
{
    for (const char *name : {"from.bin", "lsrfirm.tz", "pfcfirm.tz", "mfirm.tz", "scmfirm.tz"})
        putDeviceFile(h, std::string("/TMP/") + name, "earlier");
    putMedia(h, "1", stored(hddFile1()));
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), (Files{"sysDummy.txt", "HddUpdateProgress.log"}));
}

TEST_F(Staging, FailuresEndStagingBeforeTheLog)
{
    struct Case {
        const char *fault;
        std::string img0, image2, console;
        Files files;
    } cases[] = {
        {"open@/TMP/from.bin",
         image0(),
         image2(),
         "from.bin open error\nFromTenkai error\n",
         {"firmImage0.bin", "firmImage1.bin"}},
        {"", image0(kImage + 2), image2(), "firmImage0.bin size over\nFromTenkai error\n", {}},
        {"archiver",
         "",
         image2(1),
         "inflate can not success\nEngTenkai error\n",
         {"firmImage2.bin", "temp.db", "lsrfirm.tz"}},
        {"",
         "",
         zlibPackage("/TMP/" + std::string(300, 'n'), "x"),
         "dlBoardUpdateHDMain:DB name too long\nEngTenkai error\n",
         {"firmImage2.bin"}},
        {"open@/TMP/temp.db",
         "",
         image2(1),
         "dlBoardUpdateHDMain: can not open file\nEngTenkai error\n",
         {"firmImage2.bin"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.console);
        for (const std::string &f : tmpFiles(h))
            h.machine().io().remove("/TMP/" + f);
        std::filesystem::remove_all(h.media());
        if (!c.img0.empty()) {
            putMedia(h, "firmImage0.bin", stored(c.img0));
            putMedia(h, "firmImage1.bin", stored(img1));
        }
        putMedia(h, "firmImage2.bin", stored(c.image2));
        putMedia(h, "1", stored(hddFile1()));
        h.machine().faults() = host::Faults();
        if (*c.fault)
            h.machine().faults().add(c.fault);
        h.clearConsole();
        EXPECT_EQ(stage(), -1);
        EXPECT_TRUE(h.console().ends_with(c.console)) << h.console();
        EXPECT_EQ(tmpFiles(h), c.files);
    }
}

TEST_F(Staging, LogThatCannotBeOpenedIsNoFailure)
{
    putMedia(h, "1", stored(hddFile1()));
    h.machine().faults().add("open@/TMP/HddUpdateProgress.log");
    EXPECT_EQ(stage(), 0);
    EXPECT_EQ(tmpFiles(h), Files{"sysDummy.txt"});
}

} // namespace
