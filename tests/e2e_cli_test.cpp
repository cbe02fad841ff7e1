// dlupdate run's own endings, before and around the module: bad usage,
// unusable folders, a stalled session; and the one-command demo.
#include "e2e_support.h"

namespace e2e {
namespace {

TEST(E2eRunCommand, BadUsageEndsBeforeAnythingRuns)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--keys", "ok", "--fault", "flash-wirte"},
        {"--keys", "ok", "--fault", "flash-write:x"},
        {"--keys", "1,x,ok"},
        {"--keys", "k256"},
        {"--keys", "m1"},
        {"--keys", "ok", "--power-cut", "flash-write"},
        {"--keys", "ok", "--power-cut", "flash-write:0"},
        {"--keys", "ok", "--power-cut", "keys:1"},
        {"--keys", "ok", "--sessions", "0"},
        {"--keys", "ok", "--interactive"},
    };
    for (const auto &extra : cases) {
        SCOPED_TRACE(extra.back());
        Session s;
        s.media = sharedMedia("sample");
        Outcome o = s.run(extra);
        EXPECT_EQ(o.status, 64);
        EXPECT_EQ(o.out, "");
        EXPECT_NE(o.err, "");
        EXPECT_FALSE(fs::exists(s.machine.dir)) << "no machine is made";
        EXPECT_FALSE(fs::exists(s.panelFile()));
    }
}

TEST(E2eRunCommand, UnusableFoldersAreRefusedAndLeftAsTheyAre)
{
    struct Case {
        const char *what;
        std::function<void(Session &)> spoil;
    } cases[] = {
        {"short nvram.bin",
         [](Session &s) {
             s.machine.pokeNvram(0, {});
             mkmediatest::writeFile(s.machine.dir / "nvram.bin", Bytes(100, 0));
         }},
        {"machine folder of something else", [](Session &s) { mkmediatest::writeFile(s.machine.dir / "notes.txt", Bytes(3, 'x')); }},
        {"machine path is a file", [](Session &s) { mkmediatest::writeFile(s.machine.dir, Bytes(3, 'x')); }},
        {"no media folder", [](Session &s) { s.media = s.dir / "absent"; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = sharedMedia("sample");
        c.spoil(s);
        auto before = MachineView::filesUnder(s.machine.dir, "");
        Outcome o = s.run({"--keys", "ok"});
        EXPECT_EQ(o.status, 5) << o.err;
        EXPECT_EQ(o.out, "");
        EXPECT_NE(o.err, "");
        EXPECT_TRUE(sameFiles(MachineView::filesUnder(s.machine.dir, ""), before));
    }
}

// The menu waits for more keys after the script is used up: the run ends as
// stalled and names the waiting task.
TEST(E2eRunCommand, StalledMenuNamesTheWaitingTask)
{
    Session s;
    s.media = sharedMedia("sample");
    Outcome o = s.run({"--keys", "1"});
    EXPECT_EQ(o.status, 4) << o.err;
    auto lines = o.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "dlFirmUpdateModuleEnableFlag:7e");
    EXPECT_EQ(lines.back(), "dlBoardMsgRcvBuf3[1]:4");
    EXPECT_NE(o.err.find("session 1: stalled"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("task tUpdate"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("key focus"), std::string::npos) << o.err;
    // The menu stands with OS UI unmarked and nothing rewritten.
    EXPECT_EQ(cells(s.panel(), 5, 4, 16), " 1. OS UI Update");
    EXPECT_EQ(cells(s.panel(), 6, 4, 18), "*2. HDD SYS Update");
    EXPECT_TRUE(s.machine.flashErased());
    EXPECT_EQ(s.machine.updateMode(), 1u);
}

TEST(E2eDemo, OneCommandRunsAFullSessionAndSaysWhereEverythingIs)
{
    TempDir dir;
    fs::path demo = dir / "tour";
    Outcome o = dlupdate({"demo", demo.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "session 1: returned 0\n");
    auto lines = o.lines();
    auto at = [&](const std::string &line) { return std::find(lines.begin(), lines.end(), line); };
    EXPECT_NE(at("Download -> OK"), lines.end());
    auto panel = at("== final panel");
    ASSERT_NE(panel, lines.end()) << o.out;
    EXPECT_EQ(std::count(panel, lines.end(), std::string(46, ' ') + "Update Completed."), 1);
    auto where = at("== where everything is");
    ASSERT_NE(where, lines.end()) << o.out;
    std::string tail;
    for (auto it = where; it != lines.end(); ++it)
        tail += *it + "\n";
    for (const fs::path &p : {demo / "media", demo / "machine", demo / "ramdisk" / "HddUpdateProgress.log"}) {
        EXPECT_NE(tail.find(p.string()), std::string::npos) << p << "\n" << tail;
        EXPECT_TRUE(fs::exists(p)) << p;
    }
    MachineView machine{demo / "machine"};
    EXPECT_EQ(machine.rewriteFlags(), 0u);
    EXPECT_FALSE(machine.flashErased());
    EXPECT_TRUE(machine.unit("scanner"));
    EXPECT_TRUE(sameFiles(machine.disk(), diskAfterUpdate(MediaView(demo / "media"))));
}

} // namespace
} // namespace e2e
