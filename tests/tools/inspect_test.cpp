// dlupdate inspect: the sample media inspect clean, each kind of broken
// media is named, the JSON report agrees with the text, and the media folder
// is never changed.
#include "tools/inspect/Inspect.h"
#include "tools/media/MkMedia.h"
#include "tools/media/Package.h"

#include "support/Harness.h"
#include "support/PairSwap.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing_support::readText;
using testing_support::swapPairs;
using testing_support::TempDir;
using testing_support::writeFile;

struct Outcome {
    int status = -1;
    std::string out, err;
    std::vector<std::string> problems; // the "problem: " lines, without the prefix
};

// Every file and folder below `dir` with its bytes.
std::map<std::string, std::string> snapshot(const fs::path &dir)
{
    std::map<std::string, std::string> s;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        s[e.path().lexically_relative(dir).string() + (e.is_directory() ? "/" : "")] =
            e.is_directory() ? "" : readText(e.path());
    return s;
}

// Runs inspect and checks that it left the folder byte for byte as it was.
Outcome inspectDir(const fs::path &dir, bool asJson = false)
{
    auto before = snapshot(dir);
    std::ostringstream out, err;
    Outcome o;
    o.status = inspect::runInspect(dir.string(), asJson, out, dltool::Voice("dlupdate inspect", err));
    o.out = out.str();
    o.err = err.str();
    std::istringstream lines(o.out);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("problem: "))
            o.problems.push_back(line.substr(9));
    EXPECT_EQ(snapshot(dir), before) << "inspect changed the media";
    return o;
}

// The module's view of a stored file, and back: the pair swap is its own
// inverse on the even lengths mkmedia stores.
void editStored(const fs::path &file, const std::function<void(std::string &)> &edit)
{
    std::string view = swapPairs(readText(file));
    edit(view);
    writeFile(file, swapPairs(view));
}

// Offset of the compressed data of the package named `dbName`.
std::size_t dataOf(const std::string &view, const std::string &dbName)
{
    std::size_t name = view.find(dbName + '\0');
    EXPECT_NE(name, std::string::npos) << dbName;
    return view.find("DATASTART\n", name) + 10;
}

fs::path sourceDir() { return DL_SOURCE_DIR; }

class InspectSample : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        work_ = new TempDir;
        std::string command = "bash '" + (sourceDir() / "media/sample/make-inputs.sh").string() + "' '" +
                              (*work_ / "in").string() + "' >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        remake(sample());
    }
    static void TearDownTestSuite() { delete work_; }

    static fs::path inputs() { return *work_ / "in"; }
    static fs::path sample() { return *work_ / "sample"; }
    // Media from the sample manifest, changed by `change` first.
    static void remake(const fs::path &out, const std::function<void(json &)> &change = {})
    {
        json manifest = json::parse(readText(inputs() / "manifest.json"));
        if (change)
            change(manifest);
        writeFile(inputs() / "changed.json", manifest.dump());
        std::ostringstream log;
        ASSERT_EQ(media::runMkMedia((inputs() / "changed.json").string(), out.string(), log,
                                    dltool::Voice("dlupdate mkmedia", log)),
                  0)
            << log.str();
    }

    void SetUp() override { fs::copy(sample(), media, fs::copy_options::recursive); }

    static TempDir *work_;
    TempDir dir;
    fs::path media = dir / "media";
    fs::path fw = media / "fwstore";
};

TempDir *InspectSample::work_ = nullptr;

TEST_F(InspectSample, SampleMediaInspectClean)
{
    Outcome o = inspectDir(media);
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_TRUE(o.problems.empty()) << o.out;
    EXPECT_NE(o.out.find("system version: V1R2.10 A (version text in HDD file 1), FRW target DL01"),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("ROMDATA: ok"), std::string::npos);
    EXPECT_NE(o.out.find("3 /TMP/mfirm.tz  version E3.10  tag ENGINE_MAIN_FIRM"), std::string::npos) << o.out;

    // The same files at the storage root are read from there (without the
    // checksum list, which names them in fwstore/).
    fs::remove(media / "SHA256SUMS");
    for (const auto &e : fs::directory_iterator(fw))
        fs::rename(e.path(), media / e.path().filename());
    fs::remove(fw);
    o = inspectDir(media);
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_NE(o.out.find("(storage root)"), std::string::npos);
    EXPECT_NE(o.out.find("system version: V1R2.10 A"), std::string::npos);
}

TEST_F(InspectSample, JsonReportsWhatTheSampleHolds)
{
    Outcome o = inspectDir(media, true);
    ASSERT_EQ(o.status, 0) << o.out;
    json r = json::parse(o.out);
    EXPECT_TRUE(r["ok"]);
    EXPECT_EQ(
        r["system"],
        json({{"version", "V1R2.10 A"}, {"target", "DL01"}, {"source", "versionText"}, {"romdata", true}}));
    EXPECT_EQ(r["image1Head"]["version"], "V1R2.10 A");
    EXPECT_EQ(r["flashImage"]["bytes"], 65536 + 0x800000);

    const json &ui = r["images"][0]["packages"];
    ASSERT_EQ(ui.size(), 3u);
    EXPECT_EQ(ui[1]["languageCode"], "EN");
    EXPECT_EQ(ui[2]["version"], "1.21");

    // sizes and names as the inputs give them
    const json &units = r["images"][2]["packages"];
    ASSERT_EQ(units.size(), 4u);
    const std::array<std::pair<const char *, const char *>, 4> unitInputs = {
        {{"lsr.bin", "LASER_FIRM"},
         {"pfc.bin", "PFC_FIRM"},
         {"engine.bin", "ENGINE_MAIN_FIRM"},
         {"scanner.bin", "SCANNER_FIRM"}}};
    for (std::size_t i = 0; i < units.size(); ++i) {
        EXPECT_EQ(units[i]["comment"], unitInputs[i].second);
        EXPECT_EQ(units[i]["expandedSize"], fs::file_size(inputs() / "inputs" / unitInputs[i].first));
        EXPECT_FALSE(units[i].contains("languageCode"));
    }

    // every tree file once across the HDD files, behind the version text
    std::set<std::string> expected = {"/ROM/sysDummy.txt"}, found;
    for (const auto &e : fs::recursive_directory_iterator(inputs() / "inputs/hddtree"))
        if (e.is_regular_file())
            expected.insert("/" + e.path().lexically_relative(inputs() / "inputs/hddtree").string());
    EXPECT_EQ(r["hdd"]["present"], json({1, 2, 3}));
    EXPECT_TRUE(r["hdd"]["series"]);
    EXPECT_TRUE(r["hdd"]["everyFileEndsPackage"]);
    std::int64_t carried = 0;
    for (const json &file : r["hdd"]["files"]) {
        EXPECT_EQ(file["carriedIn"], carried);
        carried = file["leftOver"];
        for (const json &p : file["packages"]) {
            EXPECT_TRUE(p["inflates"]) << p;
            EXPECT_TRUE(found.insert(p["dbName"]).second) << p;
        }
    }
    EXPECT_EQ(found, expected);
    EXPECT_EQ(r["hdd"]["files"][0]["packages"][0]["dbName"], "/ROM/sysDummy.txt");
}

// One broken media: how it is made from the sample, and the problem that
// must name it.
struct Breakage {
    const char *what;
    std::function<void(const fs::path &media, const fs::path &fw)> make;
    const char *problem;
};

TEST_F(InspectSample, EachBreakageIsNamed)
{
    const std::vector<Breakage> cases = {
        {"damaged engine package",
         [](const fs::path &, const fs::path &fw) {
             editStored(fw / "firmImage2.bin",
                        [](std::string &v) { v[dataOf(v, "/TMP/mfirm.tz") + 100] ^= 0x5A; });
         },
         "firmImage2.bin: package 3 /TMP/mfirm.tz does not inflate to its size"},
        {"damaged HDD package",
         [](const fs::path &, const fs::path &fw) {
             editStored(fw / "1", [](std::string &v) { v[dataOf(v, "/PRF/panel.cfg") + 20] ^= 0x5A; });
         },
         "HDD file 1: package 2 /PRF/panel.cfg does not inflate to its size"},
        {"HDD file missing in the middle", [](const fs::path &, const fs::path &fw) { fs::remove(fw / "2"); },
         "HDD files: 1, 3 do not form a series from 1 (missing: 2)"},
        {"HDD file cut before any package ends",
         [](const fs::path &, const fs::path &fw) { fs::resize_file(fw / "2", 64); },
         "HDD file 2: holds the end of no package, with the "},
        {"last HDD file lost", [](const fs::path &, const fs::path &fw) { fs::remove(fw / "3"); },
         "HDD file 2: the last file ends inside a package"},
        {"image 1 too long for the flash",
         [](const fs::path &, const fs::path &fw) {
             writeFile(fw / "firmImage1.bin",
                       readText(fw / "firmImage1.bin") + std::string(0x800000, '\xFF'));
         },
         "flash image file: 16842752 bytes (image 1 and the 8 MiB image area) do not fit"},
        {"image 0 longer than its area",
         [](const fs::path &, const fs::path &fw) {
             std::string image = readText(fw / "firmImage0.bin");
             image.resize(0x800002, '\xFF');
             writeFile(fw / "firmImage0.bin", image);
         },
         "firmImage0.bin: 8388610 bytes, longer than the 8 MiB image area"},
        {"image 0 without its third package",
         [](const fs::path &, const fs::path &fw) {
             editStored(fw / "firmImage0.bin", [](std::string &v) {
                 std::size_t end = v.find("DATASTART\n", 0x380000) + 10;
                 std::fill(v.begin() + 0x380000, v.begin() + static_cast<long>(end), '\xFF');
             });
         },
         "firmImage0.bin: the fixed-offset lookup finds 2 of its 3 packages (the module says "
         "\"can not find start address\")"},
        {"image 2 with 17 packages",
         [](const fs::path &, const fs::path &fw) {
             media::Bytes chain;
             for (int i = 0; i < 17; ++i) {
                 media::Bytes content(100, static_cast<std::uint8_t>(i));
                 auto p = media::makePackage({"/TMP/u" + std::to_string(i), "1.0", "X", {}}, content, "unit");
                 chain.insert(chain.end(), p.bytes.begin(), p.bytes.end());
             }
             media::Bytes stored = swapPairs(chain);
             writeFile(fw / "firmImage2.bin", std::string(stored.begin(), stored.end()));
         },
         "firmImage2.bin: 17 packages, more than the 16 the module's table holds"},
        {"ROMDATA mismatch in the version text",
         [](const fs::path &media, const fs::path &) {
             remake(media, [](json &m) { m["hdd"]["versionText"]["major"] = "02"; });
         },
         "ROMDATA mismatch: the system version \"V102.10 A\" does not have 'R' as its third "
         "character"},
        {"image 0 of random bytes",
         [](const fs::path &, const fs::path &fw) {
             writeFile(fw / "firmImage0.bin", testing_support::randomBytes(1 << 20, 5));
         },
         "firmImage0.bin: the fixed-offset lookup finds none of its 3 packages"},
        {"empty image 1", [](const fs::path &, const fs::path &fw) { writeFile(fw / "firmImage1.bin", ""); },
         "firmImage1.bin: empty"},
        {"image 1 too long for the RAM disk",
         [](const fs::path &, const fs::path &fw) {
             writeFile(fw / "firmImage1.bin", std::string(40 << 20, '\x11'));
         },
         "flash image file: 50331648 bytes (image 1 and the 8 MiB image area) do not fit"},
        {"a part buffer over the loader's 2,048 packages",
         [](const fs::path &, const fs::path &fw) {
             // file 3 ends with the chain's CR LF and a pad byte: the pad
             // goes, and file 4 takes up the chain from the LF on
             fs::resize_file(fw / "3", fs::file_size(fw / "3") - 2);
             media::Bytes chain{'\n'};
             for (int i = 0; i < 2101; ++i) {
                 media::Bytes content(1, static_cast<std::uint8_t>(i));
                 auto p = media::makePackage({"/UND/m" + std::to_string(i), "1.0", "X", {}}, content, "many");
                 chain.insert(chain.end(), p.bytes.begin(), p.bytes.end());
             }
             if (chain.size() % 2)
                 chain.push_back(0xFF);
             media::Bytes stored = swapPairs(chain);
             writeFile(fw / "4", std::string(stored.begin(), stored.end()));
         },
         "HDD file 4: its part buffer holds more than the 2048 packages"},
        {"COMPRESSEDSIZE 1,000 too large hides the next package",
         [](const fs::path &, const fs::path &fw) {
             editStored(fw / "firmImage2.bin", [](std::string &v) {
                 std::size_t at = v.find("COMPRESSEDSIZE\n") + 15;
                 std::size_t end = v.find('\0', at);
                 v.replace(at, end - at, std::to_string(std::stol(v.substr(at, end - at)) + 1000));
             });
         },
         "firmImage2.bin: the chain breaks after package 0 (the module says \"damaged package at 0: no CR LF "
         "after the data\")"},
        {"engine package named outside the RAM disk",
         [](const fs::path &, const fs::path &fw) {
             editStored(fw / "firmImage2.bin",
                        [](std::string &v) { v.replace(v.find("/TMP/pfcfirm.tz"), 15, "/SYS/pfcfirm.tz"); });
         },
         "firmImage2.bin: package 2 /SYS/pfcfirm.tz: DBNAME \"/SYS/pfcfirm.tz\" is not a file of "
         "the RAM disk"},
        {"engine package named by its folder",
         [](const fs::path &, const fs::path &fw) {
             editStored(fw / "firmImage2.bin",
                        [](std::string &v) { v.replace(v.find("/TMP/pfcfirm.tz"), 15, "/TMP/"); });
         },
         "firmImage2.bin: package 2 /TMP/: DBNAME \"/TMP/\" does not name a file"},
        {"HDD package named in the RAM disk",
         [](const fs::path &, const fs::path &fw) {
             editStored(fw / "1",
                        [](std::string &v) { v.replace(v.find("/PRF/panel.cfg"), 14, "/TMP/panel.cfg"); });
         },
         "HDD file 1: package 2 /TMP/panel.cfg: DBNAME \"/TMP/panel.cfg\" is not a file in a disk "
         "partition"},
        {"nothing on the storage", [](const fs::path &, const fs::path &fw) { fs::remove_all(fw); },
         "no update media"},
    };
    for (const Breakage &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(media);
        fs::copy(sample(), media, fs::copy_options::recursive);
        c.make(media, fw);
        Outcome o = inspectDir(media);
        EXPECT_EQ(o.status, 1) << o.out;
        bool named = false;
        for (const auto &p : o.problems)
            named = named || p.starts_with(c.problem);
        EXPECT_TRUE(named) << "wanted: " << c.problem << "\n" << o.out;
    }
}

// The pad byte of an odd-length chain is no lost package: media of either
// parity, cut at several sizes, inspect clean.
TEST_F(InspectSample, ChainsOfEitherParityAtEveryCutSizeInspectClean)
{
    for (int size : {2048, 4096, 16384, 1 << 20}) {
        std::set<int> parities;
        // the version text's length moves the chain's parity
        for (std::string minor = "1"; parities.size() < 2 && minor.size() < 9; minor += "1") {
            SCOPED_TRACE("fileSize " + std::to_string(size) + ", minor " + minor);
            fs::remove_all(media);
            remake(media, [&](json &m) {
                m["hdd"]["fileSize"] = size;
                m["hdd"]["versionText"]["minor"] = minor;
            });
            int last = 1;
            while (fs::exists(fw / std::to_string(last + 1)))
                ++last;
            // stored even: an odd chain ends in LF and its pad, swapped
            // into (pad, LF); an even one in (LF, CR)
            std::string tail = readText(fw / std::to_string(last));
            if (!parities.insert(tail.back() == '\n' ? 1 : 0).second)
                continue;
            Outcome o = inspectDir(media);
            EXPECT_EQ(o.status, 0) << o.out;
            EXPECT_TRUE(o.problems.empty()) << o.out;
        }
        EXPECT_EQ(parities.size(), 2u) << "fileSize " << size;
    }
}

TEST_F(InspectSample, DamagedVersionTextFallsBackToTheImage1Head)
{
    editStored(fw / "1", [](std::string &v) { v[dataOf(v, "/ROM/sysDummy.txt") + 10] ^= 0x5A; });
    // the head's ROMDATA character, byte 27
    editStored(fw / "firmImage1.bin", [](std::string &v) { v[27] = 'X'; });
    fs::remove(media / "SHA256SUMS"); // the module's readers' problems alone

    Outcome text = inspectDir(media);
    Outcome asJson = inspectDir(media, true);
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(asJson.status, 1);
    json r = json::parse(asJson.out);
    EXPECT_EQ(r["system"]["source"], "image1Head");
    EXPECT_EQ(r["system"]["version"], "V1X2.10 A");
    EXPECT_EQ(r["system"]["romdata"], false);
    EXPECT_FALSE(r["ok"]);
    // the JSON names the same problems as the text
    EXPECT_EQ(r["problems"], json(text.problems));
    ASSERT_EQ(text.problems.size(), 3u) << text.out;
    EXPECT_TRUE(text.problems[0].starts_with("HDD file 1: package 1 /ROM/sysDummy.txt does not"));
    EXPECT_TRUE(text.problems[1].starts_with("HDD file 1: the version text does not inflate"));
    EXPECT_TRUE(text.problems[2].starts_with("ROMDATA mismatch"));
}

// A version head whose bytes are no text: the JSON report is still one
// document, with U+FFFD where the bytes are no UTF-8.
TEST_F(InspectSample, JsonOfAVersionHeadThatIsNoText)
{
    editStored(fw / "firmImage1.bin", [](std::string &v) { v.replace(28, 6, 6, '\xFF'); });
    Outcome o = inspectDir(media, true);
    EXPECT_EQ(o.status, 1) << o.err;
    const json r = json::parse(o.out, nullptr, false);
    ASSERT_FALSE(r.is_discarded()) << o.out;
    EXPECT_NE(r.dump().find("\xEF\xBF\xBD"), std::string::npos) << o.out;
}

TEST(InspectUsage, UnreadableFolderAndBadUsage)
{
    TempDir dir;
    std::ostringstream out, err;
    EXPECT_EQ(
        inspect::runInspect((dir / "missing").string(), false, out, dltool::Voice("dlupdate inspect", err)),
        5);
    writeFile(dir / "file", "x");
    EXPECT_EQ(
        inspect::runInspect((dir / "file").string(), false, out, dltool::Voice("dlupdate inspect", err)), 5);
    EXPECT_NE(err.str().find("is not a readable folder"), std::string::npos);
    EXPECT_TRUE(out.str().empty());

    auto run = [](const std::string &args) {
        std::string cmd = std::string(DL_DLUPDATE) + " " + args + " >/dev/null 2>&1";
        int st = std::system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    EXPECT_EQ(run("inspect"), 64);
    EXPECT_EQ(run("inspect " + dir.path().string() + " --bogus"), 64);
    EXPECT_EQ(run("inspect " + (dir / "missing").string() + " --json"), 5);
    // an empty folder holds no media
    EXPECT_EQ(run("inspect " + dir.path().string()), 1);
}

} // namespace
