// Whole update sessions that end early or fail: the ROMDATA check, staging
// failures, and failures of the flash ROM, the sub-units, the tasks and
// queues and the HDD loading, driven through `dlupdate run --fault`.
#include "e2e_support.h"

#include <random>
#include <set>

namespace testing_support {
namespace {

const Bytes kErasedFlash(16u << 20, 0xFF);

std::set<std::string> ramdiskNames(const Session &s)
{
    std::set<std::string> n;
    for (const auto &[name, bytes] : s.ramdiskFiles())
        n.insert(name.substr(5)); // without "/TMP/"
    return n;
}

long count(const std::vector<std::string> &lines, const std::string &line)
{
    return std::count(lines.begin(), lines.end(), line);
}

bool nothingUpdated(const MachineView &m)
{
    return m.flashErased() && !m.unit("lsr") && !m.unit("pfc") && !m.unit("engine") && !m.unit("scanner") &&
           m.disk().empty();
}

// A session ended by the driver after a failed update: exit(1), the failed
// text in row 13, and none of the NVRAM clearing of a completed session.
void expectFailedSession(const Session &s, const Outcome &o)
{
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_TRUE(o.err.ends_with("session 1: exit(1)\n")) << o.err;
    ASSERT_FALSE(o.out.empty());
    EXPECT_EQ(o.lines().back(), "Download -> Failed");
    EXPECT_EQ(cells(s.panel(), 13, 42, 21), "    Update Failed.   ");
    EXPECT_EQ(s.machine.updateMode(), 1u);
}

TEST(E2eEarlyEnd, RomdataMismatchStopsBeforeTheMenu)
{
    Session s;
    s.media = sharedMedia("romdata-02", [](json &m) { m["hdd"]["versionText"]["major"] = "02"; });
    MediaView media(s.media);
    ASSERT_EQ(systemVersion(media), "V102.10 A");

    Outcome o = s.run({"--keys", "ok"});
    EXPECT_EQ(o.status, 1);
    // The menu never came: its confirm key is said unused.
    EXPECT_EQ(o.err, "session 1: exit(1)\ndlupdate run: 1 key-script entry left unused: ok\n");
    std::vector<std::string> want = stagingConsole(media, "FOLROOT");
    for (const auto &line : fileSizeLines(media))
        want.push_back(line);
    EXPECT_EQ(o.lines(), want) << "nothing after the availability check";
    EXPECT_EQ(s.panel(), Screen()
                             .put(10, 2, "-----WARNING: ROMDATA MISMATCH!!----")
                             .put(13, 3, "ROMDATA Version is V102.10 A")
                             .put(10, 4, "Please REBOOT to use Correct ROMDATA")
                             .dump());
    // The board's update flag was turned on before the check; nothing was
    // rewritten, and every staged file stays, the version text included.
    EXPECT_EQ(s.machine.updateMode(), 1u);
    EXPECT_EQ(s.machine.rewriteFlags(), 0u);
    EXPECT_TRUE(nothingUpdated(s.machine));
    EXPECT_EQ(ramdiskNames(s),
              (std::set<std::string>{"HddUpdateProgress.log", "from.bin", "lsrfirm.tz", "mfirm.tz",
                                     "pfcfirm.tz", "scmfirm.tz", "sysDummy.txt"}));
}

// Media whose PFC package does not inflate: its zlib header is spoilt.
fs::path mediaWithDamagedPfcPackage(const fs::path &dir)
{
    fs::path media = dir / "media";
    fs::copy(sharedMedia("sample"), media, fs::copy_options::recursive);
    fs::path file = media / "fwstore" / "firmImage2.bin";
    Bytes image = swapPairs(readBytes(file));
    const std::string kData = "DATASTART\n";
    auto at = std::search(image.begin(), image.end(), kData.begin(), kData.end());
    at = std::search(at + 1, image.end(), kData.begin(), kData.end()); // the second package
    if (at == image.end())
        throw std::runtime_error("no second package in " + file.string());
    at[10] = at[11] = 0xFF;
    testing_support::writeFile(file, swapPairs(image));
    return media;
}

TEST(E2eEarlyEnd, StagingFailureShowsInflateError)
{
    MediaView sample(sharedMedia("sample"));
    Bytes engine = sample.image(2);
    std::vector<std::string> damaged = {
        "FOLROOT", "ramdevice_48", "totalSizeEng=" + std::to_string(engine.size()),
        "Eng base  " + std::to_string(engine.size()), chainEnd(engine, engine.size())};
    damaged.insert(damaged.end(), 21, "dlBoardUpdateHDMain:reTry");
    damaged.insert(damaged.end(), {"dlBoardUpdateHDMain:inflate can not success", "EngTenkai error"});
    struct Case {
        const char *what;
        bool damage;
        std::vector<std::string> faults;
        std::vector<std::string> console;
        std::set<std::string> ramdisk;
    } cases[] = {
        {"damaged engine package",
         true,
         {},
         damaged,
         // LSR expanded before; the failed package's files stay.
         {"firmImage2.bin", "from.bin", "lsrfirm.tz", "pfcfirm.tz", "temp.db"}},
        {"flash image file cannot be opened",
         false,
         {"--fault", "open@/TMP/from.bin"},
         {"FOLROOT", "ramdevice_48", "from.bin open error", "FromTenkai error"},
         {"firmImage0.bin", "firmImage1.bin"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = c.damage ? mediaWithDamagedPfcPackage(s.dir.path()) : sharedMedia("sample");
        std::vector<std::string> args = {"--keys", "ok"};
        args.insert(args.end(), c.faults.begin(), c.faults.end());
        Outcome o = s.run(args);
        EXPECT_EQ(o.status, 2) << o.err;
        EXPECT_TRUE(o.err.ends_with("session 1: returned -1\n"
                                    "dlupdate run: 1 key-script entry left unused: ok\n"))
            << o.err;
        EXPECT_EQ(o.lines(), c.console);
        EXPECT_EQ(s.panel(), Screen()
                                 .put(2, 2, "   Inflate Error")
                                 .put(2, 3, "   Please Change USB Storage or Please Check ROMDATA")
                                 .dump());
        EXPECT_EQ(ramdiskNames(s), c.ramdisk);
        EXPECT_TRUE(sameBytes(s.machine.nvram(), Bytes(65536, 0))) << "no NVRAM change at all";
        EXPECT_TRUE(nothingUpdated(s.machine));
    }
}

TEST(E2eFailures, FlashRomRewrite)
{
    MediaView media(sharedMedia("sample"));
    struct Case {
        const char *fault;
        int status;
        const char *line; // on the console, once
        int verifies;     // read-back passes drawn
        bool newImage;    // else the flash stays erased
        std::uint32_t flags;
    } cases[] = {
        // The first read-back fails: erase, write and verify once more.
        {"flash-verify:0:1", 0, "[dlFirmRewrite]frwRewrite: done.", 2, true, 0},
        // Every erase fails: two attempts, nothing written, the flag stays.
        {"flash-erase", 1, "Download -> Failed", 0, false, 0x01},
        // Written and verified, but the flag cannot be cleared.
        {"nvram-clear:0:1", 1, "[dlFirmRewrite]NVMFlagClearERROR!!", 1, true, 0x01},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        Session s;
        s.media = sharedMedia("sample");
        Outcome o = s.run({"--keys", "ok", "--fault", c.fault});
        EXPECT_EQ(o.status, c.status) << o.err;
        auto lines = o.lines();
        EXPECT_EQ(count(lines, c.line), 1);
        EXPECT_EQ(count(lines, "[dlFirmRewrite]frwRewrite: done."), c.status == 0 ? 1 : 0);
        auto from = drawsOf(s.trace(), "tdlFirmFromUpdate");
        EXPECT_EQ(std::count(from.begin(), from.end(), Draw{"tdlFirmFromUpdate", 24, 5, "Verifying   "}),
                  c.verifies);
        EXPECT_TRUE(sameBytes(s.machine.flash(), c.newImage ? media.flashAfterUpdate() : kErasedFlash));
        EXPECT_EQ(s.machine.rewriteFlags(), c.flags);
        if (c.status == 0) {
            EXPECT_EQ(lines.back(), "Download -> OK");
            EXPECT_EQ(cells(s.panel(), 3, 67, 9), "Completed");
            continue;
        }
        expectFailedSession(s, o);
        EXPECT_EQ(cells(s.panel(), 3, 67, 12), "Failed      ");
        EXPECT_EQ(cells(s.panel(), 4, 24, 15), "Failed         ");
        EXPECT_TRUE(sameBytes(s.ramdiskFiles()["/TMP/from.bin"], media.flashImage())) << "the image stays";
        // The other items went on and completed; no log copy for a task
        // other than the HDD one.
        EXPECT_TRUE(s.machine.unit("scanner"));
        EXPECT_EQ(s.machine.disk().count("/UND/HddUpdateProgress.log"), 0u);
    }
}

// OS UI is left out where it is not what is tested: its read-back is the
// slowest step of a session.
TEST(E2eFailures, SubUnitRewrites)
{
    struct Case {
        const char *fault;
        const char *keys;
        int failedRow;
        std::vector<int> titledRows; // engine-side and scanner rows with a title
        std::set<std::string> rewritten;
        std::set<std::string> left; // images left in the RAM disk
    } cases[] = {
        // LSR fails with PFC and Engine chosen: they are neither shown nor
        // tried, and all three images stay.
        {"unit.lsr", "1,ok", 5, {5, 8}, {"scanner"}, {"lsrfirm.tz", "pfcfirm.tz", "mfirm.tz"}},
        // PFC fails with LSR left out: LSR's image is removed untouched.
        {"unit.pfc", "1,3,ok", 6, {6, 8}, {"scanner"}, {"pfcfirm.tz", "mfirm.tz"}},
        {"unit.scanner", "1,ok", 8, {5, 6, 7, 8}, {"lsr", "pfc", "engine"}, {"scmfirm.tz"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        Session s;
        s.media = sharedMedia("sample");
        Outcome o = s.run({"--keys", c.keys, "--fault", c.fault});
        expectFailedSession(s, o);
        std::string panel = s.panel();
        EXPECT_EQ(cells(panel, c.failedRow, 67, 15), "Failed         ");
        for (int row = 5; row <= 8; ++row) {
            bool titled = std::find(c.titledRows.begin(), c.titledRows.end(), row) != c.titledRows.end();
            EXPECT_EQ(cells(panel, row, 42, 1) != " ", titled) << "row " << row;
        }
        for (const char *unit : {"lsr", "pfc", "engine", "scanner"})
            EXPECT_EQ(s.machine.unit(unit).has_value(), c.rewritten.count(unit) == 1) << unit;
        std::set<std::string> ramdisk = ramdiskNames(s);
        ramdisk.erase("HddUpdateProgress.log");
        EXPECT_EQ(ramdisk, c.left);
        // HDD completed and cleared its flag; OS UI was left out.
        EXPECT_EQ(s.machine.rewriteFlags(), 0u);
        EXPECT_EQ(cells(panel, 3, 42, 1), " ");
        EXPECT_EQ(cells(panel, 4, 67, 9), "Completed");
        EXPECT_TRUE(s.machine.flashErased());
    }
}

// The driver's own failures around the update tasks. Queue creations are
// counted over the run: the menu's key queue is the first, the four result
// queues are the second to fifth, and the HDD task's loader queue the sixth.
TEST(E2eFailures, TasksAndQueues)
{
    struct Case {
        const char *fault;
        int status;
        std::vector<std::string> tail; // the console's last lines
        bool tasksRan;
        bool logCopied; // to "/UND/HddUpdateProgress.log"
        std::uint32_t flags;
    } cases[] = {
        {"spawn.tdlFirmScnUpdate", 1, {"can not dlFirmScnUpdate_USB task"}, true, false, 0},
        // The -1 posted in the HDD task's place copies the progress log.
        {"spawn.tdlFirmHdUpdate", 1, {"can not dlFirmHdUpdate_USB task"}, true, true, 0},
        {"msgq-create:1:1", 2, {"dlBoardMsgRcvBuf3[1]:34", "massage Q create failed"}, false, false, 0},
        {"msgq-create:4:1", 2, {"dlBoardMsgRcvBuf3[1]:34", "massage Q create failed"}, false, false, 0},
        {"msgq-create:5:1", 1, {"Download -> Failed"}, true, true, 0x10},
        // The session's last receive, of a task that finished: the session
        // still fails, as it cannot know that it did.
        {"msgq-receive:8:1", 1, {"massage Q receive error"}, true, false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        Session s;
        s.media = sharedMedia("sample");
        Outcome o = s.run({"--keys", "1,ok", "--fault", c.fault});
        EXPECT_EQ(o.status, c.status) << o.err;
        auto lines = o.lines();
        if (c.status == 1) {
            expectFailedSession(s, o);
            EXPECT_EQ(count(lines, c.tail.front()), 1);
        } else {
            // No task started: the failure is drawn where the update
            // screen's title would be followed by the tasks' rows.
            ASSERT_GE(lines.size(), c.tail.size());
            EXPECT_EQ(std::vector(lines.end() - static_cast<long>(c.tail.size()), lines.end()), c.tail);
            EXPECT_EQ(s.panel(), Screen()
                                     .put(2, 0, "Download Storage Firmware Update Mode")
                                     .put(42, 0, "dlFirmWare Version V1.05")
                                     .put(10, 13, "    Update Failed.")
                                     .dump());
        }
        EXPECT_EQ(s.machine.unit("lsr").has_value(), c.tasksRan);
        EXPECT_EQ(s.machine.rewriteFlags(), c.flags);
        auto disk = s.machine.disk();
        EXPECT_EQ(disk.count("/UND/HddUpdateProgress.log"), c.logCopied ? 1u : 0u);
        if (c.logCopied) {
            EXPECT_EQ(disk["/UND/HddUpdateProgress.log"], s.ramdiskFiles()["/TMP/HddUpdateProgress.log"]);
        }
    }
}

// The HDD loading: a package that cannot be expanded 21 times running makes
// its loader give up; the file gets one more attempt, which either loads it
// or fails the HDD update.
TEST(E2eFailures, HddFileLoadedOnItsSecondAttemptOrNotAtAll)
{
    MediaView media(sharedMedia("sample"));
    const std::string firstHddExpansion = std::to_string(stagingExpansions(media));
    struct Case {
        std::string fault;
        int status;
        long giveUps;
    } cases[] = {
        {"archiver:" + firstHddExpansion + ":21", 0, 1},
        {"archiver:" + firstHddExpansion, 1, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        Session s;
        s.media = sharedMedia("sample");
        Outcome o = s.run({"--keys", "1,ok", "--fault", c.fault});
        EXPECT_EQ(o.status, c.status) << o.err;
        auto lines = o.lines();
        EXPECT_EQ(count(lines, "bootHdLoaderUSBHdUpdate:reTry"), 21 * c.giveUps);
        EXPECT_EQ(count(lines, "bootHdLoaderUSBHdUpdate:inflate can not success"), c.giveUps);
        EXPECT_EQ(count(lines, "USB HDD Update Error"), c.giveUps);
        std::string log = textOf(s.ramdiskFiles()["/TMP/HddUpdateProgress.log"]);
        auto logLines = splitLines(log);
        EXPECT_EQ(count(logLines,
                        "[dlFirmHdLoaderUSBHdUpdate] dlBoardArchiver() error. reTry /ROM/sysDummy.txt  0/" +
                            std::to_string(hddParts(media)[0].packages)),
                  21 * c.giveUps);
        EXPECT_EQ(count(logLines, "[dlFirmHdUpdate_USB] USB HDD Update Error"), c.giveUps);
        // The loader that gave up left the compressed package and what the
        // archiver made of it on the disk.
        auto disk = s.machine.disk();
        ASSERT_EQ(disk.count("/UND/temp.db"), 1u);
        ASSERT_EQ(disk.count("/UND/NG.bin"), 1u);
        EXPECT_EQ(disk["/UND/NG.bin"], Bytes{});
        if (c.status == 0) {
            EXPECT_EQ(lines.back(), "Download -> OK");
            EXPECT_EQ(count(logLines, "[dlFirmHdUpdate_USB] HddRetryCount == 1"), 0);
            EXPECT_EQ(s.machine.rewriteFlags(), 0u);
            disk.erase("/UND/temp.db");
            disk.erase("/UND/NG.bin");
            EXPECT_TRUE(sameFiles(disk, diskAfterUpdate(media)));
            continue;
        }
        expectFailedSession(s, o);
        EXPECT_EQ(logLines.back(), "[dlFirmHdUpdate_USB] HddRetryCount == 1");
        EXPECT_EQ(textOf(disk["/UND/HddUpdateProgress.log"]), log);
        EXPECT_EQ(s.machine.rewriteFlags(), 0x10u);
        EXPECT_EQ(cells(s.panel(), 4, 67, 9), "Failed   ");
        EXPECT_EQ(cells(s.panel(), 7, 0, 33), "  Download Storage -> HDD copying");
        EXPECT_TRUE(s.ramdiskFiles().count("/TMP/temp.db"));
    }
}

// Media that would lose data, and sessions after other sessions: the run
// never says "Completed" while the machine holds less than the media
// carried, and never offers what is not on the stick in hand. Each ending
// is checked on the machine folder, and a failed HDD update is followed by
// a session with the sound sample, which completes and clears its flag.
TEST(E2eFailures, NoSuccessWithDataMissing)
{
    const fs::path fwOf = "fwstore";
    auto randomFile = [](const fs::path &file, std::size_t bytes) {
        Bytes b(bytes);
        std::mt19937 gen(12);
        for (auto &x : b)
            x = static_cast<std::uint8_t>(gen());
        testing_support::writeFile(file, b);
    };
    // HDD file 4 (after the sample's three) holding 2,101 small packages:
    // the last part buffer holds more than the loader's table.
    // File 3 of the sample ends with its last package's CR LF and a pad
    // byte: the pad goes, and file 4 takes up the chain from the LF on.
    auto manyPackages = [](const fs::path &fw) {
        fs::resize_file(fw / "3", fs::file_size(fw / "3") - 2);
        std::string chain = "\n";
        for (int i = 0; i < 2101; ++i) {
            std::string content = std::to_string(i);
            Bytes z(compressBound(static_cast<uLong>(content.size())));
            uLongf zLength = static_cast<uLongf>(z.size());
            compress(z.data(), &zLength, reinterpret_cast<const Bytef *>(content.data()),
                     static_cast<uLong>(content.size()));
            chain += "EXPANDEDSIZE\n" + std::to_string(content.size()) + '\0' + "COMPRESSEDSIZE\n" +
                     std::to_string(zLength) + '\0' + "DBNAME\n/UND/many/p" + std::to_string(i) + '\0' +
                     "VERSION\nV1" + '\0' + "COMMENT\nHDD_SYS" + '\0' + "DATASTART\n" +
                     std::string(z.begin(), z.begin() + static_cast<long>(zLength)) + "\r\n";
        }
        if (chain.size() % 2)
            chain += '\xFF'; // stored even; a byte more past the chain is lost anyway
        testing_support::writeFile(fw / "4", swapPairs(Bytes(chain.begin(), chain.end())));
    };
    struct Case {
        const char *what;
        std::function<void(const fs::path &)> damage; // on the fwstore folder
        std::vector<std::string> args;
        int status;
        std::string said;    // a console line beginning so
        std::string offered; // the last session's available items
        bool flashWritten;
        std::uint32_t flags;
        bool hddFailed; // the HDD task failed: its log is copied to "/UND"
    } cases[] = {
        {"image 0 of random bytes",
         [&](const fs::path &fw) { randomFile(fw / "firmImage0.bin", 6u << 20); },
         {"--keys", "ok"},
         0,
         "from.bin not made",
         "7c",
         false,
         0,
         false},
        {"staged copy of image 0 cannot be made",
         {},
         {"--keys", "ok", "--fault", "open@/TMP/firmImage0.bin"},
         0,
         "can not UI Version dbNumber=0",
         "7c",
         false,
         0,
         false},
        {"staged copy of image 1 cannot be read again",
         {},
         {"--keys", "ok", "--fault", "open@/TMP/firmImage1.bin:1:1"},
         0,
         "from.bin not made",
         "7c",
         false,
         0,
         false},
        {"empty image 1",
         [](const fs::path &fw) { testing_support::writeFile(fw / "firmImage1.bin", Bytes{}); },
         {"--keys", "ok"},
         0,
         "from.bin not made",
         "7c",
         false,
         0,
         false},
        // staged beside image 0 it fits the RAM disk; the flash image file does not
        {"image 1 of 40 MiB",
         [&](const fs::path &fw) { randomFile(fw / "firmImage1.bin", 40u << 20); },
         {"--keys", "ok"},
         0,
         "from.bin not made",
         "7c",
         false,
         0,
         false},
        {"last HDD file cut inside a package",
         [](const fs::path &fw) {
             fs::resize_file(fw / "3", (fs::file_size(fw / "3") - 100) & ~std::uintmax_t(1));
         },
         {"--keys", "1,ok"},
         1,
         "USB HDD last file error: ",
         "7e",
         false,
         0x10,
         true},
        {"2,101 packages in the last part buffer",
         manyPackages,
         {"--keys", "1,ok"},
         1,
         "USB HDD last file error: ",
         "7e",
         false,
         0x10,
         true},
        // there when the item was offered, gone when the update reads the series
        {"HDD file 3 gone during the session",
         {},
         {"--keys", "1,ok", "--fault", "open@/usbstor/0/fwstore/3:1:1"},
         1,
         "USB HDD file 3 missing",
         "7e",
         false,
         0x10,
         true},
        // the flash task sets its flag first, the HDD task second
        {"HDD flag cannot be set",
         {},
         {"--keys", "ok", "--fault", "nvram-set:1:1"},
         1,
         "HDD NVRAM flag set error",
         "7e",
         true,
         0,
         true},
        // the bounded reader's 64 KiB buffer, taken for HDD file 1's head
        // (the module's twelfth allocation): the driver task ends in staging
        {"the memory reader's buffer cannot be had",
         {},
         {"--keys", "ok", "--fault", "malloc:11:1"},
         1,
         "malloc error ",
         "",
         false,
         0,
         false},
        // no firmImage2.bin for the second session: the PFC and Engine
        // images the first one left are not offered
        {"PFC failed, then a stick without image 2",
         {},
         {"--sessions", "2", "--keys", "1,ok,ok", "--fault", "unit.pfc:0:1", "--fault",
          "open@/usbstor/0/fwstore/firmImage2.bin:1"},
         0,
         "Download -> OK",
         "6",
         true,
         0,
         false},
        // no HDD file 1 for the second session (staging, the availability
        // check and the HDD task open it once each in the first)
        {"HDD files, then a stick without them",
         {},
         {"--sessions", "2", "--keys", "1,ok,1,ok", "--fault", "open@/usbstor/0/fwstore/1:3"},
         0,
         "Download -> OK",
         "7a",
         false,
         0,
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = s.dir / "media";
        fs::copy(sharedMedia("sample"), s.media, fs::copy_options::recursive);
        if (c.damage)
            c.damage(s.media / fwOf);
        Outcome o = s.run(c.args);
        EXPECT_EQ(o.status, c.status) << o.err;
        auto lines = o.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                [&](const std::string &l) { return l.starts_with(c.said); }))
            << "wanted: " << c.said << "\n"
            << o.out;
        std::string offered;
        for (const auto &l : lines)
            if (l.starts_with("dlFirmUpdateModuleEnableFlag:"))
                offered = l.substr(29);
        EXPECT_EQ(offered, c.offered);
        EXPECT_EQ(!s.machine.flashErased(), c.flashWritten);
        EXPECT_EQ(s.machine.rewriteFlags(), c.flags);
        auto disk = s.machine.disk();
        EXPECT_EQ(disk.count("/UND/HddUpdateProgress.log"), c.hddFailed ? 1u : 0u);
        if (c.offered.empty()) {
            EXPECT_EQ(o.err, "fault malloc: malloc(65536) fails\nsession 1: exit(1)\n"
                             "dlupdate run: 1 key-script entry left unused: ok\n");
            EXPECT_EQ(lines.back(), c.said);
            EXPECT_TRUE(nothingUpdated(s.machine));
        } else if (c.status == 1) {
            expectFailedSession(s, o);
        } else {
            EXPECT_EQ(lines.back(), "Download -> OK");
            EXPECT_EQ(cells(s.panel(), 13, 42, 21), "    Update Completed.");
            // every unit offered was chosen and rewritten
            const unsigned long items = std::stoul(c.offered, nullptr, 16);
            for (auto [bit, unit] : {std::pair{0x08ul, "lsr"}, std::pair{0x10ul, "pfc"},
                                     std::pair{0x20ul, "engine"}, std::pair{0x40ul, "scanner"}})
                if (items & bit) {
                    EXPECT_TRUE(s.machine.unit(unit)) << unit;
                }
        }
        if (c.hddFailed) {
            EXPECT_EQ(cells(s.panel(), 4, 67, 9), "Failed   ");
            EXPECT_EQ(disk["/UND/HddUpdateProgress.log"], s.ramdiskFiles()["/TMP/HddUpdateProgress.log"]);
            // the sound stick then completes the HDD update and clears the flag
            s.media = sharedMedia("sample");
            Outcome again = s.run({"--keys", "1,ok"});
            EXPECT_EQ(again.status, 0) << again.err;
            EXPECT_EQ(s.machine.rewriteFlags(), 0u);
            disk = s.machine.disk();
            // left by the failed session
            std::erase_if(disk, [](const auto &f) {
                return f.first == "/UND/HddUpdateProgress.log" || f.first.starts_with("/UND/many/");
            });
            EXPECT_TRUE(sameFiles(disk, diskAfterUpdate(MediaView(s.media))));
        }
    }
}

} // namespace
} // namespace testing_support

namespace testing_support {
namespace {

// The stored file's view with the pair swap undone, edited, stored again.
void editView(const fs::path &file, const std::function<void(std::string &)> &edit)
{
    Bytes stored = readBytes(file);
    Bytes v = swapPairs(stored);
    std::string s(v.begin(), v.end());
    edit(s);
    testing_support::writeFile(file, swapPairs(Bytes(s.begin(), s.end())));
}

// The first numeric value of `key` at or after `from`, changed by `delta`.
void addToValue(std::string &v, const std::string &key, std::size_t from, long delta)
{
    std::size_t at = v.find(key + "\n", from) + key.size() + 1;
    std::size_t end = v.find('\0', at);
    v.replace(at, end - at, std::to_string(std::stol(v.substr(at, end - at)) + delta));
}

// A stick damaged as copy tools and worn sticks damage them: no item may
// show "Completed" unless its target holds exactly what the sound stick
// puts there; the damaged items fail or are not offered, and a failed HDD
// update keeps its flag until a sound stick completes it.
TEST(E2eDamage, CompletedOnlyWithWhatTheSoundStickCarries)
{
    // The rows of the six items on the panel and what each rewrites.
    enum Item { kUi, kHdd, kLsr, kPfc, kEngine, kScanner };
    const char *unitOf[] = {"", "", "lsr", "pfc", "engine", "scanner"};

    Session reference;
    reference.media = sharedMedia("sample");
    ASSERT_EQ(reference.run({"--keys", "ok"}).status, 0);
    const Bytes refFlash = reference.machine.flash();
    const auto refDisk = reference.machine.disk();

    struct Case {
        const char *what;
        std::function<void(const fs::path &)> damage; // on the fwstore folder
        std::vector<std::string> extra;
        int status;
        std::string said; // a console line beginning so
        std::string rows; // per item: C completed, F failed, - not shown
        std::uint32_t flags;
    } cases[] = {
        {"DATASTART of the laser package broken",
         [](const fs::path &fw) {
             editView(fw / "firmImage2.bin", [](std::string &v) { v[v.find("DATASTART\n") + 8] = 'X'; });
         },
         {},
         0,
         "damaged package at 0: another header before DATASTART",
         "CC----",
         0},
        {"HDD file 2 cut at a package boundary: file 3 begins inside a package",
         [](const fs::path &fw) {
             editView(fw / "2", [](std::string &v) {
                 std::size_t at = v.find("\r\nEXPANDEDSIZE");
                 while (at % 2)
                     at = v.find("\r\nEXPANDEDSIZE", at + 1);
                 v.resize(at + 2);
             });
         },
         {},
         1,
         "damaged package at 0: no header where the package begins",
         "CFCCCC",
         0x10},
        {"COMPRESSEDSIZE 1,000 too large in HDD file 1",
         [](const fs::path &fw) {
             editView(fw / "1",
                      [](std::string &v) { addToValue(v, "COMPRESSEDSIZE", v.find("DATASTART\n"), 1000); });
         },
         {},
         1,
         "bootHdLoaderUSBHdUpdate:damaged package in file 1",
         "CFCCCC",
         0x10},
        {"EXPANDEDSIZE of the PFC package one too large",
         [](const fs::path &fw) {
             editView(fw / "firmImage2.bin",
                      [](std::string &v) { addToValue(v, "EXPANDEDSIZE", v.find("PFC_FIRM"), 1); });
         },
         {},
         2,
         "dlBoardUpdateHDMain:inflate can not success",
         "------",
         0},
        {"firmImage0.bin cut by 798 bytes",
         [](const fs::path &fw) {
             fs::resize_file(fw / "firmImage0.bin", fs::file_size(fw / "firmImage0.bin") - 798);
         },
         {},
         0,
         "from.bin not made",
         "-CCCCC",
         0},
        {"firmImage0.bin cut inside its first package",
         [](const fs::path &fw) { fs::resize_file(fw / "firmImage0.bin", 0x280000 + 600); },
         {},
         0,
         "from.bin not made",
         "-CCCCC",
         0},
        {"one bit of a flash ROM package's data flipped",
         [](const fs::path &fw) {
             editView(fw / "firmImage0.bin",
                      [](std::string &v) { v[v.find("DATASTART\n", 0x310000) + 40] ^= 0x10; });
         },
         {},
         0,
         "UI package 2 does not expand to its size",
         "-CCCCC",
         0},
        {"100 zero bytes after the HDD chain",
         [](const fs::path &fw) { editView(fw / "3", [](std::string &v) { v += std::string(100, '\0'); }); },
         {},
         0,
         "Download -> OK",
         "CCCCCC",
         0},
        {"zero bytes and one other after the HDD chain",
         [](const fs::path &fw) {
             editView(fw / "3", [](std::string &v) { v += std::string(99, '\0') + "x"; });
         },
         {},
         1,
         "USB HDD last file error: ",
         "CFCCCC",
         0x10},
        {"the HDD flag cannot be set",
         {},
         {"--fault", "nvram-set:1:1"},
         1,
         "HDD NVRAM flag set error",
         "CFCCCC",
         0},
        {"no memory for the reader of HDD file 1",
         {},
         {"--fault", "malloc:15:1"},
         1,
         "can not malloc memory",
         "CFCCCC",
         0x10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = s.dir / "media";
        fs::copy(sharedMedia("sample"), s.media, fs::copy_options::recursive);
        if (c.damage)
            c.damage(s.media / "fwstore");
        std::vector<std::string> args{"--keys", "ok"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        Outcome o = s.run(args);
        EXPECT_EQ(o.status, c.status) << o.err;
        auto lines = o.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                [&](const std::string &l) { return l.starts_with(c.said); }))
            << "wanted: " << c.said << "\n"
            << o.out;
        const std::string panel = s.panel();
        for (int item = kUi; item <= kScanner; ++item) {
            SCOPED_TRACE(item);
            const std::string title = cells(panel, 3 + item, 42, 22), end = cells(panel, 3 + item, 67, 9);
            const char want = c.rows[static_cast<std::size_t>(item)];
            // a row that shows an ending shows its title too
            EXPECT_EQ(title.find(" Update ") != std::string::npos, want != '-') << title;
            EXPECT_EQ(end.rfind("Completed", 0) == 0, want == 'C') << end;
            EXPECT_EQ(end.rfind("Failed", 0) == 0, want == 'F') << end;
            const bool done = want == 'C';
            if (item == kUi)
                EXPECT_EQ(s.machine.flash() == refFlash, done);
            else if (item == kHdd)
                EXPECT_EQ(sameFiles(s.machine.disk(), refDisk), done);
            else
                EXPECT_EQ(s.machine.unit(unitOf[item]) == reference.machine.unit(unitOf[item]), done);
        }
        EXPECT_EQ(s.machine.rewriteFlags(), c.flags);
        if (c.flags) {
            // the sound stick completes what the damaged one left
            s.media = sharedMedia("sample");
            ASSERT_EQ(s.run({"--keys", "ok"}).status, 0);
            EXPECT_EQ(s.machine.rewriteFlags(), 0u);
            EXPECT_TRUE(sameFiles(s.machine.disk(), refDisk));
        }
    }
}

// Image 0 that cannot be flashed does not take the ROMDATA check with it:
// the system version then comes from image 1's head, as when the flash
// image file is made.
TEST(E2eDamage, RomdataCheckedWithoutAFlashImageFile)
{
    Session s;
    s.media = s.dir / "media";
    fs::copy(sharedMedia("sample"), s.media, fs::copy_options::recursive);
    const fs::path fw = s.media / "fwstore";
    editView(fw / "firmImage1.bin", [](std::string &v) { v[27] = 'X'; });
    editView(fw / "firmImage0.bin",
             [](std::string &v) { v.replace(v.find("DATASTART\n"), 10, "DATASTARX\n"); });
    editView(fw / "1", [](std::string &v) { v[v.find("/ROM/sysDummy.txt") + 16] = 'x'; });

    Outcome o = s.run({"--keys", "ok"});
    EXPECT_EQ(o.status, 1) << o.err;
    auto lines = o.lines();
    EXPECT_EQ(count(lines, "from.bin not made: OS UI image incomplete"), 1);
    EXPECT_EQ(count(lines, "FROM.bin get SysVersion"), 1);
    EXPECT_EQ(cells(s.panel(), 2, 10, 36), "-----WARNING: ROMDATA MISMATCH!!----");
    EXPECT_EQ(cells(s.panel(), 3, 13, 28), "ROMDATA Version is V1X2.10 A");
    EXPECT_TRUE(nothingUpdated(s.machine));
}

} // namespace
} // namespace testing_support
