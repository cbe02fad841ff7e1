// The live panel as a user at a terminal sees it: dlupdate started on a
// pseudo-terminal of a given size, keys typed into it, the window resized,
// standard output piped away, and the machine folder read back.
#include "e2e_support.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <chrono>
#include <random>

namespace testing_support {
namespace {

// dlupdate on the slave side of a pseudo-terminal, which is its
// controlling terminal; standard output goes to `stdoutFile` when given.
class PtyRun {
public:
    // `env`: "NAME=value" set, "NAME" unset.
    PtyRun(const std::vector<std::string> &args, int cols, int rows, const fs::path &stdoutFile,
           const std::vector<std::string> &env = {})
    {
        winsize ws{};
        ws.ws_col = static_cast<unsigned short>(cols);
        ws.ws_row = static_cast<unsigned short>(rows);
        Argv argv(DL_DLUPDATE, args);
        pid_ = ::forkpty(&master_, nullptr, nullptr, &ws);
        if (pid_ == 0) {
            if (!stdoutFile.empty()) {
                int fd = ::open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                ::dup2(fd, 1);
            }
            ::setenv("LC_ALL", "C", 1);
            for (const std::string &e : env) {
                std::size_t eq = e.find('=');
                if (eq == std::string::npos)
                    ::unsetenv(e.c_str());
                else
                    ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
            }
            ::execv(DL_DLUPDATE, argv.data());
            ::_exit(127);
        }
        if (pid_ < 0)
            throw std::runtime_error("forkpty failed");
    }
    ~PtyRun()
    {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(master_);
    }

    // Reads until `text` has been seen `times` times (from the start).
    bool waitFor(const std::string &text, int times = 1)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(600);
        for (;;) {
            int n = 0;
            for (std::size_t at = 0; (at = seen_.find(text, at)) != std::string::npos; at += text.size())
                ++n;
            if (n >= times)
                return true;
            if (std::chrono::steady_clock::now() > deadline || !readSome(200))
                return false;
        }
    }
    void type(const std::string &bytes)
    {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void resize(int cols, int rows)
    {
        winsize ws{};
        ws.ws_col = static_cast<unsigned short>(cols);
        ws.ws_row = static_cast<unsigned short>(rows);
        ::ioctl(master_, TIOCSWINSZ, &ws);
    }
    // Reads to the end and returns the exit status.
    int finish()
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(600);
        while (std::chrono::steady_clock::now() < deadline && readSome(200)) {
        }
        int st = 0;
        ::waitpid(pid_, &st, 0);
        reaped_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    const std::string &seen() const { return seen_; }
    void signal(int sig) { ::kill(pid_, sig); }

private:
    // False at the end of the output.
    bool readSome(int ms)
    {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0)
            return true;
        char buf[4096];
        ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0)
            return false;
        seen_.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    pid_t pid_ = -1;
    int master_ = -1;
    bool reaped_ = false;
    std::string seen_;
};

TEST(E2eLivePanel, KeysSizesPipesAndQuitting)
{
    struct Step {
        std::string waitFor; // on the terminal, before what follows
        int times = 1;
        std::string type;
        int cols = 0, rows = 0; // resize to, when set
    };
    struct Case {
        const char *what;
        int cols, rows;
        bool pipeStdout;
        std::vector<std::string> extra;
        std::vector<Step> steps;
        int status;
        std::vector<std::string> shown, notShown;
        std::uint32_t flags;
    } cases[] = {
        {"normal size: keys named on the status line, q before the menu is confirmed",
         100,
         30,
         false,
         {},
         {{"[keys on]  0-9 keys, Enter confirm, q quit", 1, "7"},
          {"7 -> key 22 not enabled", 1, "x"},
          {"x: not a key; digits, Enter, q", 1, "1"},
          {"1 -> key 4 sent", 1, "q"}},
         6,
         {"|     1. OS UI Update", "session 1: ended from the keyboard"},
         {"power cut"},
         0},
        {"standard output piped: the panel on the terminal, the console in the pipe",
         100,
         30,
         true,
         {},
         {{"[keys on]", 1, "\r"}},
         0,
         {"Update Completed.", "[keys off] updating: q or Ctrl-C twice cuts the power",
          "session 1: returned 0"},
         {"Download -> OK"},
         0},
        {"60x15: the compact view, the items with their marks and the keys acting on them",
         60,
         15,
         false,
         {},
         // Keys on first, so that the 1 is not typed into a locked menu on a slow build.
         {{"[keys on]", 1, "1"}, {"1 -> key 4 sent", 1, "q"}},
         6,
         {" 1. OS UI Update", "*2. HDD SYS Update", "*6. Scanner Firmware Update", "[keys on]"},
         {"+-----", "the panel needs"},
         0},
        {"resized: compact, full, too small for either",
         60,
         15,
         false,
         {},
         {{"*2. HDD SYS Update", 1, "", 100, 30},
          {"+-----", 1, "", 19, 5},
          {"the panel needs 20x6 at least; this window is 19x5", 1, "q"}},
         6,
         {"|    *2. HDD SYS Update"},
         {},
         0},
        {"q twice during the update: a warning, then the power is cut",
         100,
         30,
         false,
         {"--fault", "msgq-send"}, // the update's results never arrive: it waits
         {{"[keys on]", 1, "\r"},
          {"fault msgq-send: msgQSend fails", 4, "q"},
          {"the device cannot stop the update: q or Ctrl-C again cuts the power", 1, "q"}},
         9,
         {"power cut from the keyboard"},
         {"session 1:"},
         0x10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = sharedMedia("sample");
        fs::path console = s.dir / "console.txt";
        std::vector<std::string> args{"run", "--media", s.media.string(), "--machine",
                                      s.machine.dir.string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        PtyRun run(args, c.cols, c.rows, c.pipeStdout ? console : fs::path());
        for (const Step &step : c.steps) {
            ASSERT_TRUE(run.waitFor(step.waitFor, step.times)) << step.waitFor << "\n" << run.seen();
            if (step.cols)
                run.resize(step.cols, step.rows);
            if (!step.type.empty())
                run.type(step.type);
        }
        EXPECT_EQ(run.finish(), c.status) << run.seen();
        for (const auto &text : c.shown)
            EXPECT_NE(run.seen().find(text), std::string::npos) << text << "\n" << run.seen();
        for (const auto &text : c.notShown)
            EXPECT_EQ(run.seen().find(text), std::string::npos) << text << "\n" << run.seen();
        // The shell's prompt starts on a line of its own.
        EXPECT_EQ(run.seen().back(), '\n');
        if (c.pipeStdout) {
            std::string out = readText(console);
            EXPECT_NE(out.find("Download -> OK\n"), std::string::npos) << out;
            EXPECT_EQ(out.find('\x1b'), std::string::npos) << "the console alone goes to the pipe";
        }
        EXPECT_EQ(s.machine.rewriteFlags(), c.flags);
    }
}

// Colour at a terminal only: problem, Failed and differs in red, nothing of
// it under NO_COLOR or TERM=dumb (which has no live panel either), nor in
// a file.
TEST(E2eColour, OnATerminalOnlyAndNeverUnderNoColorOrDumb)
{
    TempDir dir;
    const fs::path bad = dir / "bad";
    fs::copy(sharedMedia("sample"), bad, fs::copy_options::recursive);
    fs::resize_file(bad / "fwstore" / "3", 298); // ends inside a package: a problem, and the update fails
    const std::string red = "\x1b[1;31m";
    struct Case {
        const char *what;
        std::vector<std::string> args, env;
        bool toFile;
        int status;
        std::string shown;
        bool coloured;
    } cases[] = {
        {"inspect at a terminal",
         {"inspect", bad.string()},
         {"TERM=xterm", "NO_COLOR"},
         false,
         1,
         red + "problem\x1b[0m: HDD file 3",
         true},
        {"inspect, NO_COLOR",
         {"inspect", bad.string()},
         {"TERM=xterm", "NO_COLOR=1"},
         false,
         1,
         "problem: HDD file 3",
         false},
        {"inspect, TERM=dumb",
         {"inspect", bad.string()},
         {"TERM=dumb", "NO_COLOR"},
         false,
         1,
         "problem: HDD file 3",
         false},
        {"inspect into a file", {"inspect", bad.string()}, {"TERM=xterm", "NO_COLOR"}, true, 1, "", false},
        {"run at a terminal",
         {"run", "--media", bad.string(), "--machine", (dir / "m1").string(), "--keys", "ok"},
         {"TERM=xterm", "NO_COLOR"},
         false,
         1,
         "Download -> " + red + "Failed\x1b[0m",
         true},
        {"run --interactive, TERM=dumb: no panel, so the menu waits for keys",
         {"run", "--media", bad.string(), "--machine", (dir / "m2").string(), "--interactive"},
         {"TERM=dumb", "NO_COLOR"},
         false,
         4,
         "dlupdate run: TERM=dumb: the live panel is off",
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path file = c.toFile ? dir / "out.txt" : fs::path();
        PtyRun run(c.args, 100, 30, file, c.env);
        EXPECT_EQ(run.finish(), c.status) << run.seen();
        const std::string seen = c.toFile ? readText(file) : run.seen();
        EXPECT_NE(seen.find(c.shown), std::string::npos) << seen;
        EXPECT_EQ(seen.find(red) != std::string::npos, c.coloured) << seen;
        if (c.toFile) {
            EXPECT_NE(seen.find("problem: HDD file 3"), std::string::npos) << seen;
            EXPECT_EQ(seen.find('\x1b'), std::string::npos) << seen;
        }
        EXPECT_EQ(run.seen().find("+-----"), std::string::npos) << "no panel: keys were given";
    }
}

// mkmedia at a terminal: a progress line while it works and one summary
// line at the end, on standard error only; standard output keeps the file
// list alone. (Off a terminal: PlainLinesOffATerminalAndNoneWhenQuiet.)
TEST(E2eProgress, MkmediaSumsUpAtATerminalAndKeepsStandardOutputClean)
{
    TempDir dir;
    fs::create_directories(dir / "work");
    std::ofstream(dir / "work" / "manifest.json") << sampleManifest().dump(2);
    const fs::path list = dir / "files.txt";
    PtyRun run({"mkmedia", (dir / "work" / "manifest.json").string(), "--out", (dir / "media").string()}, 100,
               30, list);
    EXPECT_EQ(run.finish(), 0) << run.seen();
    EXPECT_EQ(readText(list), "fwstore/firmImage0.bin\nfwstore/firmImage1.bin\nfwstore/firmImage2.bin\n"
                              "fwstore/1\nfwstore/2\nfwstore/3\nSHA256SUMS\n");
    // 3 UI packages, 4 units, the version text and 6 tree files.
    std::uint64_t in = 0;
    for (const auto &e : fs::recursive_directory_iterator(sampleDir() / "inputs"))
        if (e.is_regular_file())
            in += fs::file_size(e.path());
    std::string summary = "dlupdate mkmedia: 14 packages, ";
    std::size_t at = run.seen().find(summary);
    ASSERT_NE(at, std::string::npos) << run.seen();
    std::string line = run.seen().substr(at, run.seen().find('\r', at) - at);
    // Bytes in: the inputs and the short version text.
    EXPECT_NE(line.find(" bytes out, 3 HDD files, system version V1R2.10 A"), std::string::npos) << line;
    std::uint64_t bytesIn = std::stoull(line.substr(summary.size()));
    EXPECT_GT(bytesIn, in);
    EXPECT_LT(bytesIn, in + 200);
}

// A run off the live panel, standard error at a terminal: one line of
// progress that steps aside for every console line and report, and is gone
// at the end; the console itself stays free of it.
TEST(E2eProgress, RunShowsPhaseFileAndBytesAndLeavesTheConsoleClean)
{
    Session s;
    s.media = sharedMedia("sample");
    fs::path console = s.dir / "console.txt";
    PtyRun run({"run", "--media", s.media.string(), "--machine", s.machine.dir.string(), "--keys", "ok"}, 100,
               30, console);
    ASSERT_EQ(run.finish(), 0) << run.seen();
    const std::string &seen = run.seen();
    for (const char *text : {"dlupdate run: staging", "dlupdate run: flash ROM",
                             "dlupdate run: sub-unit firmware", "dlupdate run: HDD file 1 of 3  [----------]",
                             "dlupdate run: HDD file 3 of 3  [######----]", " KiB inflated"})
        EXPECT_NE(seen.find(text), std::string::npos) << text << "\n" << seen;
    // Cleared before the session's line, which stands alone at the end.
    EXPECT_NE(seen.find("\r\x1b[Ksession 1: returned 0\r\n"), std::string::npos) << seen;
    EXPECT_EQ(seen.substr(seen.size() - 2), "\r\n");
    std::string out = readText(console);
    EXPECT_NE(out.find("Download -> OK\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("dlupdate run:"), std::string::npos) << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
}

// Waits until `file` holds `text`; false after a minute without it.
bool fileHolds(const fs::path &file, const std::string &text)
{
    for (int i = 0; i < 600; ++i) {
        if (readText(file).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// A CI timeout (SIGTERM) or Ctrl-C (SIGINT) in a run: the session ends as
// at a power cut, every output is written as things stood, the run says so
// and exits 128 + N. The signal is sent once the console's line is in its
// log, which a block-buffered console would only write at the end.
TEST(E2eSignal, RunEndsAsAtAPowerCutAndKeepsItsOutputs)
{
    struct Case {
        const char *what;
        int signal;
        std::vector<std::string> extra;
        std::string type;    // typed once the menu is up
        std::string waitFor; // on the terminal, `times` times, before the signal
        int times;
        int status;
        std::string consoleLast;
        std::uint32_t flags;
    } cases[] = {
        {"SIGTERM at the menu", SIGTERM, {}, "", "[keys on]", 1, 143, "dlFirmUpdateModuleEnableFlag:7e", 0},
        {"SIGINT at the menu", SIGINT, {}, "", "[keys on]", 1, 130, "dlFirmUpdateModuleEnableFlag:7e", 0},
        {"SIGTERM during the update, which waits for results that never come",
         SIGTERM,
         {"--fault", "msgq-send"},
         "\r",
         "fault msgq-send: msgQSend fails",
         4,
         143,
         "",
         0x10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = sharedMedia("sample");
        const fs::path console = s.dir / "console.txt", report = s.dir / "report.json";
        std::vector<std::string> args{
            "run",      "--media",       s.media.string(), "--machine",           s.machine.dir.string(),
            "--report", report.string(), "--panel",        s.panelFile().string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        PtyRun run(args, 100, 30, console);
        ASSERT_TRUE(run.waitFor("[keys on]")) << run.seen();
        ASSERT_TRUE(fileHolds(console, "dlFirmUpdateModuleEnableFlag:7e\n")) << readText(console);
        if (!c.type.empty())
            run.type(c.type);
        ASSERT_TRUE(run.waitFor(c.waitFor, c.times)) << run.seen();
        run.signal(c.signal);
        EXPECT_EQ(run.finish(), c.status) << run.seen();
        const std::string said = "dlupdate run: interrupted by signal " + std::to_string(c.signal);
        EXPECT_NE(run.seen().find(said + "\r\n"), std::string::npos) << run.seen();
        EXPECT_EQ(run.seen().find("power cut"), std::string::npos) << run.seen();
        // The log: whole lines, up to the last the module wrote.
        const std::string out = readText(console);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(), '\n') << out;
        if (!c.consoleLast.empty()) {
            EXPECT_EQ(splitLines(out).back(), c.consoleLast) << out;
        }
        const json r = json::parse(readText(report));
        EXPECT_EQ(r["status"], c.status);
        EXPECT_EQ(r["interrupted"]["signal"], c.signal);
        ASSERT_EQ(r["sessions"].size(), 1u);
        EXPECT_EQ(r["sessions"][0]["ending"], "interrupted by signal " + std::to_string(c.signal));
        EXPECT_EQ(r["sessions"][0]["console"].back(), splitLines(out).back());
        EXPECT_NE(s.panel().find("Update"), std::string::npos) << s.panel();
        EXPECT_EQ(s.machine.rewriteFlags(), c.flags);
    }
}

// A sweep stopped by SIGTERM keeps the rows it finished: its table, JSON
// and JUnit hold them, each says it was interrupted, and it exits 143.
// The signal comes at the first tenth of the single cuts, with the double
// cuts (hundreds of boots) still ahead.
TEST(E2eSignal, SweepKeepsTheRowsItFinished)
{
    TempDir dir;
    const fs::path json = dir / "s.json", xml = dir / "s.xml";
    Command c{{"sweep", "--media", sharedMedia("sample").string(), "--double", "--json", json.string(),
               "--junit", xml.string()},
              {},
              dir / "stdout",
              dir / "stderr",
              {}};
    const pid_t pid = start(c);
    const bool seen = fileHolds(c.err, "dlupdate sweep: cut point ");
    ::kill(pid, SIGTERM);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0) {
    }
    ASSERT_TRUE(seen) << readText(c.err);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 143);
    const auto j = nlohmann::json::parse(readText(json));
    const std::size_t rows = j["rows"].size();
    EXPECT_GE(rows, 1u);
    EXPECT_EQ(j["interrupted"]["signal"], 15);
    EXPECT_EQ(j["interrupted"]["rows"], rows);
    EXPECT_EQ(j["summary"]["rows"], rows);
    const std::string junit = readText(xml);
    EXPECT_NE(junit.find("tests=\"" + std::to_string(rows + 1) + "\""), std::string::npos) << junit;
    EXPECT_NE(
        junit.find("<failure message=\"interrupted by signal 15 after " + std::to_string(rows) + " rows\""),
        std::string::npos)
        << junit;
    const auto out = splitLines(readText(c.out));
    ASSERT_EQ(out.size(), rows + 2) << readText(c.out); // the heading, the rows, the summary
    EXPECT_EQ(out.back().substr(out.back().find(", ")), ", " + std::to_string(rows) + " passed, 0 failed");
    const auto err = splitLines(readText(c.err));
    EXPECT_EQ(err.back(), "dlupdate sweep: interrupted by signal 15 after " + std::to_string(rows) + " rows");
}

// Long work off a terminal, as CI logs it: a plain line at each tenth of
// the work (every 10 s too, which no test waits for), whole lines with no
// '\r' or escape, the closing summary; none of it with --quiet.
TEST(E2eProgress, PlainLinesOffATerminalAndNoneWhenQuiet)
{
    TempDir dir;
    // Four 1.5 MiB units: large media, a tenth passed at each.
    json m = sampleManifest();
    std::mt19937 gen(5);
    for (const char *unit : {"lsr", "pfc", "engine", "scanner"}) {
        Bytes b(3u << 19);
        for (auto &x : b)
            x = static_cast<std::uint8_t>(gen());
        testing_support::writeFile(dir / unit, b);
        m["image2"][unit]["source"] = (dir / unit).string();
    }
    std::ofstream(dir / "manifest.json") << m.dump(2);
    const std::string media = (dir / "media").string(), manifest = (dir / "manifest.json").string();
    ASSERT_EQ(dlupdate({"machine", "init", (dir / "machine").string()}).status, 0);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string line, last; // each progress line's start; the last one's
        std::string summary;    // the line after them
    } cases[] = {
        {{"mkmedia", manifest, "--out", media},
         0,
         "dlupdate mkmedia: package ",
         "dlupdate mkmedia: package 14 of 14, ",
         "dlupdate mkmedia: 14 packages, "},
        {{"inspect", media}, 0, "dlupdate inspect: read ", "", ""},
        {{"machine", "verify", "--machine", (dir / "machine").string(), "--media", media},
         1,
         "dlupdate machine verify: read ",
         "",
         ""},
    };
    for (const Case &c : cases)
        for (bool quiet : {false, true}) {
            std::vector<std::string> args = c.args;
            if (quiet)
                args.push_back("--quiet");
            if (c.args[0] == "mkmedia")
                fs::remove_all(media);
            SCOPED_TRACE(args[0] + (quiet ? " --quiet" : ""));
            const Outcome o = dlupdate(args);
            EXPECT_EQ(o.status, c.status) << o.err;
            EXPECT_EQ(o.err.find_first_of("\r\x1b"), std::string::npos) << o.err;
            const auto lines = splitLines(o.err);
            std::vector<std::string> progress;
            for (const auto &l : lines)
                if (l.starts_with(c.line))
                    progress.push_back(l);
            if (quiet) {
                EXPECT_TRUE(progress.empty()) << o.err;
                continue;
            }
            // A line at each tenth passed (more on a slow machine, every
            // 10 s), the whole read or made the last.
            EXPECT_GE(progress.size(), c.args[0] == "mkmedia" ? 4u : 1u) << o.err;
            ASSERT_FALSE(progress.empty());
            if (!c.last.empty())
                EXPECT_TRUE(progress.back().starts_with(c.last)) << o.err;
            else {
                // "read 6.1 MiB of 6.1 MiB [##########]": all of it.
                const std::string &l = progress.back();
                const std::size_t of = l.find(" of ");
                EXPECT_EQ(l.substr(c.line.size(), of - c.line.size()), l.substr(of + 4, of - c.line.size()))
                    << l;
            }
            const std::size_t at = std::find(lines.begin(), lines.end(), progress.back()) - lines.begin();
            if (!c.summary.empty()) {
                ASSERT_LT(at + 1, lines.size()) << o.err;
                EXPECT_TRUE(lines[at + 1].starts_with(c.summary)) << o.err;
            }
        }
}

// At a terminal the line is cleared before the output that follows it:
// inspect's report starts on a clean line.
TEST(E2eProgress, InspectClearsItsLineBeforeTheReport)
{
    PtyRun run({"inspect", sharedMedia("sample").string()}, 100, 30, {});
    EXPECT_EQ(run.finish(), 0) << run.seen();
    const std::string &seen = run.seen();
    const std::size_t line = seen.find("\rdlupdate inspect: read ");
    ASSERT_NE(line, std::string::npos) << seen;
    const std::size_t cleared = seen.find("\r\x1b[K", line + 1);
    ASSERT_NE(cleared, std::string::npos) << seen;
    // Nothing but the line's redraws before the clearing; the report after it.
    EXPECT_EQ(seen.find('\n'), seen.find('\n', cleared)) << seen;
    EXPECT_EQ(seen.find("dlupdate inspect: read", cleared), std::string::npos) << seen;
}

} // namespace
} // namespace testing_support
