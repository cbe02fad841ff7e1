// Whole update sessions that complete: `dlupdate run` on media made by
// mkmedia, checked on the console, the panel, the panel trace, the RAM disk
// left at the end and the machine folder.
#include "e2e_support.h"

namespace testing_support {
namespace {

const std::string kBanner = "dlFirmWare Version V1.05";
const std::string kF200Line = "[dlFirmSCFlagClear] F200 Clear.";

// Where each update task may draw: its own cells of the panel.
bool ownCell(const Draw &d)
{
    const int c = d.col, r = d.row;
    const bool status = c == 42 || c == 67;
    const bool leftHalf = c + static_cast<int>(d.text.size()) <= 42;
    if (d.task == "tdlFirmFromUpdate")
        return (r == 2 && c == 0 && leftHalf) || (r >= 3 && r <= 5 && (c == 4 || c == 24) && leftHalf) ||
               (r == 3 && status);
    if (d.task == "tdlFirmHdUpdate")
        return (r == 4 && status) || (r >= 7 && r <= 14 && leftHalf);
    if (d.task == "tdlFirmHdLoaderUSBUpdate")
        return r >= 8 && r <= 14 && (c == 29 || c == 33) && leftHalf;
    if (d.task == "tdlFirmEngUpdate")
        return r >= 5 && r <= 7 && status;
    if (d.task == "tdlFirmScnUpdate")
        return r == 8 && status;
    return d.task == "tUpdate";
}

std::vector<Draw> fromTaskDraws(int verifyAttempts)
{
    const std::string t = "tdlFirmFromUpdate";
    std::vector<Draw> d = {{t, 0, 2, "  Download Storage -> FROM Update Start."},
                           {t, 4, 3, "Check Devices   -"},
                           {t, 4, 4, "Update Status   -"},
                           {t, 4, 5, "Data Check      -"},
                           {t, 24, 3, "Completed   "},
                           {t, 42, 3, "OS UI Update   ......."},
                           {t, 24, 3, "Completed   "},
                           {t, 24, 4, "Erasing     "}};
    for (int i = 0; i < verifyAttempts; ++i)
        d.insert(d.end(), {{t, 24, 4, "Installing  "},
                           {t, 24, 4, "Completed   "},
                           {t, 24, 5, "Verifying   "},
                           {t, 24, 5, "Completed   "}});
    d.insert(d.end(), {{t, 67, 3, "Completed   "},
                       {t, 0, 2, std::string(41, ' ')},
                       {t, 4, 3, std::string(29, ' ')},
                       {t, 4, 4, std::string(29, ' ')},
                       {t, 4, 5, std::string(29, ' ')}});
    return d;
}

std::vector<Draw> hddTaskDraws(const std::vector<Part> &parts)
{
    const std::string t = "tdlFirmHdUpdate";
    const int n = static_cast<int>(parts.size());
    std::vector<Draw> d = {{t, 42, 4, "HDD SYS Update ......."},
                           {t, 0, 7, "  Download Storage -> HDD copying"}};
    char number[16];
    for (int k = 0; k < n; ++k) {
        int row = std::min(k + 8, 14);
        if (k >= 7)
            d.insert(d.end(), {{t, 23, 14, std::string(6, ' ')}, {t, 29, 14, std::string(10, ' ')}});
        std::snprintf(number, sizeof number, "%2d", k + 1);
        d.insert(d.end(), {{t, 26, row, "/" + std::to_string(n)}, {t, 24, row, number}});
    }
    d.insert(d.end(), {{t, 22, 7, "Backup file "},
                       {t, 22, 7, "Completed   "},
                       {t, 67, 4, "Completed   "},
                       {t, 0, 7, std::string(33, ' ')}});
    for (int k = 0; k < n; ++k)
        d.push_back({t, 23, k + 8, std::string(17, ' ')});
    return d;
}

std::vector<Draw> loaderDraws(const std::vector<Part> &parts)
{
    std::vector<Draw> d;
    char text[16];
    for (std::size_t k = 0; k < parts.size(); ++k) {
        int row = std::min(static_cast<int>(k) + 8, 14);
        std::snprintf(text, sizeof text, "/%4zu", parts[k].packages);
        d.push_back({"tdlFirmHdLoaderUSBUpdate", 33, row, text});
        for (std::size_t i = 1; i <= parts[k].packages; ++i) {
            std::snprintf(text, sizeof text, "%4zu", i);
            d.push_back({"tdlFirmHdLoaderUSBUpdate", 29, row, text});
        }
    }
    return d;
}

std::vector<Draw> unitDraws(const std::string &task, int row, const std::string &title,
                            const std::string &end)
{
    return {{task, 42, row, title},
            {task, 67, row, "Initialize"},
            {task, 67, row, "Flash Update"},
            {task, 67, row, end}};
}

// The panel after a completed session of all six items.
std::string completedPanel()
{
    return Screen()
        .put(2, 0, "Download Storage Firmware Update Mode")
        .put(42, 0, kBanner)
        .put(42, 3, "OS UI Update   .......")
        .put(42, 4, "HDD SYS Update .......")
        .put(42, 5, "LSR Firm Update ......")
        .put(42, 6, "PFC Firm Update ......")
        .put(42, 7, "Engine MAIN Update ...")
        .put(42, 8, "Scanner Firm Update ..")
        .put(67, 3, "Completed")
        .put(67, 4, "Completed")
        .put(67, 5, "Completed")
        .put(67, 6, "Completed")
        .put(67, 7, "Completed")
        .put(67, 8, "Completed")
        .put(42, 13, "    Update Completed.")
        .dump();
}

const char *const kUnits[] = {"lsr", "pfc", "engine", "scanner"};

// The sample media, or a variant of them by name.
fs::path namedMedia(const std::string &name)
{
    if (name == "no-lsr")
        return sharedMedia(name, [](json &m) { m["image2"].erase("lsr"); });
    if (name == "root")
        return sharedMedia(name, [](json &m) { m["folder"] = "root"; });
    return sharedMedia("sample");
}

TEST(E2eCompleted, AllSixItemsRewriteEveryTargetAndClearTheFlags)
{
    Session s;
    s.media = sharedMedia("sample");
    MediaView media(s.media);
    // A machine left in update mode, with a flag bit of its own, service
    // settings and the F200 flag set (word B's high byte 2).
    s.machine.pokeNvram(0, {0, 0, 1, 0, 0, 0, 0, 1});
    s.machine.pokeNvram(0x1C0, {0x5A});
    s.machine.pokeNvram(0x7808, {0x12, 0xAB, 0x02, 0x34});

    Outcome o = s.run({"--keys", "ok"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "session 1: returned 0\n");
    EXPECT_EQ(o.lines(), completedConsole(media, "FOLROOT", true));

    EXPECT_EQ(s.panel(), completedPanel());
    auto trace = s.trace();
    for (const auto &d : trace)
        EXPECT_TRUE(d.text == "<clear>" || ownCell(d)) << d;
    auto parts = hddParts(media);
    EXPECT_EQ(drawsOf(trace, "tdlFirmFromUpdate"), fromTaskDraws(1));
    EXPECT_EQ(drawsOf(trace, "tdlFirmHdUpdate"), hddTaskDraws(parts));
    EXPECT_EQ(drawsOf(trace, "tdlFirmHdLoaderUSBUpdate"), loaderDraws(parts));
    std::vector<Draw> eng = unitDraws("tdlFirmEngUpdate", 5, "LSR Firm Update ......", "Completed   ");
    for (auto more : {unitDraws("tdlFirmEngUpdate", 6, "PFC Firm Update ......", "Completed   "),
                      unitDraws("tdlFirmEngUpdate", 7, "Engine MAIN Update ...", "Completed   ")})
        eng.insert(eng.end(), more.begin(), more.end());
    EXPECT_EQ(drawsOf(trace, "tdlFirmEngUpdate"), eng);
    EXPECT_EQ(drawsOf(trace, "tdlFirmScnUpdate"),
              unitDraws("tdlFirmScnUpdate", 8, "Scanner Firm Update ..", "Completed   "));
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.back(), (Draw{"tUpdate", 42, 13, "    Update Completed."}));

    // Every staged file is gone from the RAM disk; the progress log stays.
    std::map<std::string, Bytes> ramdisk = s.ramdiskFiles();
    ASSERT_EQ(ramdisk.size(), 1u) << names(ramdisk);
    EXPECT_EQ(textOf(ramdisk["/TMP/HddUpdateProgress.log"]), completedProgressLog(media));

    EXPECT_EQ(s.machine.rewriteFlags(), 0u);
    EXPECT_EQ(s.machine.updateMode(), 0u);
    EXPECT_TRUE(s.machine.serviceAreaClear());
    EXPECT_EQ(s.machine.f200A(), 0x1200);
    EXPECT_EQ(s.machine.f200B(), 0);
    EXPECT_TRUE(sameBytes(s.machine.flash(), media.flashAfterUpdate()));
    for (const char *unit : kUnits)
        EXPECT_TRUE(sameBytes(s.machine.unit(unit), readBytes(sampleInput(std::string(unit) + ".bin"))))
            << unit;
    EXPECT_TRUE(sameFiles(s.machine.disk(), diskAfterUpdate(media)));
}

// The F200 flag is cleared only after a completed session of all six items,
// and only when word B's high byte is 2.
TEST(E2eCompleted, F200FlagFollowsWordBAndTheSelection)
{
    struct Case {
        const char *what;
        Bytes wordsAB;
        const char *keys;
        bool cleared;
    } cases[] = {
        {"flag set, all six", {0x12, 0xAB, 0x02, 0x34}, "ok", true},
        {"word B high byte 3", {0x12, 0xAB, 0x03, 0x34}, "ok", false},
        {"only the low byte 2", {0x12, 0xAB, 0x00, 0x02}, "ok", false},
        {"scanner left out", {0x12, 0xAB, 0x02, 0x34}, "6,ok", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = sharedMedia("sample");
        s.machine.pokeNvram(0x7808, c.wordsAB);
        Outcome o = s.run({"--keys", c.keys});
        ASSERT_EQ(o.status, 0) << o.err;
        auto lines = o.lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.back(), "Download -> OK");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), kF200Line), c.cleared ? 1 : 0);
        if (c.cleared) {
            EXPECT_EQ(lines[lines.size() - 2], kF200Line);
        }
        std::uint16_t a = be16(c.wordsAB, 0), b = be16(c.wordsAB, 2);
        EXPECT_EQ(s.machine.f200A(), c.cleared ? (a & 0xFF00) : a);
        EXPECT_EQ(s.machine.f200B(), c.cleared ? 0 : b);
        EXPECT_EQ(s.machine.rewriteFlags(), 0u);
    }
}

// The model folder is used when it exists, whatever the storage root holds;
// without it the images and HDD files are taken from the root.
TEST(E2eCompleted, ImagesComeFromTheModelFolderOrElseTheRoot)
{
    Session root;
    root.media = namedMedia("root");
    ASSERT_FALSE(fs::exists(root.media / "fwstore"));
    Outcome o = root.run({"--keys", "ok"});
    ASSERT_EQ(o.status, 0) << o.err;
    MediaView rootView(root.media);
    EXPECT_EQ(o.lines(), completedConsole(rootView, "USBROOT", false));
    EXPECT_TRUE(sameBytes(root.machine.flash(), rootView.flashAfterUpdate()));
    EXPECT_TRUE(sameFiles(root.machine.disk(), diskAfterUpdate(rootView)));

    // The sample's model folder, and beside it at the root images and HDD
    // files that could not be staged or loaded.
    Session both;
    both.media = both.dir / "media";
    fs::copy(sharedMedia("sample"), both.media, fs::copy_options::recursive);
    for (const char *name : {"firmImage0.bin", "firmImage1.bin", "firmImage2.bin", "1", "2", "3", "4"})
        testing_support::writeFile(both.media / name, Bytes(4096, 0x5A));
    o = both.run({"--keys", "ok"});
    ASSERT_EQ(o.status, 0) << o.err;
    MediaView view(sharedMedia("sample"));
    EXPECT_EQ(o.lines(), completedConsole(view, "FOLROOT", false));
    EXPECT_TRUE(sameBytes(both.machine.flash(), view.flashAfterUpdate()));
    EXPECT_TRUE(sameFiles(both.machine.disk(), diskAfterUpdate(view)));
}

// Empty media: nothing is available, the digits change nothing, and the
// confirmed empty selection still runs all four tasks to a completed end.
TEST(E2eCompleted, EmptyMediaOfferNothingAndCompleteAtOnce)
{
    Session s;
    s.media = s.dir / "media";
    fs::create_directories(s.media);
    s.machine.pokeNvram(0, {0, 0, 0, 0x11, 0, 0, 0, 1});
    s.machine.pokeNvram(0x7808, {0x12, 0xAB, 0x02, 0x34});

    Outcome o = s.run({"--keys", "1,6,ok"});
    ASSERT_EQ(o.status, 0) << o.err;
    // A pass that tested nothing is said.
    EXPECT_EQ(o.err, "session 1: returned 0\ndlupdate run: the media offered nothing: no update file in " +
                         s.media.string() +
                         " (looked for firmImage0.bin, firmImage1.bin, firmImage2.bin, 1 ... 32)\n");
    EXPECT_EQ(o.lines(),
              (std::vector<std::string>{"USBROOT", "ramdevice_48", "dlFirmUpdateModuleEnableFlag:0",
                                        "dlBoardMsgRcvBuf3[1]:4", "dlBoardMsgRcvBuf3[1]:15",
                                        "dlBoardMsgRcvBuf3[1]:34", "Download -> OK"}));

    auto trace = s.trace();
    std::vector<Draw> menu;
    for (const auto &d : drawsOf(trace, "tUpdate"))
        if (d.col == 4 || d.col == 5)
            menu.push_back(d);
    EXPECT_EQ(menu, (std::vector<Draw>{{"tUpdate", 5, 5, "1."},
                                       {"tUpdate", 5, 6, "2."},
                                       {"tUpdate", 5, 7, "3."},
                                       {"tUpdate", 5, 8, "4."},
                                       {"tUpdate", 5, 9, "5."},
                                       {"tUpdate", 5, 10, "6."}}));
    for (const char *task : {"tdlFirmFromUpdate", "tdlFirmHdUpdate", "tdlFirmEngUpdate", "tdlFirmScnUpdate"})
        EXPECT_TRUE(drawsOf(trace, task).empty()) << task;
    EXPECT_EQ(s.panel(), Screen()
                             .put(2, 0, "Download Storage Firmware Update Mode")
                             .put(42, 0, kBanner)
                             .put(42, 13, "    Update Completed.")
                             .dump());

    auto ramdisk = s.ramdiskFiles();
    ASSERT_EQ(ramdisk.size(), 1u) << names(ramdisk);
    EXPECT_EQ(textOf(ramdisk["/TMP/HddUpdateProgress.log"]), "OS Version = BOOT V1.00\nSYS Version = \n");
    EXPECT_EQ(s.machine.rewriteFlags(), 0u);
    EXPECT_EQ(s.machine.updateMode(), 0u);
    EXPECT_EQ(s.machine.f200B(), 0x0234) << "the empty selection is not all six items";
    EXPECT_TRUE(s.machine.flashErased());
    for (const char *unit : kUnits)
        EXPECT_FALSE(s.machine.unit(unit)) << unit;
    EXPECT_TRUE(s.machine.disk().empty());
}

// The menu's keys: the digits toggle available items, everything else is
// printed or dropped, and the tasks get exactly the confirmed selection.
TEST(E2eCompleted, MenuKeysChooseWhatIsRewritten)
{
    struct Case {
        const char *what;
        const char *media; // sharedMedia name
        const char *keys;
        std::vector<std::string> keyLines; // the menu's lines before the confirm key
        std::vector<Draw> marks;           // marks drawn after the menu is up
        bool flash;
        std::vector<std::string> units; // rewritten
        bool f200;
    } cases[] = {
        {"OS UI and LSR left out",
         "sample",
         "1,3,ok",
         {"dlBoardMsgRcvBuf3[1]:4", "dlBoardMsgRcvBuf3[1]:6"},
         {{"tUpdate", 4, 5, " "}, {"tUpdate", 4, 7, " "}},
         false,
         {"pfc", "engine", "scanner"},
         false},
        {"HDD toggled twice",
         "sample",
         "2,2,ok",
         {"dlBoardMsgRcvBuf3[1]:5", "dlBoardMsgRcvBuf3[1]:5"},
         {{"tUpdate", 4, 6, " "}, {"tUpdate", 4, 6, "*"}},
         true,
         {"lsr", "pfc", "engine", "scanner"},
         true},
        // Digit 7 is not enabled and sends nothing; code 53 and a raw code
        // 99 are printed and change nothing; a message of kind 2 is dropped
        // unprinted; LSR is not on the media, so digit 3 does nothing.
        {"keys without effect",
         "no-lsr",
         "7,k53,m2:5,m1:99,3,ok",
         {"dlBoardMsgRcvBuf3[1]:35", "dlBoardMsgRcvBuf3[1]:63", "dlBoardMsgRcvBuf3[1]:6"},
         {},
         true,
         {"pfc", "engine", "scanner"},
         false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = namedMedia(c.media);
        s.machine.pokeNvram(0x7808, {0x12, 0xAB, 0x02, 0x34});
        Outcome o = s.run({"--keys", c.keys});
        ASSERT_EQ(o.status, 0) << o.err;
        auto lines = o.lines();
        std::vector<std::string> keyLines;
        for (const auto &line : lines)
            if (line.starts_with("dlBoardMsgRcvBuf3[1]:"))
                keyLines.push_back(line);
        std::vector<std::string> want = c.keyLines;
        want.push_back("dlBoardMsgRcvBuf3[1]:34");
        EXPECT_EQ(keyLines, want);
        EXPECT_EQ(lines.back(), "Download -> OK");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), kF200Line), c.f200 ? 1 : 0);

        auto tUpdate = drawsOf(s.trace(), "tUpdate");
        auto menuUp =
            std::find(tUpdate.begin(), tUpdate.end(), Draw{"tUpdate", 5, 10, "6. Scanner Firmware Update"});
        ASSERT_NE(menuUp, tUpdate.end());
        std::vector<Draw> marks;
        for (auto it = menuUp + 2; it != tUpdate.end() && it->text != "<clear>"; ++it)
            marks.push_back(*it);
        EXPECT_EQ(marks, c.marks);

        MediaView media(s.media);
        EXPECT_TRUE(
            sameBytes(s.machine.flash(), c.flash ? media.flashAfterUpdate() : Bytes(16u << 20, 0xFF)));
        for (const char *unit : kUnits) {
            bool rewritten = std::find(c.units.begin(), c.units.end(), unit) != c.units.end();
            EXPECT_EQ(s.machine.unit(unit).has_value(), rewritten) << unit;
        }
        EXPECT_TRUE(sameFiles(s.machine.disk(), diskAfterUpdate(media)));
        // Images of items left out are removed all the same.
        auto ramdisk = s.ramdiskFiles();
        EXPECT_EQ(ramdisk.size(), 1u) << names(ramdisk);
    }
}

// An HDD system in more files than the panel has progress rows, with
// destinations three folders deep: files from the eighth on share row 14,
// and every package still reaches its place.
TEST(E2eCompleted, HddFilesBeyondTheSeventhShareTheLastRow)
{
    Session s;
    s.media = sharedMedia("many-hdd-files", [](json &m) {
        m["hdd"]["fileSize"] = 1024;
        json files = json::array();
        for (int i = 10; i < 40; ++i)
            files.push_back({{"source", sampleInput("hddtree/SYS/etc/system.conf").string()},
                             {"dbName", "/UND/logs/a/b/c" + std::to_string(i) + ".conf"}});
        m["hdd"]["files"] = files;
    });
    MediaView media(s.media);
    auto parts = hddParts(media);
    ASSERT_GE(parts.size(), 9u) << "the media must need more than seven rows";

    Outcome o = s.run({"--keys", "1,ok"}); // OS UI left out: not what is tested
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.lines().back(), "Download -> OK");
    auto trace = s.trace();
    EXPECT_EQ(drawsOf(trace, "tdlFirmHdUpdate"), hddTaskDraws(parts));
    EXPECT_EQ(drawsOf(trace, "tdlFirmHdLoaderUSBUpdate"), loaderDraws(parts));
    std::string panel = s.panel();
    for (int row = 7; row <= 14; ++row)
        EXPECT_EQ(cells(panel, row, 0, 42), std::string(42, ' ')) << "row " << row;
    EXPECT_EQ(cells(panel, 4, 67, 9), "Completed");
    EXPECT_TRUE(sameFiles(s.machine.disk(), diskAfterUpdate(media)));
    EXPECT_EQ(textOf(s.ramdiskFiles()["/TMP/HddUpdateProgress.log"]), completedProgressLog(media));
    EXPECT_EQ(s.machine.rewriteFlags(), 0u);
}

// Two sessions in one boot: the RAM disk, queues and module state stay, and
// each session stages and rewrites everything again; the run's status is
// that of the last session.
TEST(E2eCompleted, TwoSessionsInOneBoot)
{
    MediaView media(sharedMedia("sample"));
    {
        Session s;
        s.media = sharedMedia("sample");
        Outcome o = s.run({"--sessions", "2", "--keys", "ok,ok"});
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.err, "session 1: returned 0\nsession 2: returned 0\n");
        auto once = completedConsole(media, "FOLROOT", false);
        auto twice = once;
        twice.insert(twice.end(), once.begin(), once.end());
        EXPECT_EQ(o.lines(), twice);
        EXPECT_TRUE(sameBytes(s.machine.flash(), media.flashAfterUpdate()));
        EXPECT_TRUE(sameFiles(s.machine.disk(), diskAfterUpdate(media)));
        EXPECT_EQ(s.ramdiskFiles().size(), 1u) << names(s.ramdiskFiles());
    }
    {
        // The first session fails at the scanner; the second one stages the
        // scanner image again over the one left behind and completes. (OS UI
        // is left out: its read-back is the slowest step of a session.)
        Session s;
        s.media = sharedMedia("sample");
        Outcome o = s.run({"--sessions", "2", "--keys", "1,ok,1,ok", "--fault", "unit.scanner:0:1"});
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_NE(o.err.find("session 1: exit(1)\n"), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("session 2: returned 0\n"), std::string::npos) << o.err;
        auto lines = o.lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "Download -> Failed"), 1);
        EXPECT_EQ(lines.back(), "Download -> OK");
        EXPECT_TRUE(sameBytes(s.machine.unit("scanner"), readBytes(sampleInput("scanner.bin"))));
        EXPECT_EQ(s.machine.updateMode(), 0u);
        EXPECT_EQ(s.ramdiskFiles().size(), 1u) << names(s.ramdiskFiles());
    }
}

} // namespace
} // namespace testing_support
