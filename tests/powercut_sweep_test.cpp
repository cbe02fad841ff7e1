// Power cut at every event of a full update session (all six items, the
// sample media), then a second boot of the same machine: the NVRAM flags must
// tell what the cut interrupted, and the second session must finish the work
// and leave the machine as an uninterrupted session does.
#include "support/Harness.h"
#include "support/Sampling.h"

#include <cstdlib>
#include <map>
#include <sstream>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::TempDir;

const char *const kEvents[] = {"flash-erase", "flash-write", "archiver",
                               "unit",        "nvram-set",   "nvram-clear"};

struct Outcome {
    int status = -1;
    std::string out, err;
};

// One `dlupdate run --keys ok` of `media` on `machine`, with the event report.
Outcome session(const fs::path &work, const fs::path &media, const fs::path &machine,
            const std::string &extra)
{
    fs::path out = work / "out.txt", err = work / "err.txt";
    std::string cmd = "DLUPDATE_EVENTS=1 " + std::string(DL_DLUPDATE) + " run --media " +
                      media.string() + " --machine " + machine.string() + " --keys ok " +
                      extra + " >" + out.string() + " 2>" + err.string() + " </dev/null";
    int st = std::system(cmd.c_str());
    Outcome r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = readFile(out);
    r.err = readFile(err);
    return r;
}

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

std::uint32_t rewriteFlags(const fs::path &machine)
{
    std::string nv = readFile(machine / "nvram.bin");
    if (nv.size() < 4)
        return 0xFFFFFFFFu;
    auto b = [&](int i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(nv[i])); };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
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

const std::string kHddBegun =
    R"("task":"tdlFirmHdUpdate","op":"text","col":42,"row":4,"text":"HDD SYS Update .......")";
const std::string kHddDone =
    R"("task":"tdlFirmHdUpdate","op":"text","col":67,"row":4,"text":"Completed   ")";
const std::string kFlashDone = "[dlFirmRewrite]frwRewrite: done.";

class PowerCutSweep : public testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        std::string make = std::string(DL_SOURCE_DIR) + "/media/sample/make-inputs.sh " +
                           (dir_ / "in").string() + " >/dev/null && " + DL_DLUPDATE +
                           " mkmedia " + (dir_ / "in" / "manifest.json").string() + " --out " +
                           media_.string() + " >/dev/null";
        ASSERT_EQ(std::system(make.c_str()), 0);
        Outcome ref = session(dir_.path(), media_, ref_, "");
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

        Outcome first = session(dir_.path(), media_, machine,
                            "--power-cut " + cut + " --panel-trace " + trace.string());
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

        Outcome second = session(dir_.path(), media_, machine, "");
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
