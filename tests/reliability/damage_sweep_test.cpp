// The damage invariant and `dlupdate sweep --damage`: the judge must catch
// every way a session on damaged media can go wrong, and the sweep of the
// sample media must pass row by row, in its table, JSON and JUnit XML.
#include "tools/run/Damage.h"
#include "tools/run/DamageSweep.h"
#include "tools/run/MediaDamage.h"
#include "update/session/dlFirmUpMain.h"

#include "tests/e2e/e2e_support.h"
#include "support/Sampling.h"

#include <csignal>
#include <cstdlib>
#include <regex>

namespace testing_support {
namespace {

// ---- the judge, on machine states small enough to write out ----

// Rows of the update screen as the module draws them.
struct ItemRowText {
    int row;
    const char *title;
};
constexpr ItemRowText kItemRows[] = {{3, "OS UI Update   ......."}, {4, "HDD SYS Update ......."},
                                     {5, "LSR Firm Update ......"}, {6, "PFC Firm Update ......"},
                                     {7, "Engine MAIN Update ..."}, {8, "Scanner Firm Update .."}};

// The update screen with each item's state ("" no row, "-" its title
// alone, else the state word).
std::string updateScreen(const std::array<const char *, 6> &states)
{
    Screen s;
    s.put(2, 0, "Download Storage Firmware Update Mode");
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (std::string(states[i]).empty())
            continue;
        s.put(42, kItemRows[i].row, kItemRows[i].title);
        if (std::string(states[i]) != "-")
            s.put(67, kItemRows[i].row, states[i]);
    }
    return s.dump();
}

host::MachineState state(const std::string &flash, std::map<std::string, std::string> units,
                         std::map<std::string, std::string> disk, std::uint32_t flags = 0)
{
    host::MachineState m;
    m.nvram = std::string(16, '\0');
    for (int b = 0; b < 4; ++b)
        m.nvram[static_cast<std::size_t>(b)] = static_cast<char>(flags >> (24 - 8 * b));
    m.flash = flash;
    m.units = std::move(units);
    m.disk = std::move(disk);
    return m;
}

const std::map<std::string, std::string> kEmptyDisk = {
    {"SYS", "<dir>"}, {"ROM", "<dir>"}, {"PRF", "<dir>"}, {"UND", "<dir>"}};

std::map<std::string, std::string> withFile(std::map<std::string, std::string> disk, const std::string &name,
                                            const std::string &content)
{
    disk[name] = content;
    return disk;
}

const std::map<std::string, std::string> kUnits = {
    {"lsr.bin", "laser"}, {"pfc.bin", "pfc"}, {"engine.bin", "engine"}, {"scanner.bin", "scanner"}};

TEST(DamageJudge, CatchesEveryBreakOfTheInvariant)
{
    const host::MachineState fresh = state("\xFF\xFF\xFF\xFF", {}, kEmptyDisk);
    const host::MachineState reference = state("IMAG", kUnits, withFile(kEmptyDisk, "SYS/app", "app"));
    const dlrun::DamageJudge judge(fresh, reference);
    const auto allDone = std::array<const char *, 6>{"Completed", "Completed", "Completed",
                                                     "Completed", "Completed", "Completed"};

    struct Case {
        std::string name;
        dlrun::SessionOutcome run;
        bool detectable;
        std::string problem; // a line of the judgement holds it; "" it passes
    };
    auto outcome = [](int status, std::string panel, host::MachineState m) {
        dlrun::SessionOutcome o;
        o.status = status;
        o.panel = std::move(panel);
        o.machine = std::move(m);
        return o;
    };
    auto with = [](dlrun::SessionOutcome o, const std::function<void(dlrun::SessionOutcome &)> &f) {
        f(o);
        return o;
    };
    const dlrun::SessionOutcome asReference = outcome(0, updateScreen(allDone), reference);
    std::map<std::string, std::string> otherUnits = kUnits;
    otherUnits["pfc.bin"] = "pfc, other";

    const std::vector<Case> cases = {
        {"as the reference", asReference, true, ""},
        {"nothing offered, nothing touched", outcome(0, updateScreen({"", "", "", "", "", ""}), fresh), true,
         ""},
        {"HDD failed, its flag left",
         outcome(1, updateScreen({"", "Failed", "", "", "", ""}),
                 state("\xFF\xFF\xFF\xFF", {}, withFile(kEmptyDisk, "SYS/a", "x"), 0x10)),
         true, ""},
        {"OS UI completed with other flash", with(asReference, [](auto &o) { o.machine.flash = "IMAX"; }),
         true, "OS UI completed, but the flash differs from the reference's from offset 0x3"},
        {"the same, undetectable damage", with(asReference, [](auto &o) { o.machine.flash = "IMAX"; }), false,
         ""},
        {"PFC completed with other firmware",
         with(asReference, [&](auto &o) { o.machine.units = otherUnits; }), true,
         "PFC completed, but units/pfc.bin (10 bytes) differs from the reference's (3 bytes)"},
        {"HDD completed with a file short",
         with(asReference, [](auto &o) { o.machine.disk = withFile(kEmptyDisk, "SYS/b", "b"); }), true,
         "HDD completed, but the disk differs from the reference's: SYS/app missing, SYS/b extra"},
        {"no row, but the flash written",
         outcome(0, updateScreen({"", "Completed", "Completed", "Completed", "Completed", "Completed"}),
                 reference),
         false, "OS UI shows no row, but the flash differs from a new machine's from offset 0x0"},
        {"a title with neither word",
         outcome(1, updateScreen({"Completed", "Completed", "-", "", "", ""}),
                 state("IMAG", {}, withFile(kEmptyDisk, "SYS/app", "app"))),
         true, "LSR: its title stands, but neither \"Completed\" nor \"Failed\""},
        {"a failed item, yet returned 0",
         outcome(0, updateScreen({"Completed", "Completed", "Completed", "Completed", "Completed", "Failed"}),
                 reference),
         true, "Scanner failed, yet the session returned 0 (\"Update Completed.\")"},
        {"the disk changed, its flag clear",
         outcome(1, updateScreen({"", "Failed", "", "", "", ""}),
                 state("\xFF\xFF\xFF\xFF", {}, withFile(kEmptyDisk, "SYS/a", "x"))),
         true, "the disk was changed and not completed, but HDD_UPDATE (0x10) is clear: 0x00"},
        {"returned 0 with a flag left", with(asReference, [](auto &o) { o.machine.nvram[3] = 0x01; }), true,
         "returned 0 but left rewrite flags 0x01"},
        {"stalled", with(asReference, [](auto &o) { o.status = 4; }), true,
         "stalled (exit 4): every task waits and nothing can wake one"},
        {"ended by a signal", with(asReference, [](auto &o) { o.status = -1, o.signal = 11; }), false,
         "ended by signal 11"},
        {"killed at its time limit", with(asReference, [](auto &o) { o.status = -1, o.timedOut = true; }),
         false, "no end within its time limit: killed"},
        {"an undocumented status", with(asReference, [](auto &o) { o.status = 7; }), true,
         "exit status 7 is no ending of a session"},
        {"wrote outside", with(asReference, [](auto &o) { o.outside = "outside/x"; }), false,
         "wrote outside the machine folder: outside/x"},
        {"changed the media", with(asReference, [](auto &o) { o.mediaChange = "fwstore/1 written"; }), false,
         "the media changed: fwstore/1 written"},
        {"a sanitizer's report",
         with(asReference,
              [](auto &o) {
                  o.sanitizer = dlrun::sanitizerReport(
                      "session 1: returned 0\n==1==ERROR: AddressSanitizer: heap-use-after-free\n");
              }),
         false, "a sanitizer report: ==1==ERROR: AddressSanitizer: heap-use-after-free"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const dlrun::Judgement j = judge.judge(c.run, c.detectable);
        if (c.problem.empty()) {
            EXPECT_TRUE(j.passed()) << ::testing::PrintToString(j.problems);
        } else {
            EXPECT_FALSE(j.passed());
            EXPECT_NE(std::find(j.problems.begin(), j.problems.end(), c.problem), j.problems.end())
                << ::testing::PrintToString(j.problems);
        }
    }
    // Undetectable damage still says what differs.
    const dlrun::Judgement hidden = judge.judge(cases[4].run, false);
    EXPECT_EQ(hidden.differences,
              std::vector<std::string>{
                  "OS UI completed, but the flash differs from the reference's from offset 0x3"});
}

#if defined(DL_EMULATED)
constexpr bool kEmulated = true;
#else
constexpr bool kEmulated = false;
#endif

// ---- the damaged copies ----

// Every damaged copy of the sample differs from the media in the files its
// damage names and nowhere else, each such file stored pair-swapped from
// the damaged view; the pristine copy the others link to stays as it was.
TEST(MediaDamage, EachCopyChangesWhatItNamesAndNothingElse)
{
    TempDir dir;
    const fs::path media = sharedMedia("sample");
    const dlrun::MediaImage image(media);
    ASSERT_EQ(image.filesFolder(), "fwstore");
    ASSERT_EQ(image.hddFiles(), 3);
    image.writeCopy(dir / "pristine");
    const auto original = MachineView::filesUnder(media, "");
    ASSERT_TRUE(MachineView::filesUnder(dir / "pristine", "") == original);

    const auto damages = image.damages(1);
    std::map<std::string, std::size_t> kinds;
    for (const auto &d : damages)
        ++kinds[d.kind];
    // Each copy writes and reads back megabytes: a slow build checks every
    // fifth.
    const std::size_t step =
        (testing_support::instrumentedBuild() || kEmulated) && !testing_support::fullSweepAsked() ? 5 : 1;
    for (std::size_t i = 0; i < damages.size(); i += step) {
        const dlrun::Damage &d = damages[i];
        SCOPED_TRACE(d.name);
        ASSERT_FALSE(d.edits.empty());
        const fs::path copy = dir / "copy";
        fs::remove_all(copy);
        image.writeDamaged(d, dir / "pristine", copy);
        std::map<std::string, std::string> views; // the damaged views, by file
        for (const auto &[name, view] : image.views())
            views[name] = view;
        for (const auto &e : d.edits) {
            std::string &v = views.at(e.file);
            if (e.op == dlrun::Edit::Op::cut) {
                ASSERT_LT(e.at, v.size());
                v.resize(e.at);
            } else if (e.op == dlrun::Edit::Op::patch) {
                ASSERT_LE(e.at + e.bytes.size(), v.size());
                EXPECT_NE(v.substr(e.at, e.bytes.size()), e.bytes) << "a patch that changes nothing";
                v.replace(e.at, e.bytes.size(), e.bytes);
            } else if (e.op == dlrun::Edit::Op::drop) {
                views.erase(e.file);
            } else {
                std::swap(v, views.at(e.other));
            }
        }
        for (const auto &[name, view] : image.views()) {
            const fs::path stored = copy / "fwstore" / name;
            if (!views.count(name)) {
                EXPECT_FALSE(fs::exists(stored)) << name;
            } else if (views.at(name) == view) {
                EXPECT_TRUE(fs::equivalent(stored, dir / "pristine" / "fwstore" / name))
                    << name << " not linked";
            } else {
                EXPECT_EQ(readText(stored), dlrun::pairSwapped(views.at(name))) << name;
                EXPECT_FALSE(fs::equivalent(stored, dir / "pristine" / "fwstore" / name)) << name;
            }
        }
        EXPECT_EQ(d.detectable, d.why.empty());
    }
    EXPECT_TRUE(MachineView::filesUnder(dir / "pristine", "") == original)
        << "a damaged copy wrote through a link";
    // An image 0 that ends before its fixed package offsets has no package
    // there: its damages are listed, not an exception thrown.
    fs::copy(media, dir / "short", fs::copy_options::recursive);
    fs::resize_file(dir / "short" / "fwstore" / "firmImage0.bin", 64);
    std::vector<dlrun::Damage> shortDamages;
    EXPECT_NO_THROW(shortDamages = dlrun::MediaImage(dir / "short").damages(1));
    EXPECT_FALSE(shortDamages.empty());
    // The sample's 14 packages: cuts around each boundary, a DATASTART and
    // two sizes each, a bit each; 3 HDD files dropped, 2 pairs swapped.
    EXPECT_EQ(kinds["datastart"], 14u);
    EXPECT_EQ(kinds["size"], 28u);
    EXPECT_EQ(kinds["bit"], 14u);
    EXPECT_EQ(kinds["drop"], 3u);
    EXPECT_EQ(kinds["swap"], 2u);
    EXPECT_EQ(kinds["cut"], 99u);
    EXPECT_EQ(kinds["content"] + kinds["text"], 5u);
    // The storage rule: pairs exchanged, an odd length padded before its last byte.
    EXPECT_EQ(dlrun::pairSwapped(dlrun::pairSwapped("abcd")), "abcd");
    EXPECT_EQ(dlrun::pairSwapped("abc"), std::string("ba\xFF"
                                                     "c"));
}

// ---- the sweep ----

std::size_t count(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A sample of the damaged copies (DL_FULL_SWEEP=1: all of them): 32 where
// a session costs what it costs optimised (AddressSanitizer's build
// included), 12 under ThreadSanitizer, coverage and the emulator; the
// undetectable ones (seven or eight) come with either.
std::size_t damageSample()
{
    if (testing_support::fullSweepAsked())
        return 0;
    return testing_support::wholeSweep() && !kEmulated ? 32 : 12;
}

TEST(DamageSweep, SampleMediaHoldTheInvariantOnEveryRow)
{
    TempDir dir;
    const fs::path media = sharedMedia("sample");
    const auto before = MachineView::filesUnder(media, "");
    fs::create_directories(dir / "tmp");
    const fs::path json = dir / "damage.json", junit = dir / "damage.xml";
    const std::size_t sample = damageSample();
    Outcome o = dlupdate({"sweep", "--damage", "--media", media.string(), "--seed", "7", "--sample",
                          std::to_string(sample), "--json", json.string(), "--junit", junit.string()},
                         dir / "tmp", {"TMPDIR=" + (dir / "tmp").string()});
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    // Off a terminal, progress is plain lines, the last one all of it.
    const auto progress = splitLines(o.err);
    ASSERT_FALSE(progress.empty());
    for (const auto &line : progress)
        EXPECT_TRUE(line.starts_with("dlupdate sweep: damaged copy ")) << o.err;
    const std::string &last = progress.back();
    EXPECT_EQ(last.substr(last.rfind(' ') + 1), last.substr(29, last.find(' ', 29) - 29)) << last;
    EXPECT_TRUE(MachineView::filesUnder(media, "") == before) << "the user's media changed";
    EXPECT_TRUE(fs::is_empty(dir / "tmp")) << "the scratch folder stayed";

    const auto j = nlohmann::json::parse(readText(json));
    EXPECT_EQ(j.at("format"), "dlupdate-damage-sweep");
    EXPECT_EQ(j.at("version"), 1);
    EXPECT_EQ(j.at("seed"), 7);
    for (const auto &[item, end] : j.at("reference").at("items").items())
        EXPECT_EQ(end, "Completed") << item;
    const auto &rows = j.at("rows");
    std::size_t detectable = 0, undetectable = 0;
    std::set<std::string> names, kinds;
    std::map<std::string, std::vector<std::string>> differences;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.dump());
        EXPECT_TRUE(r.at("passed").get<bool>());
        names.insert(r.at("name").get<std::string>());
        kinds.insert(r.at("kind").get<std::string>());
        if (r.at("detectable").get<bool>()) {
            ++detectable;
            EXPECT_EQ(r.at("result"), "ok");
        } else {
            ++undetectable;
            EXPECT_EQ(r.at("result"), "undetectable");
            EXPECT_NE(r.at("why").get<std::string>(), "");
            differences[r.at("name")] = r.at("differences").get<std::vector<std::string>>();
        }
    }
    EXPECT_EQ(names.size(), rows.size()) << "each damaged copy once";
    if (sample > 0) {
        EXPECT_EQ(detectable, sample);
    } else {
        EXPECT_GT(detectable, 150u);
    }
    if (sample == 0 || sample >= 32) {
        for (const char *kind : {"cut", "datastart", "size", "bit", "drop", "swap"})
            EXPECT_TRUE(kinds.count(kind)) << kind;
    }
    // Damage no module can see reaches the targets, and the judge says so:
    // a judge that cannot fail would report nothing here.
    // Image 0 goes into the flash after image 1 (65,536 bytes), its upper
    // 4 MiB first.
    const std::map<std::string, std::string> flashAt = {
        {"firmImage0.bin byte 4096 changed (before the packages)", "0x411000"},
        {"firmImage1.bin byte 256 changed (after the version head)", "0x100"}};
    for (const auto &[name, offset] : flashAt)
        EXPECT_EQ(differences[name],
                  std::vector<std::string>{
                      "OS UI completed, but the flash differs from the reference's from offset " + offset})
            << name;
    const auto &renamed = differences["HDD package 2 (file 1) DBNAME /PRF/panel.cfg -> /PRF/panel.cfh"];
    ASSERT_EQ(renamed.size(), 1u);
    EXPECT_EQ(renamed[0], "HDD completed, but the disk differs from the reference's: PRF/panel.cfg missing, "
                          "ROM/PRF/panel.cfg missing, PRF/panel.cfh extra and 1 more");
    EXPECT_EQ(j.at("summary").at("rows"), rows.size());
    EXPECT_EQ(j.at("summary").at("failed"), 0);
    EXPECT_EQ(j.at("summary").at("undetectable"), undetectable);

    const std::string xml = readText(junit);
    EXPECT_EQ(count(xml, "<testcase "), rows.size());
    EXPECT_EQ(count(xml, "<failure"), 0u);
    EXPECT_EQ(count(xml, "<skipped "), undetectable);

    const auto lines = o.lines();
    ASSERT_GE(lines.size(), rows.size() + 3) << o.out;
    EXPECT_EQ(lines.front(), "damaged copies of " + media.string() + ", seed 7");
    EXPECT_EQ(lines.back(), std::to_string(rows.size()) + " damaged copies, " + std::to_string(undetectable) +
                                " undetectable, " + std::to_string(detectable) + " passed, 0 failed");
    const std::regex row(R"(^.+ +(0|1|2|3) +((Completed|Failed|-) +){6}(ok|undetectable)$)");
    std::size_t tableRows = 0;
    for (const auto &l : lines)
        tableRows += std::regex_match(l, row);
    EXPECT_EQ(tableRows, rows.size()) << o.out;
}

// A session that crashes is its own row's finding: the sweep goes on with
// the others. The crash is the module's entry aborting in the first
// damaged copy's session (its working folder is that row's).
TEST(DamageSweep, ACrashIsItsRowsFindingAlone)
{
    // ThreadSanitizer keeps a thread of its own once a test of this
    // program has made one, and refuses threads in a process forked after.
    if (testing_support::threadSanitized())
        GTEST_SKIP() << "sessions forked from a test program under ThreadSanitizer";
    TempDir dir;
    dlrun::DamageSweep::Options o;
    o.media = sharedMedia("sample");
    o.work = dir / "work";
    o.seed = 3;
    o.sample = 2;
    o.jobs = 2;
    o.entry = [] {
        if (fs::current_path().parent_path().filename() == "row-0")
            std::abort();
        return vx::dlFirmUpdateUSBMediaMain();
    };
    dlrun::DamageSweep sweep(o);
    std::string why;
    bool unusable = true;
    ASSERT_TRUE(sweep.prepare(why, unusable)) << why;
    EXPECT_FALSE(unusable);
    const auto rows = sweep.run();
    ASSERT_GE(rows.size(), 3u);
    EXPECT_EQ(rows[0].signal, SIGABRT);
    EXPECT_EQ(rows[0].ending(), "signal " + std::to_string(SIGABRT));
    EXPECT_EQ(rows[0].result(), "FAILED");
    EXPECT_EQ(rows[0].judgement.problems.front(), "ended by signal " + std::to_string(SIGABRT));
    for (std::size_t i = 1; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].damage.name);
        EXPECT_EQ(rows[i].signal, 0);
        EXPECT_GE(rows[i].status, 0);
        EXPECT_LE(rows[i].status, 3);
    }
    // Every row's folder goes once judged.
    for (const auto &e : fs::directory_iterator(dir / "work"))
        EXPECT_FALSE(e.path().filename().string().starts_with("row-")) << e.path();
}

TEST(DamageSweep, RefusesWhatCannotBeSwept)
{
    TempDir dir;
    fs::create_directories(dir / "empty");
    const std::string sample = sharedMedia("sample").string();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says; // on standard error
    };
    const std::vector<Case> cases = {
        {{"--damage", "--media", (dir / "none").string()}, 5, "is not a folder"},
        {{"--damage", "--media", (dir / "empty").string()}, 5, "no update file"},
        {{"--damage", "--double", "--media", sample}, 64, "cannot be given together"},
        {{"--seed", "3", "--media", sample}, 64, "works only with --damage"},
        {{"--damage", "--jobs", "0", "--media", sample}, 64, "--jobs"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args{"sweep"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(::testing::PrintToString(args));
        Outcome o = dlupdate(args);
        EXPECT_EQ(o.status, c.status) << o.err;
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
        EXPECT_EQ(o.out, "");
    }
}

} // namespace
} // namespace testing_support
