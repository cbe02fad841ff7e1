// dlupdate run's own endings, before and around the module: bad usage,
// unusable folders, a stalled session; and the one-command demo.
#include "e2e_support.h"

namespace testing_support {
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
        {"--interactive"}, // standard input is not a terminal
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
             testing_support::writeFile(s.machine.dir / "nvram.bin", Bytes(100, 0));
         }},
        {"machine folder of something else",
         [](Session &s) { testing_support::writeFile(s.machine.dir / "notes.txt", Bytes(3, 'x')); }},
        {"machine path is a file",
         [](Session &s) { testing_support::writeFile(s.machine.dir, Bytes(3, 'x')); }},
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

// The demo writes only into a folder that it made: a user's folder, even one
// holding folders named as the demo's, and a file are refused and left byte
// for byte as they were.
TEST(E2eDemo, RefusesFoldersItDidNotMakeAndTouchesNothing)
{
    struct Case {
        const char *what;
        std::function<fs::path(const fs::path &)> make; // returns DIR
    } cases[] = {
        {"a user's folder with media/ and sample/",
         [](const fs::path &d) {
             testing_support::writeFile(d / "work" / "media" / "fwstore" / "1", Bytes(10, 'm'));
             testing_support::writeFile(d / "work" / "sample" / "manifest.json", Bytes(5, '{'));
             testing_support::writeFile(d / "work" / "notes.txt", Bytes(3, 'n'));
             return d / "work";
         }},
        {"a folder with one hidden file",
         [](const fs::path &d) {
             testing_support::writeFile(d / "work" / ".profile", Bytes(4, 'p'));
             return d / "work";
         }},
        {"a file",
         [](const fs::path &d) {
             testing_support::writeFile(d / "work", Bytes(7, 'f'));
             return d / "work";
         }},
        {"a file's name with a slash after it",
         [](const fs::path &d) {
             testing_support::writeFile(d / "work", Bytes(7, 'f'));
             return fs::path((d / "work").string() + "/");
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        fs::path target = c.make(dir.path());
        auto before = MachineView::filesUnder(dir.path(), "");
        Outcome o = dlupdate({"demo", target.string()});
        EXPECT_EQ(o.status, 64) << o.err;
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err.rfind("dlupdate demo: ", 0), 0u) << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        EXPECT_TRUE(sameFiles(MachineView::filesUnder(dir.path(), ""), before));
    }
}

// A copy of the program in another folder runs the demo with nothing of the
// source tree; a name with quotes and semicolons makes that one folder and
// nothing else; a second demo in the folder the first made replaces its
// files.
TEST(E2eDemo, RunsFromACopyOfTheProgramAndAgainInItsOwnFolder)
{
    TempDir dir;
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "cwd");
    const fs::path copy = dir / "bin" / "dlupdate";
    fs::copy_file(DL_DLUPDATE, copy);
    const std::string name = "it's \"a\"; touch pwned; $(touch pwned2)";
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        Outcome o = dlupdate({"demo", name}, dir / "cwd", {}, copy.string());
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_NE(o.out.find("Download -> OK"), std::string::npos);
        std::vector<std::string> made;
        for (const auto &e : fs::directory_iterator(dir / "cwd"))
            made.push_back(e.path().filename().string());
        EXPECT_EQ(made, std::vector<std::string>{name});
        std::vector<std::string> inside;
        for (const auto &e : fs::directory_iterator(dir / "cwd" / name))
            inside.push_back(e.path().filename().string());
        std::sort(inside.begin(), inside.end());
        EXPECT_EQ(inside, (std::vector<std::string>{".dlupdate-demo", "machine", "media", "panel.txt",
                                                    "ramdisk", "sample"}));
        EXPECT_EQ(MachineView{dir / "cwd" / name / "machine"}.rewriteFlags(), 0u);
    }
}

// Wrong words are named with the closest right one; every line says which
// command it comes from; help and --version go to standard output.
TEST(E2eUsage, MessagesNameTheWrongWordAndTheCommand)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err; // exactly, when not empty
        std::string out; // a part of standard output
    } cases[] = {
        {{"runn"}, 64, "dlupdate: unknown command 'runn'; did you mean 'run'? (dlupdate help)\n", ""},
        {{"inspetc", "x"},
         64,
         "dlupdate: unknown command 'inspetc'; did you mean 'inspect'? (dlupdate help)\n",
         ""},
        {{"xyzzy"}, 64, "dlupdate: unknown command 'xyzzy' (dlupdate help)\n", ""},
        {{"machine", "shwo", "m"},
         64,
         "dlupdate machine: unknown command 'shwo'; did you mean 'show'? (dlupdate help machine)\n",
         ""},
        {{"run", "--meda", "m", "--machine", "x"},
         64,
         "dlupdate run: unknown option '--meda'; did you mean '--media'? (dlupdate help run)\n",
         ""},
        {{"run", "--media", "m", "--pannel=p"},
         64,
         "dlupdate run: unknown option '--pannel'; did you mean '--panel'? (dlupdate help run)\n",
         ""},
        {{"run", "--machine", "x", "--media"}, 64, "dlupdate run: --media needs a value: --media DIR\n", ""},
        {{"run", "--media", "--machine", "x"}, 64, "dlupdate run: --media needs a value: --media DIR\n", ""},
        {{"mkmedia", "m.json", "--out"}, 64, "dlupdate mkmedia: --out needs a value: --out DIR\n", ""},
        {{"inspect"}, 64, "dlupdate inspect: DIR is required (dlupdate help inspect)\n", ""},
        {{"mkmedia"},
         64,
         "dlupdate mkmedia: give MANIFEST --out DIR, or --sample DIR (dlupdate help mkmedia)\n",
         ""},
        {{"help", "runn"}, 64, "dlupdate help: unknown command 'runn'; did you mean 'run'?\n", ""},
        // The parser's stock sentences, in the tool's own words.
        {{"run", "--media", "a", "--media", "b", "--machine", "m"},
         64,
         "dlupdate run: --media is given 2 times; give it once (dlupdate help run)\n",
         ""},
        {{"run", "--media", "a", "--machine", "m", "--sessions", "two"},
         64,
         "dlupdate run: --sessions takes a whole number, not 'two' (dlupdate help run)\n",
         ""},
        {{"run", "--media", "a", "--machine", "m", "--interactive=maybe"},
         64,
         "dlupdate run: --interactive takes no value (give --interactive alone), not 'maybe' (dlupdate help "
         "run)\n",
         ""},
        {{"mkmedia", "--level", "13"},
         64,
         "dlupdate mkmedia: --level takes a number from 1 to 12, not '13' (dlupdate help mkmedia)\n",
         ""},
        {{"mkmedia", "--jobs", "two"},
         64,
         "dlupdate mkmedia: --jobs takes a number from 1 to 1024, not 'two' (dlupdate help mkmedia)\n",
         ""},
        {{"mkmedia", "--sample", "s", "m.json"},
         64,
         "dlupdate mkmedia: MANIFEST and --sample cannot be given together (dlupdate help mkmedia)\n",
         ""},
        {{"sweep", "--media", "m", "--seed", "3"},
         64,
         "dlupdate sweep: --seed works only with --damage (dlupdate help sweep)\n",
         ""},
        {{"inspect", "a", "b"},
         64,
         "dlupdate inspect: 'b' was not expected here (dlupdate help inspect)\n",
         ""},
        {{"machine"},
         64,
         "dlupdate machine: a command is required: init, show, verify (dlupdate help machine)\n",
         ""},
        {{"completion", "tcsh"},
         64,
         "dlupdate completion: unknown shell 'tcsh'; give bash, zsh or fish\n",
         ""},
        {{"-V"}, 0, "", "dlupdate 1."},
        {{"version"}, 0, "", "dlupdate 1."},
        {{"--version"}, 0, "", "dlupdate 1."},
        {{"help"}, 0, "", "dlupdate help COMMAND"},
        {{"help", "run"}, 0, "", "--media DIR"},
        {{"help", "run"}, 0, "", "9 power cut"},
        {{"help", "run"}, 0, "", "\"Faults and power cuts\""},
        {{"help", "machine", "init"}, 0, "", "DIR"},
        {{"run", "--help"}, 0, "", "--panel-trace FILE"},
    };
    for (const auto &c : cases) {
        std::string line;
        for (const auto &a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        Outcome o = dlupdate(c.args);
        EXPECT_EQ(o.status, c.status) << o.err;
        if (c.status == 0) {
            EXPECT_EQ(o.err, "");
            EXPECT_NE(o.out.find(c.out), std::string::npos) << o.out;
        } else {
            EXPECT_EQ(o.err, c.err);
            EXPECT_EQ(o.out, "");
        }
    }
    // One folder that is no machine: the text and the JSON form of a
    // command say so in the same words, under the command's own name.
    const Outcome text = dlupdate({"machine", "show", "/nonexistent/m"});
    const Outcome asJson = dlupdate({"machine", "show", "--json", "/nonexistent/m"});
    EXPECT_EQ(text.status, 5);
    EXPECT_EQ(asJson.status, 5);
    EXPECT_EQ(text.err.rfind("dlupdate machine show: ", 0), 0u) << text.err;
    EXPECT_EQ(asJson.err, text.err);
    const Outcome verify =
        dlupdate({"machine", "verify", "--json", "--machine", "/nonexistent/m", "--media", "."});
    EXPECT_EQ(verify.status, 5);
    EXPECT_EQ(verify.err.rfind("dlupdate machine verify: ", 0), 0u) << verify.err;
}

} // namespace
} // namespace testing_support
