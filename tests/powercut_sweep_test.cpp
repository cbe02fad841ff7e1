// Power cut at every event of a full update session (all six items, the
// sample media), then a second boot of the same machine: the NVRAM flags must
// tell what the cut interrupted, and the second session must finish the work
// and leave the machine as an uninterrupted session does.
#include "e2e_support.h"
#include "support/Harness.h"
#include "support/Sampling.h"

#include <cstdlib>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::TempDir;

const char *const kEvents[] = {"flash-erase", "flash-write", "archiver",
                               "unit",        "nvram-set",   "nvram-clear"};

using e2e::dlupdate;
using e2e::kFlashDone;
using e2e::kHddBegun;
using e2e::kHddDone;
using e2e::Outcome;

// One `dlupdate run --keys ok` of `media` on `machine`, with the event report.
Outcome session(const fs::path &media, const fs::path &machine, std::vector<std::string> extra = {})
{
    std::vector<std::string> args = {"run", "--media", media.string(), "--machine", machine.string(),
                                     "--keys", "ok"};
    args.insert(args.end(), extra.begin(), extra.end());
    return dlupdate(args, {}, {"DLUPDATE_EVENTS=1"});
}

std::uint32_t rewriteFlags(const fs::path &machine) { return e2e::MachineView{machine}.rewriteFlags(); }

// "events: flash-erase=1 flash-write=1 ..." as counts by kind.
std::map<std::string, long> eventCounts(const std::string &err)
{
    std::map<std::string, long> counts;
    auto at = err.rfind("events:");
    if (at == std::string::npos)
        return counts;
    std::istringstream line(err.substr(at + 7, err.find('\n', at) - at - 7));
    std::string item;
    while (line >> item) {
        auto eq = item.find('=');
        counts[item.substr(0, eq)] = std::stol(item.substr(eq + 1));
    }
    return counts;
}

// Every file under `dir` by its relative path, with its content.
std::map<std::string, std::string> tree(const fs::path &dir)
{
    std::map<std::string, std::string> files;
    if (!fs::exists(dir))
        return files;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        files[fs::relative(e.path(), dir).string()] =
            e.is_regular_file() ? readFile(e.path()) : std::string("<dir>");
    return files;
}

class PowerCutSweep : public testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        std::string make = std::string(DL_SOURCE_DIR) + "/media/sample/make-inputs.sh " +
                           (dir_ / "in").string() + " >/dev/null && " + DL_DLUPDATE +
                           " mkmedia " + (dir_ / "in" / "manifest.json").string() + " --out " +
                           media_.string() + " >/dev/null";
        ASSERT_EQ(std::system(make.c_str()), 0);
        Outcome ref = session(media_, ref_);
        ASSERT_EQ(ref.status, 0) << ref.err;
        ASSERT_EQ(rewriteFlags(ref_), 0u);
        total_ = eventCounts(ref.err);
        ASSERT_EQ(total_.size(), std::size(kEvents)) << ref.err;
        ASSERT_GE(total_["archiver"], 1);
    }

    TempDir dir_;
    fs::path media_ = dir_ / "media";
    fs::path ref_ = dir_ / "reference";
    std::map<std::string, long> total_;
};

TEST_P(PowerCutSweep, EveryCutIsFlaggedAndTheNextBootFinishes)
{
    const std::string event = GetParam();
    const std::string refFlash = readFile(ref_ / "flashrom.bin");
    const std::string refNvram = readFile(ref_ / "nvram.bin");
    const auto refUnits = tree(ref_ / "units");
    const auto refDisk = tree(ref_ / "disk");
    const std::string erased(refFlash.size(), '\xFF');

    // Every cut point; in a sampled run the first and the last.
    const long total = total_[event];
    std::vector<long> cuts;
    for (long i = 1; i <= total; ++i)
        if (testing_support::wholeSweep() || i == 1 || i == total)
            cuts.push_back(i);
    for (long i : cuts) {
        const std::string cut = event + ":" + std::to_string(i);
        SCOPED_TRACE("power cut " + cut);
        fs::path machine = dir_ / ("m-" + cut);
        fs::path trace = dir_ / "trace.jsonl";

        Outcome first = session(media_, machine, {"--power-cut", cut, "--panel-trace", trace.string()});
        ASSERT_EQ(first.status, 9) << first.err;
        auto atCut = eventCounts(first.err);
        ASSERT_EQ(atCut[event], i) << first.err;

        // What the cut interrupted, from the outside: the flash work begins
        // with its erase and ends with the module's "done" line; the HDD work
        // between its title and its "Completed".
        const std::string panel = readFile(trace);
        const bool flashTouched = atCut["flash-erase"] >= 1;
        const bool flashDone = first.out.find(kFlashDone) != std::string::npos;
        const bool hddBegun = panel.find(kHddBegun) != std::string::npos;
        const bool hddDone = panel.find(kHddDone) != std::string::npos;
        const std::uint32_t expected =
            (flashTouched && !flashDone ? 0x01u : 0u) | (hddBegun && !hddDone ? 0x10u : 0u);
        const std::uint32_t flags = rewriteFlags(machine);
        if (event == "nvram-clear") {
            // Cut before a clear: the flag being cleared still stands, which
            // for the HDD work is after its "Completed".
            const std::uint32_t finished = (flashDone ? 0x01u : 0u) | (hddDone ? 0x10u : 0u);
            EXPECT_EQ(flags & expected, expected) << std::hex << flags;
            EXPECT_EQ(flags & ~(expected | finished), 0u) << std::hex << flags;
            EXPECT_NE(flags, 0u) << "a clear was cut, yet no flag stands";
        } else {
            EXPECT_EQ(flags, expected) << std::hex << flags << "\n" << first.out;
        }
        const std::string flash = readFile(machine / "flashrom.bin");
        if (event == "flash-write") {
            EXPECT_NE(flash, refFlash) << "the cut write left the whole image";
        }
        if (!flashTouched) {
            EXPECT_TRUE(flash == erased) << "the flash changed before its erase";
        }

        Outcome second = session(media_, machine);
        ASSERT_EQ(second.status, 0) << second.out << second.err;
        EXPECT_EQ(rewriteFlags(machine), 0u);
        EXPECT_TRUE(readFile(machine / "flashrom.bin") == refFlash) << "flash differs";
        EXPECT_TRUE(readFile(machine / "nvram.bin") == refNvram) << "NVRAM differs";
        EXPECT_EQ(tree(machine / "units"), refUnits);
        EXPECT_EQ(tree(machine / "disk"), refDisk);
        fs::remove_all(machine);
    }
}

INSTANTIATE_TEST_SUITE_P(Events, PowerCutSweep, testing::ValuesIn(kEvents),
                         [](const auto &info) {
                             std::string n = info.param;
                             for (char &c : n)
                                 if (c == '-')
                                     c = '_';
                             return n;
                         });

} // namespace
