// The HDD update task and its loader run as the session driver runs them:
// files, remainders, repetitions, panel rows, log text, "/UND" leftovers,
// NVRAM flag, and the names the loader refuses.
#include "tests/module/staging/staging_support.h"
#include "bootenv/bootEnv.h"
#include "host/machine/Nvram.h"
#include "host/machine/Panel.h"
#include "update/hdd/dlFirmHDDUpdate.h"
#include "update/session/dlFirmUpMain.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <sstream>

namespace {

using namespace testing_support;
using testing_support::readText;
namespace fs = std::filesystem;

const char kLog[] = "/TMP/HddUpdateProgress.log";
const std::string kVersions = "OS Version = BOOT V1.00\nSYS Version = V1R2.10 A\n";

struct Pkg {
    std::string name;
    std::string content;
};

std::string chainOf(const std::vector<Pkg> &pkgs)
{
    std::string chain;
    for (const auto &p : pkgs)
        chain += zlibPackage(p.name, p.content);
    return chain;
}

// Files other than the last must be of even length.
std::size_t even(std::size_t n) { return n & ~std::size_t(1); }

std::string contentOf(int i, std::size_t n = 3000) { return testing_support::randomBytes(n, 500 + i); }

class HddUpdate : public ::testing::Test {
protected:
    void SetUp() override
    {
        vx::dlupdateFolderCheckFlag = 0;
        vx::dlFirmHddSeriesCount = 0;
        vx::dl_fp = nullptr;
        vx::DLBOARD_ARCHVIER_DISPLAY_YPOINT = 0;
        h.machine().panel().enableTrace(trace);
        // The RAM disk over memory that outlives every machine, as the
        // device's never-released one does.
        static std::vector<char> ram(8 << 20);
        vx::dosFsMkfs("/TMP", vx::ramDevCreate(ram.data(), 512, 400, (8 << 20) / 512, 0));
        putDeviceFile(h, kLog, kVersions);
    }
    void TearDown() override { h.machine().panel().disableTrace(); }

    // Files "1", "2", ... cut from the chain at the given even offsets.
    void putFiles(const std::string &chain, std::vector<std::size_t> cuts, bool fwstore = false)
    {
        cuts.push_back(chain.size());
        std::size_t from = 0;
        for (std::size_t i = 0; i < cuts.size(); from = cuts[i++])
            putMedia(h, std::to_string(i + 1), stored(chain.substr(from, cuts[i] - from)), fwstore);
        vx::dlupdateFolderCheckFlag = fwstore ? 1 : 0;
    }

    // As the session driver: result queue, the task spawned, its result
    // received, the log copied to "/UND" after a failure.
    int run(vx::UINT32 mask = vx::DL_ITEM_HDD, int driverPriority = 100)
    {
        int result = 99;
        h.runTask(
            [&] {
                vx::dlFirmUpdateHdQId = vx::msgQCreate(5, 4, 1);
                vx::taskSpawn("tdlFirmHdUpdate", 100, 8, 0x100000, vx::dlFirmHdUpdate_USB, mask, 0, 0, 0, 0,
                              0, 0, 0, 0, 0);
                vx::INT32 word = 0;
                vx::msgQReceive(vx::dlFirmUpdateHdQId, reinterpret_cast<char *>(&word), 4, vx::WAIT_FOREVER);
                if (word == -1)
                    vx::copy(kLog, "/UND/HddUpdateProgress.log");
                result = word;
            },
            "tUpdate", driverPriority);
        return result;
    }

    std::string log() { return deviceFile(h, kLog).value_or("<none>"); }
    fs::path disk(const std::string &p) { return h.folder() / "disk" / p; }
    std::uint32_t flags() { return h.machine().nvram()->flags(); }

    // "col,row,text" of every text the task drew, in order.
    std::vector<std::string> drawn(const std::string &task)
    {
        std::vector<std::string> out;
        std::istringstream in(trace.str());
        for (std::string line; std::getline(in, line);) {
            auto j = nlohmann::json::parse(line);
            if (j["task"] == task && j["op"] == "text")
                out.push_back(std::to_string(j["col"].get<int>()) + "," +
                              std::to_string(j["row"].get<int>()) + "," + j["text"].get<std::string>());
        }
        return out;
    }

    std::ostringstream trace;
    MachineHarness h;
};

// The update task's own panel texts for files 1 to n, each tried once.
std::vector<std::string> hddTexts(int n)
{
    std::vector<std::string> v = {"42,4,HDD SYS Update .......", "0,7,  Download Storage -> HDD copying"};
    for (int k = 0; k < n; ++k) {
        std::string row = std::to_string(k < 7 ? k + 8 : 14);
        if (k >= 7) {
            v.push_back("23,14," + std::string(6, ' '));
            v.push_back("29,14," + std::string(10, ' '));
        }
        v.push_back("26," + row + ",/" + std::to_string(n));
        v.push_back("24," + row + "," + (k + 1 < 10 ? " " : "") + std::to_string(k + 1));
    }
    for (const char *t : {"22,7,Backup file ", "22,7,Completed   ", "67,4,Completed   "})
        v.push_back(t);
    v.push_back("0,7," + std::string(33, ' '));
    for (int k = 0; k < n; ++k)
        v.push_back("23," + std::to_string(k + 8) + "," + std::string(17, ' '));
    return v;
}

TEST_F(HddUpdate, OneFilePreparesTheDiskLoadsAndBacksUp)
{
    for (const char *old : {"UND/temp.db", "UND/NG.bin", "UND/HddUpdateProgress.log", "SYS/old.bin"})
        testing_support::writeFile(disk(old), "old");
    testing_support::writeFile(disk("PRF/settings"), "prf");
    putFiles(chainOf({{"/ROM/sysDummy.txt", "text"}, {"/SYS/bin/app", contentOf(1)}}), {});
    h.machine().faults().add("copy:0:1"); // read from the storage instead

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(readText(disk("ROM/sysDummy.txt")), "text");
    EXPECT_TRUE(readText(disk("SYS/bin/app")) == contentOf(1));
    for (const char *gone : {"UND/temp.db", "UND/NG.bin", "UND/HddUpdateProgress.log", "SYS/old.bin"})
        EXPECT_FALSE(fs::exists(disk(gone))) << gone;
    EXPECT_EQ(readText(disk("ROM/PRF/settings")), "prf");
    EXPECT_EQ(flags() & 0x10, 0u);
    EXPECT_EQ(vx::DLBOARD_ARCHVIER_DISPLAY_YPOINT, 8);
    EXPECT_EQ(drawn("tdlFirmHdUpdate"), hddTexts(1));
    EXPECT_EQ(drawn("tdlFirmHdLoaderUSBUpdate"),
              (std::vector<std::string>{"33,8,/   2", "29,8,   1", "29,8,   2"}));
    EXPECT_NE(h.console().find("[dlFirmHdUpdate_USB] /usbstor/0/1 copy error. \n"
                               "hdfile /usbstor/0/1\n"),
              std::string::npos);
    EXPECT_NE(h.console().find("start HD taskn"), std::string::npos);
    EXPECT_FALSE(tmpFiles(h).count("hdd.bin"));
}

// A package split across two files reaches the second loader whole; the
// log holds exactly the lines of the update, each loader's last line before
// the update task writes again.
// The loader's result goes as the device sends it: the status byte, then
// the consumed length at offset 4 in the machine's own byte order, most
// significant byte first on a big-endian machine.
TEST_F(HddUpdate, LoaderResultCarriesTheLengthInTheMachinesByteOrder)
{
    std::string part = chainOf({{"/SYS/a", contentOf(1)}, {"/SYS/b", contentOf(2, 70000)}});
    ASSERT_GT(part.size(), 0x10000u); // three bytes of the length in use
    std::array<unsigned char, vx::DL_HDD_LOADER_MSG_SIZE> message{};
    message.fill(0xEE);
    h.runTask([&] {
        vx::dlFirmUpdateUSBQId = vx::msgQCreate(5, vx::DL_HDD_LOADER_MSG_SIZE, vx::MSG_Q_PRIORITY);
        vx::taskSpawn("tdlFirmHdLoaderUSBUpdate", 100, vx::VX_FP_TASK, 0x100000,
                      vx::dlFirmHdLoaderUSBHdUpdate, reinterpret_cast<vx::_Vx_usr_arg_t>(part.data()),
                      static_cast<vx::_Vx_usr_arg_t>(part.size()), 0, 0, 0, 0, 0, 0, 0, 0);
        vx::msgQReceive(vx::dlFirmUpdateUSBQId, reinterpret_cast<char *>(message.data()),
                        vx::DL_HDD_LOADER_MSG_SIZE, vx::WAIT_FOREVER);
    });
    vx::dlFirmUpdateUSBQId = nullptr;

    // The length consumed: up to the end of the last package's data.
    vx::DL_DB_INFO info[4];
    ASSERT_EQ(vx::dlFirmGetDBInfoBounded(info, part.data(), static_cast<vx::INT32>(part.size()),
                                         vx::DL_DB_CHAIN, 4),
              2);
    const auto n = static_cast<std::uint32_t>(info[1].dataStart + info[1].compressedSize - part.data());
    std::array<unsigned char, 4> bigEndian = {
        static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
        static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)};
    std::array<unsigned char, 4> length;
    std::copy(message.begin() + 4, message.end(), length.begin());
    EXPECT_EQ(message[0], vx::DL_HDD_LOADER_OK);
    EXPECT_EQ((std::array<unsigned char, 3>{message[1], message[2], message[3]}),
              (std::array<unsigned char, 3>{0, 0, 0}));
    if constexpr (std::endian::native == std::endian::big) {
        EXPECT_EQ(length, bigEndian);
    } else {
        std::reverse(bigEndian.begin(), bigEndian.end());
        EXPECT_EQ(length, bigEndian);
    }
    EXPECT_EQ(readText(disk("SYS/b")), contentOf(2, 70000));
}

TEST_F(HddUpdate, SplitPackageAndTheLogLineByLine)
{
    std::string first = zlibPackage("/ROM/sysDummy.txt", "text");
    std::string chain = first + chainOf({{"/SYS/lib/split.so", contentOf(2, 5000)}});
    std::size_t cut = even(first.size() + 1000);
    putFiles(chain, {cut});

    EXPECT_EQ(run(), 0);
    EXPECT_TRUE(readText(disk("SYS/lib/split.so")) == contentOf(2, 5000));
    std::size_t second = chain.size() - cut;
    std::string sizes[2] = {std::to_string(cut), std::to_string(second)};
    std::string placed = std::to_string(even(second + 1)); // an odd file gets its pad
    EXPECT_EQ(log(), kVersions + "[dlFirmUsbCheckHDD] file Size  0  " + sizes[0] +
                         "\n"
                         "[dlFirmUsbCheckHDD] file Size  1  " +
                         sizes[1] +
                         "\n"
                         "[bootUsbStrageTenkai_HDD] hdfile /TMP/hdd.bin\n"
                         "[bootUsbStrageTenkai_HDD] total_HDDsize=" +
                         sizes[0] +
                         "\n"
                         "[dlFirmHdUpdate_USB] start HD task\n"
                         "[dlFirmHdLoaderUSBHdUpdate] bootHdLoaderUSBUpdate...Completed\n"
                         "[bootUsbStrageTenkai_HDD] hdfile /TMP/hdd.bin\n"
                         "[bootUsbStrageTenkai_HDD] total_HDDsize=" +
                         placed +
                         "\n"
                         "[dlFirmHdUpdate_USB] start HD task\n"
                         "[dlFirmHdLoaderUSBHdUpdate] bootHdLoaderUSBUpdate...Completed\n");
}

TEST_F(HddUpdate, TenFilesReuseRow14AndBlankEveryRowAtTheEnd)
{
    std::vector<Pkg> pkgs;
    for (int i = 0; i < 10; ++i)
        pkgs.push_back({"/SYS/f" + std::to_string(i), contentOf(i, 100)});
    std::string chain = chainOf(pkgs);
    // Each file ends on the even offset at or after its package's end.
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0, i = 0; i < 9; ++i) {
        at += zlibPackage(pkgs[i].name, pkgs[i].content).size();
        cuts.push_back(even(at + 1));
    }
    putFiles(chain, cuts, true);

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(drawn("tdlFirmHdUpdate"), hddTexts(10));
    auto loader = drawn("tdlFirmHdLoaderUSBUpdate");
    ASSERT_EQ(loader.size(), 20u);
    EXPECT_EQ(loader[0], "33,8,/   1");
    EXPECT_EQ(loader[18], "33,14,/   1"); // file 10
    EXPECT_TRUE(readText(disk("SYS/f9")) == contentOf(9, 100));
}

TEST_F(HddUpdate, SeriesWithAGapFailsBeforeLoading)
{
    putMedia(h, "1", stored(zlibPackage("/SYS/a", "a")), false);
    putMedia(h, "3", stored(zlibPackage("/SYS/b", "b")), false);
    EXPECT_EQ(run(), -1);
    EXPECT_TRUE(log().ends_with("[dlFirmHdUpdate_USB] dlFirmUsbCheckHDD() error.\n"));
    EXPECT_EQ(drawn("tdlFirmHdUpdate"),
              (std::vector<std::string>{"42,4,HDD SYS Update .......", "67,4,Failed   "}));
    EXPECT_EQ(flags() & 0x10, 0x10u);
}

// Success only when every package of the media reached the disk: after the
// last file no more than the chain's trailer (CR LF, and the pad of an odd
// length) may be left, every file counted when the item was offered must
// still be there, and the disk is touched only under the NVRAM flag.
TEST_F(HddUpdate, SuccessOnlyWithEveryPackageLoaded)
{
    // The version text, then an application whose content grows until the
    // chain's length has the wanted parity.
    auto chainOfParity = [](std::size_t parity) {
        for (std::size_t n = 3000;; ++n) {
            std::string c = chainOf({{"/ROM/sysDummy.txt", "text"}, {"/SYS/app", contentOf(7, n)}});
            if (c.size() % 2 == parity)
                return c;
        }
    };
    std::vector<Pkg> many;
    for (int i = 0; i < 2049; ++i)
        many.push_back({"/UND/m/p" + std::to_string(i), std::to_string(i)});
    const std::string manyChain = chainOf(many);
    const std::string lastPkg = zlibPackage(many.back().name, many.back().content);
    struct Case {
        const char *what;
        std::string chain;
        std::size_t cutShort; // bytes taken off the last file
        const char *fault;
        vx::INT32 offered; // files counted when the item was offered
        int result;
        std::string logEnd; // the log's last line
        std::uint32_t flags;
        std::string console = ""; // its console line where not the log's words ("-": none of its own)
        bool formatted = true;    // the disk was formatted before the failure
    } cases[] = {
        {"even chain: CR LF left", chainOfParity(0), 0, "", 1, 0, "bootHdLoaderUSBUpdate...Completed", 0},
        {"odd chain: CR, pad, LF left", chainOfParity(1), 0, "", 1, 0, "bootHdLoaderUSBUpdate...Completed",
         0},
        {"last file cut inside a package", chainOfParity(0), 100, "", 1, -1, "", 0x10},
        {"2,049 packages in the last part buffer", manyChain, 0, "", 1, -1,
         // the CR LF behind package 2,048, the last package, an odd length's pad
         "[dlFirmHdUpdate_USB] USB HDD last file error: " +
             std::to_string(2 + lastPkg.size() + manyChain.size() % 2) + " bytes not loaded",
         0x10},
        {"file 2 gone since the item was offered", chainOfParity(0), 0, "", 2, -1,
         "[dlFirmHdUpdate_USB] USB HDD file 2 missing", 0x10},
        {"flag cannot be set", chainOfParity(0), 0, "nvram-set", 1, -1,
         "[dlFirmHdUpdate_USB] HDD NVRAM flag set error", 0, "", false},
        {"the disk cannot be prepared", chainOfParity(0), 0, "hd-init", 1, -1,
         "[dlFirmHdUpdate_USB] bootHdLoaderInit() error.", 0x10, "-", false},
        {"no loader task", chainOfParity(0), 0, "spawn.tdlFirmHdLoaderUSBUpdate", 1, -1,
         "[dlFirmHdUpdate_USB] taskSpawn() error. can not start partition all mount task", 0x10,
         "can not start partition all mount task"},
        {"the package file cannot be made, twice", chainOfParity(0), 0, "open@/TMP/temp.db", 1, -1,
         "[dlFirmHdUpdate_USB] HddRetryCount == 1", 0x10, "bootHdLoaderUSBHdUpdate: can not open file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        h.machine().faults() = host::Faults();
        if (*c.fault)
            h.machine().faults().add(c.fault);
        h.machine().nvram()->clearBits(0xFF);
        for (const char *partition : {"SYS", "UND"}) {
            fs::remove_all(disk(partition));
            fs::create_directories(disk(partition));
        }
        testing_support::writeFile(disk("SYS/old.bin"), "old");
        putDeviceFile(h, kLog, kVersions);
        trace.str("");
        std::string chain = c.chain.substr(0, c.chain.size() - c.cutShort);
        putFiles(chain, {});
        vx::dlFirmHddSeriesCount = c.offered;
        h.clearConsole();

        EXPECT_EQ(run(), c.result);
        std::string end = c.logEnd;
        if (end.empty()) // cut inside the application: from the version text's CR LF on
            end = "[dlFirmHdUpdate_USB] USB HDD last file error: " +
                  std::to_string(chain.size() + chain.size() % 2 -
                                 (zlibPackage("/ROM/sysDummy.txt", "text").size() - 2)) +
                  " bytes not loaded";
        if (end.starts_with("boot"))
            end = "[dlFirmHdLoaderUSBHdUpdate] " + end;
        EXPECT_TRUE(log().ends_with(end + "\n")) << log();
        EXPECT_EQ(flags() & 0x11, c.flags);
        auto texts = drawn("tdlFirmHdUpdate");
        ASSERT_FALSE(texts.empty());
        if (c.result == 0) {
            EXPECT_EQ(texts, hddTexts(1));
            EXPECT_TRUE(readText(disk("SYS/app")).size() >= 3000);
            continue;
        }
        EXPECT_EQ(texts.back(), "67,4,Failed   ");
        EXPECT_EQ(readText(disk("UND/HddUpdateProgress.log")), log());
        // the console says it, in the same words as the log unless told
        const std::string said = c.console.empty() ? end.substr(end.find("] ") + 2) + "\n" : c.console;
        if (c.console != "-") {
            EXPECT_GE(countOf(h.console(), said), 1u) << h.console();
        }
        // without its flag, or before the disk is prepared, nothing on it is touched
        EXPECT_EQ(fs::exists(disk("SYS/old.bin")), !c.formatted);
    }
}

TEST_F(HddUpdate, ExpansionFailingTwiceIsRetriedInPlace)
{
    putFiles(chainOf({{"/ROM/sysDummy.txt", "text"}, {"/SYS/app", contentOf(3)}}), {});
    h.machine().faults().add("archiver:0:2");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(countOf(log(), "[dlFirmHdLoaderUSBHdUpdate] dlBoardArchiver() error. reTry "
                             "/ROM/sysDummy.txt  0/2\n"),
              2u);
    EXPECT_EQ(drawn("tdlFirmHdLoaderUSBUpdate"),
              (std::vector<std::string>{"33,8,/   2", "29,8,   0", "29,8,   0", "29,8,   1", "29,8,   2"}));
    EXPECT_EQ(readText(disk("ROM/sysDummy.txt")), "text");
}

// The loader of file 2 gives up on the split package; the repetition of
// file 2 gets the same remainder and succeeds.
TEST_F(HddUpdate, LoaderGivesUpAndTheFilesRepetitionSucceeds)
{
    std::string first = zlibPackage("/SYS/one", "one");
    std::string split = zlibPackage("/SYS/two", contentOf(4));
    putFiles(first + split + zlibPackage("/SYS/three", "three"), {even(first.size() + 800)});
    h.machine().faults().add("archiver:1:21");

    EXPECT_EQ(run(), 0);
    std::string text = log();
    EXPECT_EQ(countOf(text, "reTry /SYS/two  0/2\n"), 21u);
    EXPECT_EQ(countOf(text, "[dlFirmHdLoaderUSBHdUpdate] inflate can not success (reTryCount > 20)\n"), 1u);
    EXPECT_EQ(countOf(text, "[dlFirmHdUpdate_USB] USB HDD Update Error\n"), 1u);
    EXPECT_EQ(countOf(text, "hdfile"), 3u);
    EXPECT_EQ(vx::HddRetryCount, 0);
    EXPECT_TRUE(readText(disk("SYS/two")) == contentOf(4));
    EXPECT_EQ(readText(disk("SYS/three")), "three");
    // The package as the loader wrote it, and what the archiver left.
    std::size_t data = split.find("DATASTART\n") + 10;
    EXPECT_TRUE(readText(disk("UND/temp.db")) == split.substr(data, split.size() - data - 2));
    EXPECT_TRUE(fs::exists(disk("UND/NG.bin")));
}

// A driver of higher priority copies the log as soon as the result comes:
// the copy is complete because the log is flushed before the send.
TEST_F(HddUpdate, FileFailingTwiceFailsTheUpdateWithACompleteLogCopy)
{
    putFiles(chainOf({{"/SYS/app", contentOf(5)}}), {});
    h.machine().faults().add("archiver");

    EXPECT_EQ(run(vx::DL_ITEM_HDD, 50), -1);
    std::string text = log();
    EXPECT_EQ(countOf(text, "[dlFirmHdUpdate_USB] USB HDD Update Error\n"), 2u);
    EXPECT_TRUE(text.ends_with("[dlFirmHdUpdate_USB] USB HDD Update Error\n"
                               "[dlFirmHdUpdate_USB] HddRetryCount == 1\n"));
    EXPECT_EQ(readText(disk("UND/HddUpdateProgress.log")), text);
    EXPECT_EQ(drawn("tdlFirmHdUpdate").back(), "67,4,Failed   ");
    EXPECT_EQ(flags() & 0x10, 0x10u);
    EXPECT_TRUE(fs::exists(disk("UND/temp.db")));
    EXPECT_TRUE(fs::exists(disk("UND/NG.bin")));
}

TEST_F(HddUpdate, ItemNotChosenOnlyOpensAndClosesTheLog)
{
    testing_support::writeFile(disk("UND/temp.db"), "kept");
    h.machine().nvram()->setBits(0x10);
    EXPECT_EQ(run(vx::DL_ITEM_ALL & ~vx::DL_ITEM_HDD), 0);
    EXPECT_EQ(log(), kVersions);
    EXPECT_EQ(flags() & 0x10, 0x10u);
    EXPECT_EQ(readText(disk("UND/temp.db")), "kept");
    EXPECT_TRUE(drawn("tdlFirmHdUpdate").empty());
    EXPECT_EQ(vx::DLBOARD_ARCHVIER_DISPLAY_YPOINT, 0);

    h.machine().io().remove(kLog); // made when missing
    EXPECT_EQ(run(0), 0);
    EXPECT_EQ(log(), "");
}

TEST_F(HddUpdate, LogThatCannotBeOpenedFailsAtOnce)
{
    h.machine().faults().add(std::string("open@") + kLog);
    for (vx::UINT32 mask : {vx::DL_ITEM_HDD, 0u}) {
        h.clearConsole();
        EXPECT_EQ(run(mask), -1);
        EXPECT_EQ(h.console(), std::string(kLog) + " fopen() error.\n");
    }
    EXPECT_TRUE(trace.str().empty());
    EXPECT_EQ(flags(), 0u);
}

TEST_F(HddUpdate, FailedReceiveLeavesTheLoaderItsBufferAndNoLog)
{
    putFiles(chainOf({{"/SYS/app", contentOf(6)}}), {});
    h.machine().faults().add("msgq-receive:1:1"); // the driver's receive comes first
    EXPECT_EQ(run(), -1);
    EXPECT_TRUE(log().ends_with("[dlFirmHdUpdate_USB] massage Q receive error\n"));
    // The loader ran after the task had ended, on the buffer it was given.
    EXPECT_TRUE(h.console().ends_with("bootHdLoaderUSBUpdate...Completed\n"));
    EXPECT_TRUE(readText(disk("SYS/app")) == contentOf(6));
}

// More packages than the loader's table: the rest waits for the next file.
TEST_F(HddUpdate, PartBufferBeyond2048PackagesCarriesTheRest)
{
    std::vector<Pkg> pkgs;
    for (int i = 0; i < 2051; ++i)
        pkgs.push_back({"/UND/many/p" + std::to_string(i), std::to_string(i)});
    std::string chain = chainOf(pkgs);
    std::size_t cut = even(chain.size() - zlibPackage(pkgs[2050].name, pkgs[2050].content).size());
    putFiles(chain, {cut});

    EXPECT_EQ(run(), 0);
    auto loader = drawn("tdlFirmHdLoaderUSBUpdate");
    EXPECT_EQ(loader.front(), "33,8,/2048");
    EXPECT_NE(std::find(loader.begin(), loader.end(), "33,9,/   3"), loader.end());
    for (int i : {0, 2047, 2048, 2049, 2050})
        EXPECT_EQ(readText(disk("UND/many/p" + std::to_string(i))), std::to_string(i));
}

TEST_F(HddUpdate, MissingDirectoriesAreMadeTopDownOneLevelPerPass)
{
    char name[] = "/SYS/a/b/file";
    vx::DL_DIR_INFO entry{nullptr, 0, name, nullptr, nullptr};
    // Which path the Nth catMkdir call gets, seen by failing that one call.
    std::vector<std::string> calls;
    for (int n = 0; n < 4; ++n) {
        fs::remove_all(disk("SYS/a"));
        h.machine().faults().add("mkdir:" + std::to_string(n) + ":1");
        std::size_t before = h.reports().size();
        int r = vx::dlBoardCreateDir(&entry, 1);
        std::string said = h.reports().substr(before);
        calls.push_back(said.empty() ? "-" : said.substr(said.find("catMkdir ") + 9));
        EXPECT_EQ(r, n == 0 || n == 3 ? 0 : -1) << n;
    }
    EXPECT_EQ(calls,
              (std::vector<std::string>{"/SYS/a/b fails\n", "/SYS/a fails\n", "/SYS/a/b fails\n", "-"}));
    EXPECT_TRUE(fs::is_directory(disk("SYS/a/b")));
}

// Names the directory maker refuses before any directory is made: one of
// 256 characters, and ones that climb out of their device.
TEST_F(HddUpdate, OverlongAndEscapingNamesAreRefused)
{
    std::string longName = "/SYS/" + std::string(246, 'd') + "/file";
    ASSERT_EQ(longName.size(), 256u);
    h.machine().faults().add("mkdir"); // any call would be reported
    for (std::string name :
         {longName, std::string("/SYS/../../escape/x"), std::string("/UND/a/../../../escape/x")}) {
        vx::DL_DIR_INFO entry{nullptr, 0, name.data(), nullptr, nullptr};
        EXPECT_EQ(vx::dlBoardCreateDir(&entry, 1), -1) << name;
    }
    EXPECT_EQ(h.reports().find("catMkdir"), std::string::npos);
    h.machine().faults().add("mkdir:0:0");
    std::string longest = longName.substr(0, 253) + "/f"; // 255 characters
    vx::DL_DIR_INFO entry{nullptr, 0, longest.data(), nullptr, nullptr};
    EXPECT_EQ(vx::dlBoardCreateDir(&entry, 1), 0);
    EXPECT_TRUE(fs::is_directory(disk(longest.substr(1, 252))));
}

TEST_F(HddUpdate, LoaderFailsOnARefusedNameAndWritesNothing)
{
    for (std::string bad : {"/SYS/" + std::string(251, 'n'), std::string("/SYS/../../escape.bin")}) {
        putFiles(chainOf({{"/SYS/good", "good"}, {bad, "bad"}}), {});
        h.clearConsole();
        EXPECT_EQ(run(), -1) << bad;
        EXPECT_EQ(countOf(log(), "[dlFirmHdLoaderUSBHdUpdate] dlBoardCreateDir() error. can not make "
                                 "directory\n"),
                  2u);
        EXPECT_EQ(countOf(h.console(), "bootHdLoaderUSBHdUpdate:can not make directory\n"), 2u);
        EXPECT_FALSE(fs::exists(disk("SYS/good")));
        putDeviceFile(h, kLog, kVersions);
    }
    EXPECT_FALSE(fs::exists(h.folder().parent_path() / "escape.bin"));
    EXPECT_FALSE(fs::exists(h.folder() / "escape.bin"));
}

} // namespace
