// Running sessions as `dlupdate run` does, with stand-in entries: summary
// lines, exit statuses, outputs, usage and unusable folders.
#include "bootenv/bootEnv.h"
#include "support/Harness.h"
#include "tools/run/SessionRunner.h"

#include <sstream>

namespace {

using testing_support::readText;
using testing_support::TempDir;
using testing_support::writeFile;

struct Runner {
    TempDir dir;
    dlrun::RunOptions options;
    std::ostringstream err;
    Runner()
    {
        std::filesystem::create_directories(dir / "media");
        // The stand-in entries read no media, but a run on media offering
        // no update file says so: one file for the survey to count.
        writeFile(dir / "media" / "1", "");
        options.media = (dir / "media").string();
        options.machine = (dir / "machine").string();
        options.interactiveGiven = true; // never the live view in tests
    }
    int operator()(const dlrun::Entry &entry)
    {
        return dlrun::runSessions(options, entry, dltool::Voice("dlupdate run", err));
    }
};

TEST(RunSessions, ExitStatusFollowsHowTheLastSessionEnded)
{
    struct Case {
        dlrun::Entry entry;
        int status;
        const char *summary;
    } cases[] = {
        {[] { return 0; }, 0, "session 1: returned 0\n"},
        {[]() -> int { vx::exit(1); }, 1, "session 1: exit(1)\n"},
        {[] { return -1; }, 2, "session 1: returned -1\n"},
        {[]() -> int { vx::exit(0); }, 3, "session 1: exit(0)\n"},
    };
    for (auto &c : cases) {
        Runner run;
        EXPECT_EQ(run(c.entry), c.status);
        EXPECT_EQ(run.err.str(), c.summary);
    }
}

TEST(RunSessions, StateStaysFromOneSessionToTheNext)
{
    Runner run;
    run.options.sessions = 3;
    run.options.panelFile = (run.dir / "panel.txt").string();
    int calls = 0;
    EXPECT_EQ(run([&] {
                  ++calls;
                  char text[32];
                  std::snprintf(text, sizeof text, "session %d", calls);
                  vx::bootDispString(0, 2, calls, text);
                  vx::setBitNvFlag(calls == 3 ? 0x10 : 0x01, 0);
                  return calls == 2 ? -1 : 0;
              }),
              0);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(run.err.str(), "session 1: returned 0\nsession 2: returned -1\nsession 3: returned 0\n");
    EXPECT_EQ(readText(run.dir / "panel.txt"),
              "\n  session 1\n  session 2\n  session 3\n\n\n\n\n\n\n\n\n\n\n\n");
    // The machine folder was made and keeps the NVRAM of the run.
    EXPECT_EQ(readText(run.dir / "machine" / "nvram.bin").substr(0, 4), std::string("\0\0\0\x11", 4));
}

TEST(RunSessions, APowerCutNeverReachedIsSaid)
{
    Runner run;
    run.options.powerCut = "nvram-set:3";
    EXPECT_EQ(run([] {
                  vx::setBitNvFlag(0x01, 0);
                  vx::setBitNvFlag(0x10, 0);
                  return 0;
              }),
              0);
    EXPECT_EQ(run.err.str(), "session 1: returned 0\n"
                             "dlupdate run: power cut nvram-set:3 not reached: the run made 2 "
                             "nvram-set events\n");
}

TEST(RunSessions, KeyScriptAndStallReport)
{
    Runner run;
    run.options.keysGiven = true;
    run.options.keys = "ok";
    std::vector<int> codes;
    int status = run([&] {
        vx::MSG_Q_ID q = vx::msgQCreate(10, 4, vx::MSG_Q_FIFO);
        vx::bootKeyDrvInit();
        vx::UINT16 *table = vx::bootGetKeyFocus(q);
        table[3] = 1u << 4; // the confirm key
        vx::bootKeyUnlock();
        for (;;) {
            char msg[4];
            vx::msgQReceive(q, msg, 4, vx::WAIT_FOREVER);
            codes.push_back(msg[1]);
        }
        return 0;
    });
    EXPECT_EQ(status, 4);
    EXPECT_EQ(codes, std::vector<int>{52});
    EXPECT_NE(run.err.str().find("session 1: stalled"), std::string::npos) << run.err.str();
    EXPECT_NE(run.err.str().find("task tUpdate"), std::string::npos) << run.err.str();
    EXPECT_NE(run.err.str().find("key focus"), std::string::npos) << run.err.str();
}

TEST(RunSessions, TraceAndRamDiskOut)
{
    Runner run;
    run.options.traceFile = (run.dir / "trace.jsonl").string();
    run.options.ramdiskOut = (run.dir / "ramdisk").string();
    static char memory[2048 * 512];
    EXPECT_EQ(run([] {
                  vx::dosFsMkfs("/TMP", vx::ramDevCreate(memory, 512, 400, 2048, 0));
                  vx::FILE *fp = vx::fopen("/TMP/HddUpdateProgress.log", "w");
                  vx::fprintf(fp, "OS Version = %s\n", "BOOT V1.00");
                  vx::fclose(fp);
                  vx::bootDispClear();
                  return 0;
              }),
              0);
    // Each line names its session.
    EXPECT_EQ(readText(run.dir / "trace.jsonl"), "{\"task\":\"tUpdate\",\"op\":\"clear\",\"session\":1}\n");
    EXPECT_EQ(readText(run.dir / "ramdisk" / "HddUpdateProgress.log"), "OS Version = BOOT V1.00\n");
}

TEST(RunSessions, UsageErrorsComeBeforeAnythingRuns)
{
    for (auto set : std::vector<std::function<void(dlrun::RunOptions &)>>{
             [](auto &o) { o.faults = {"no-such-fault"}; },
             [](auto &o) { o.powerCut = "flash-write"; },
             [](auto &o) { o.keysGiven = true, o.keys = "1,x"; },
             [](auto &o) { o.sessions = 0; },
         }) {
        Runner run;
        set(run.options);
        bool ran = false;
        EXPECT_EQ(run([&] { return ran = true, 0; }), 64);
        EXPECT_FALSE(ran);
        EXPECT_FALSE(std::filesystem::exists(run.dir / "machine")); // nothing made
    }
}

TEST(RunSessions, UnusableFoldersAreRefusedAndLeftAsTheyAre)
{
    Runner run;
    writeFile(run.dir / "machine" / "nvram.bin", "short");
    EXPECT_EQ(run([] { return 0; }), 5);
    EXPECT_EQ(readText(run.dir / "machine" / "nvram.bin"), "short");
    EXPECT_FALSE(std::filesystem::exists(run.dir / "machine" / "flashrom.bin"));

    Runner noMedia;
    noMedia.options.media = (noMedia.dir / "absent").string();
    EXPECT_EQ(noMedia([] { return 0; }), 5);
}

} // namespace
