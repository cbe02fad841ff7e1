// Power cuts inside one process: a cut unwinds every task back to the
// runner, which boots the same machine folder again. The sweeps cut a full
// six-item session on the sample media at every event, cut its recovery
// boot at every event too (every pair), and cut random sequences of up to
// five boots; the flags must name what each cut interrupted, and the last
// boot must finish and leave the machine as an uninterrupted session does.
#include "host/Machine.h"
#include "host/io/IoSystem.h"
#include "host/machine/MachineFolder.h"
#include "support/Harness.h"
#include "support/SampleMedia.h"
#include "support/Sampling.h"
#include "tools/media/MkMedia.h"
#include "tools/run/ColdStart.h"
#include "tools/run/Sweep.h"
#include "update/session/dlFirmUpMain.h"
#include "update/hdd/dlFirmHDDUpdate.h"

#include <cstring>
#include <set>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using testing_support::readText;
using testing_support::TempDir;

int moduleEntry() { return vx::dlFirmUpdateUSBMediaMain(); }

// ---------------------------------------------------------------------------
// The cut itself.

TEST(PowerCut, UnwindsEveryTaskLosesStreamBuffersAndKeepsDescriptorWrites)
{
    TempDir dir;
    host::MachineFolder::init(dir / "machine");
    host::MachineConfig config;
    config.folder = dir / "machine";
    auto m = std::make_unique<host::Machine>(config);
    host::Kernel &k = m->kernel();
    bool waiterUnwound = false, cutReturned = false;
    int waiter = k.spawn("tWait", 90, 0, 0, [&] {
        struct Mark {
            bool &flag;
            ~Mark() { flag = true; }
        } mark{waiterUnwound};
        char buf[4];
        k.receive(k.createQueue(1, 4, 0), buf, 4, host::Kernel::kWaitForever);
    });
    int cutter = k.spawn("tCut", 100, 0, 0, [&] {
        host::IoSystem &io = m->io();
        auto *s = io.fopen("/SYS/streamed.txt", "w");
        const char line[] = "a line still in the buffer\n";
        if (s)
            io.fwrite(line, 1, sizeof line - 1, s);
        int fd = io.open("/SYS/written.txt", 0x200 | 0x400 | 2, 0644);
        if (fd >= 3)
            io.write(fd, "kept", 4);
        m->cutPower("from the test");
        cutReturned = true;
    });
    EXPECT_TRUE(k.run().powerCut);
    EXPECT_FALSE(cutReturned);
    EXPECT_TRUE(k.taskEnd(cutter).has_value());
    EXPECT_TRUE(m->poweredOff());
    EXPECT_EQ(m->powerCutWhat(), "from the test");
    EXPECT_FALSE(k.taskEnd(waiter)) << "a waiting task ran after the cut";
    // Nothing runs any more.
    int late = k.spawn("tLate", 10, 0, 0, [] {});
    EXPECT_TRUE(k.run().powerCut);
    EXPECT_FALSE(k.taskEnd(late));

    m.reset(); // the machine goes, as at the end of a boot
    EXPECT_TRUE(waiterUnwound);
    const fs::path sys = dir / "machine" / "disk" / "SYS";
    EXPECT_EQ(readText(sys / "written.txt"), "kept");
    EXPECT_TRUE(fs::exists(sys / "streamed.txt"));
    EXPECT_EQ(readText(sys / "streamed.txt"), "") << "a buffered line outlived the power";
}

TEST(PowerCut, ABootStartsTheModuleFromItsLoadImage)
{
    ASSERT_GT(dlrun::moduleImageBytes(), 0u) << "the module's variables are not in one range";
    // Variables of each kind: initialised data, zeroed data, a pointer.
    const vx::UINT32 enableFlag = vx::dlFirmUpdateModuleEnableFlag;
    vx::dlFirmUpdateModuleEnableFlag = enableFlag ^ 0x5A5Au;
    std::strcpy(vx::firmImageFile0, "left over");
    vx::dl_fp = reinterpret_cast<vx::FILE *>(&vx::dlFirmUpdateModuleEnableFlag);
    dlrun::coldStartModule();
    EXPECT_EQ(vx::dlFirmUpdateModuleEnableFlag, 0x0000FFFFu);
    EXPECT_STREQ(vx::firmImageFile0, "");
    EXPECT_EQ(vx::dl_fp, nullptr);
}

TEST(PowerCut, FaultTriesSpreadEvenlyOverEveryCall)
{
    // n calls, tries, then the calls tried, from 0. The last row's product
    // t * (n - 1) lies past a 32-bit long.
    const struct {
        long n, tries;
        std::vector<long> calls;
    } cases[] = {
        {1, 1, {0}},
        {5, 5, {0, 1, 2, 3, 4}},
        {9, 3, {0, 4, 8}},
        {8454144, 4, {0, 2818047, 5636095, 8454143}},
        {2000000000, 3, {0, 999999999, 1999999999}},
    };
    for (const auto &c : cases) {
        std::vector<long> got;
        for (long t = 0; t < c.tries; ++t)
            got.push_back(dlrun::spreadCall(t, c.tries, c.n));
        EXPECT_EQ(got, c.calls) << c.n << " calls, " << c.tries << " tries";
    }
}

// ---------------------------------------------------------------------------
// The sweeps.

class PowerCutSweep : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        work_ = new TempDir;
        ASSERT_EQ(testing_support::makeSampleMedia(work_->path(), *work_ / "media"), "");
    }
    static void TearDownTestSuite() { delete work_; }

    dlrun::Sweeper sweeper(const std::string &name)
    {
        dlrun::Sweeper s({*work_ / "media", *work_ / name, "ok", moduleEntry});
        std::string why;
        EXPECT_TRUE(s.prepare(why)) << why;
        // The sample's session completes: the rows are judged by a clean ending.
        EXPECT_TRUE(s.completed()) << s.failure();
        return s;
    }

    // Every row passes; the counts go to the test's record.
    static void expectAllPass(const std::vector<dlrun::Sweeper::Row> &rows, const char *what)
    {
        std::size_t failed = 0;
        for (const auto &r : rows)
            if (!r.passed()) {
                ++failed;
                std::string all;
                for (const auto &p : r.problems)
                    all += "\n  " + p;
                ADD_FAILURE() << r.name() << ":" << all;
            }
        ::testing::Test::RecordProperty(what, static_cast<int>(rows.size()));
        std::printf("%zu %s, %zu failed\n", rows.size(), what, failed);
    }

    static TempDir *work_;
};

TempDir *PowerCutSweep::work_ = nullptr;

TEST_F(PowerCutSweep, EveryCutThenABootThatFinishes)
{
    auto s = sweeper("singles");
    // A full session on the sample media goes through every kind of event.
    for (const auto &kind : dlrun::cutEvents())
        EXPECT_GE(s.events(kind), 1) << kind;
    std::vector<dlrun::Sweeper::Row> rows;
    if (testing_support::cutSequenceDepth() != testing_support::SweepDepth::sample) {
        rows = s.singles();
        ASSERT_EQ(static_cast<long>(rows.size()), s.cutPoints());
    } else {
        // The sample: a cut in the flash write, in the first and the last
        // HDD work, and in the flags' clear.
        const std::string last = "unit:" + std::to_string(s.events("unit"));
        for (const std::string &cut :
             {std::string("flash-write:1"), std::string("archiver:1"), last, std::string("nvram-clear:1")})
            rows.push_back(s.run({cut}));
    }
    // Cuts inside the flash and HDD work leave their flags.
    std::set<std::string> named;
    for (const auto &r : rows)
        named.insert(r.interrupted);
    EXPECT_TRUE(named.count("FLASH_REWRITE") && named.count("HDD_UPDATE") && named.count("none"));
    std::printf("%ld finishing boots reused\n", s.finishesReused());
    expectAllPass(rows, "cut points");
}

// Split by the kind of the first cut, the long kinds in parts, so that
// CTest runs them side by side. "sample" is the fixed set of pairs that
// sanitizer and emulator builds run instead.
struct PairPart {
    const char *name;
    const char *kind; // "": the sample
    int part;
    int parts;
};

void PrintTo(const PairPart &p, std::ostream *os) { *os << p.name; }

class PowerCutPairs : public PowerCutSweep, public ::testing::WithParamInterface<PairPart> {};

TEST_P(PowerCutPairs, EveryCutOfTheRecoveryBootToo)
{
    const PairPart p = GetParam();
    auto s = sweeper(std::string("pairs-") + p.name);
    std::vector<dlrun::Sweeper::Row> rows;
    if (*p.kind) {
        rows = s.pairs({}, p.kind, p.part, p.parts);
        // Each recovery boot goes through at least the flags' set and clear.
        const long firsts = s.events(p.kind) / p.parts + (p.part < s.events(p.kind) % p.parts);
        EXPECT_GE(static_cast<long>(rows.size()), 2 * firsts);
        for (const auto &r : rows) {
            ASSERT_EQ(r.cuts.size(), 2u) << r.name() << (r.problems.empty() ? "" : r.problems[0]);
            EXPECT_EQ(r.cuts[0].rfind(std::string(p.kind) + ":", 0), 0u) << r.name();
        }
    } else {
        // A cut in the HDD work, then one in the flash work of the boot
        // that recovers from it.
        rows.push_back(s.run({"unit:3", "flash-write:1"}));
    }
    std::printf("%ld finishing boots reused\n", s.finishesReused());
    expectAllPass(rows, "pairs");
}

std::vector<PairPart> pairParts()
{
    using testing_support::SweepDepth;
    const SweepDepth depth = testing_support::powerCutSweepDepth();
    if (depth == SweepDepth::sample)
        return {{"sample", "", 0, 1}};
    std::vector<PairPart> parts = {
        {"flash_erase", "flash-erase", 0, 1}, {"flash_write", "flash-write", 0, 1},
        {"archiver_1of4", "archiver", 0, 4},  {"unit_1of2", "unit", 0, 2},
        {"nvram_set", "nvram-set", 0, 1},     {"nvram_clear", "nvram-clear", 0, 1}};
    // AddressSanitizer's build, the one that runs more than these in CI,
    // takes every other part of the archiver's cuts; DL_FULL_SWEEP=1 all.
    if (depth == SweepDepth::full && !testing_support::fullSweepAsked() &&
        testing_support::addressSanitized()) {
        parts.push_back({"archiver_3of4", "archiver", 2, 4});
        parts.push_back({"unit_2of2", "unit", 1, 2});
    } else if (depth == SweepDepth::full) {
        for (int part : {1, 2, 3})
            parts.push_back({part == 1   ? "archiver_2of4"
                             : part == 2 ? "archiver_3of4"
                                         : "archiver_4of4",
                             "archiver", part, 4});
        parts.push_back({"unit_2of2", "unit", 1, 2});
    }
    return parts;
}

INSTANTIATE_TEST_SUITE_P(FirstCut, PowerCutPairs, ::testing::ValuesIn(pairParts()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(PowerCutSweep, SeededSequencesOfUpToFiveCuts)
{
    auto s = sweeper("random");
    const bool sample = testing_support::cutSequenceDepth() == testing_support::SweepDepth::sample;
    const bool full = testing_support::cutSequenceDepth() == testing_support::SweepDepth::full;
    auto rows = s.random(20261208, sample ? 1 : full ? 24 : 12, sample ? 3 : 5);
    std::size_t cuts = 0, reached = 0;
    for (const auto &r : rows) {
        cuts += r.cuts.size();
        for (const auto &why : r.reached)
            reached += why.empty();
    }
    EXPECT_GE(reached, rows.size()) << "too few of the drawn cuts were reached to test anything";
    std::printf("%zu cuts drawn, %zu reached\n", cuts, reached);
    expectAllPass(rows, "random sequences");
}

// ---------------------------------------------------------------------------
// Every call failing in turn.

// The fault names a full session calls, by family.
std::string familyOf(const std::string &name)
{
    for (const char *prefix : {"open@", "read@", "spawn."})
        if (name.rfind(prefix, 0) == 0)
            return prefix;
    return name;
}

// Names called more often than this are called once per byte.
constexpr long kByteWise = 100000;
// How many calls of each of those fail, spread evenly.
long byteWiseSpread()
{
    return testing_support::faultSweepDepth() == testing_support::SweepDepth::full ? 64 : 8;
}
// The names that sanitizer and emulator builds fail for good, without the
// census: the flash write and a task's queue send.
const std::map<std::string, long> kSampleFaults = {{"flash-write", 1}, {"msgq-send", 1}};

// One family's part of the sweep of every call: the census, then each call
// of each name failing alone and the name failing for good.
std::vector<dlrun::Sweeper::Row> sweepPart(dlrun::Sweeper &s, const std::string &part)
{
    const auto calls = s.census();
    std::set<std::string> families;
    long total = 0;
    for (const auto &[name, n] : calls) {
        families.insert(familyOf(name));
        total += n;
    }
    // The session reaches every family of faults a full update touches.
    for (const char *f :
         {"open@",        "read@",       "spawn.",       "malloc",    "msgq-create",  "msgq-send",
          "msgq-receive", "archiver",    "ramdisk",      "keys",      "flash-create", "flash-info",
          "flash-erase",  "flash-write", "flash-verify", "nvram-set", "nvram-clear",  "unit.lsr",
          "unit.pfc",     "unit.engine", "unit.scanner", "hd-init"})
        EXPECT_TRUE(families.count(f)) << f << " never called";
    std::printf("%zu fault names, %ld calls\n", calls.size(), total);
    std::fflush(stdout);
    // Every call of each name of the part; of the names called once per
    // byte (the flash verify reads the flash a byte at a time), a spread.
    std::map<std::string, long> every, spread;
    for (const auto &[name, n] : calls) {
        const std::string family = familyOf(name);
        const bool mine = part == "other" ? family == name : family == part;
        if (mine)
            (n > kByteWise ? spread : every).emplace(name, n);
    }
    EXPECT_FALSE(every.empty() && spread.empty()) << "no fault name in " << part;
    // Of a path opened or read again and again, the first call failing
    // alone and the path failing for good, unless the whole sweep is asked.
    const bool path = part == "open@" || part == "read@";
    const bool full = testing_support::faultSweepDepth() == testing_support::SweepDepth::full;
    auto rows = s.faultSweep(every, path && !full ? 1 : 0);
    for (auto &r : s.faultSweep(spread, byteWiseSpread()))
        rows.push_back(std::move(r));
    return rows;
}

// Split by family, so that CTest runs them side by side; "sample" is what
// sanitizer and emulator builds run instead: two names failing for good.
class FaultSweep : public PowerCutSweep, public ::testing::WithParamInterface<const char *> {};

TEST_P(FaultSweep, EveryCallOfEveryFaultFailingInTurn)
{
    const std::string part = GetParam();
    auto s = sweeper(std::string("faults-") + part);
    std::vector<dlrun::Sweeper::Row> rows;
    if (part == "sample") {
        rows = s.faultSweep(kSampleFaults, -1);
        ASSERT_EQ(rows.size(), kSampleFaults.size());
        for (const auto &r : rows)
            EXPECT_NE(r.reached.front(), "exit 0") << r.name() << ": the fault changed nothing";
    } else {
        rows = sweepPart(s, part);
    }
    std::size_t stalls = 0;
    for (const auto &r : rows)
        if (r.reached.front().rfind("stalled", 0) == 0) {
            ++stalls;
            // Only a task that waits forever on a queue, as the module does
            // for a result that a failed call never sends.
            EXPECT_NE(r.reached.front().find("receive on queue"), std::string::npos)
                << r.name() << ": " << r.reached.front();
        }
    std::printf("%zu stalls\n", stalls);
    expectAllPass(rows, "fault points");
}

std::vector<const char *> faultParts()
{
    if (testing_support::faultSweepDepth() == testing_support::SweepDepth::sample)
        return {"sample"};
    return {"open@", "read@", "spawn.", "other"};
}

INSTANTIATE_TEST_SUITE_P(Family, FaultSweep, ::testing::ValuesIn(faultParts()), [](const auto &info) {
    std::string name = info.param;
    std::erase_if(name, [](char c) { return c == '@' || c == '.'; });
    return name;
});

} // namespace
