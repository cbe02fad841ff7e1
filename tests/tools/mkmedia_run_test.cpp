// dlupdate mkmedia as a whole: the sample media read back as the module
// reads them, reproducible output, refused manifests that leave the output
// folder as it was, and the replacement of earlier media.
#include "tools/media/MkMedia.h"
#include "tools/media/Sample.h"

#include "mkmedia_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

namespace media {
namespace {

using namespace testing_support;
using namespace std::string_literals;
namespace fs = std::filesystem;
using nlohmann::json;
using Snapshot = std::map<std::string, Bytes>; // folders end in '/'

fs::path sourceDir()
{
#ifdef DL_SOURCE_DIR
    return DL_SOURCE_DIR;
#else
    fs::path root = fs::path(__FILE__).parent_path().parent_path();
    return root.empty() ? fs::current_path() : fs::absolute(root);
#endif
}

Snapshot snapshot(const fs::path &dir)
{
    Snapshot s;
    if (fs::exists(dir))
        for (const auto &e : fs::recursive_directory_iterator(dir))
            s[e.path().lexically_relative(dir).generic_string() + (e.is_directory() ? "/" : "")] =
                e.is_directory() ? Bytes{} : readBytes(e.path());
    return s;
}

struct Outcome {
    int status;
    std::string out, err;
};

Outcome mkmedia(const fs::path &manifest, const fs::path &outDir, const MkMediaOptions &options = {})
{
    std::ostringstream out, err;
    int status =
        runMkMedia(manifest.string(), outDir.string(), out, dltool::Voice("dlupdate mkmedia", err), options);
    return {status, out.str(), err.str()};
}

std::vector<Bytes> hddFiles(const fs::path &folder)
{
    std::vector<Bytes> files;
    for (int n = 1; fs::exists(folder / std::to_string(n)); ++n)
        files.push_back(readBytes(folder / std::to_string(n)));
    return files;
}

class MkMediaSample : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        inputs_ = new TempDir;
        std::string command = "bash '" + (sourceDir() / "media/sample/make-inputs.sh").string() + "' '" +
                              inputs_->path().string() + "' >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    static void TearDownTestSuite() { delete inputs_; }
    static fs::path input(const std::string &name) { return *inputs_ / "inputs" / name; }
    void SetUp() override { ASSERT_EQ(mkmedia(*inputs_ / "manifest.json", media).status, 0); }

    static TempDir *inputs_;
    TempDir out;
    fs::path media = out / "media";
};

TempDir *MkMediaSample::inputs_ = nullptr;

// The program's own sample (for the demo and `mkmedia --sample`) is the
// script's, byte for byte, manifest included; it is written only into a
// missing or empty folder.
TEST_F(MkMediaSample, ProgramMakesTheScriptsSampleAndOnlyIntoAnEmptyFolder)
{
    writeSample(out / "made");
    Snapshot made = snapshot(out / "made"), script = snapshot(inputs_->path());
    EXPECT_GE(made.size(), 20u);
    EXPECT_EQ(made, script);

    testing_support::writeFile(out / "taken" / "inputs" / "mine.txt", Bytes(3, 'x'));
    testing_support::writeFile(out / "file", Bytes(2, 'f'));
    for (const fs::path &refused : {out / "taken", out / "file"}) {
        Snapshot before = snapshot(out.path());
        EXPECT_THROW(writeSample(refused), MediaIoError) << refused;
        EXPECT_EQ(snapshot(out.path()), before);
    }
}

TEST_F(MkMediaSample, ImagesReadBackAsTheModuleSeesThem)
{
    Bytes area = moduleRead(readBytes(media / "fwstore/firmImage0.bin"));
    area.resize(0x800000, 0);
    auto ui = getDbInfo(area, area.size(), 0);
    ASSERT_EQ(ui.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(inflateData(area, ui[i]), readBytes(input(std::string(kUiPackageNames[i]) + ".bin")));
    EXPECT_EQ("V" + ui[1].version + " " + ui[1].languageCode, "V1.20 EN");

    EXPECT_EQ(versionOfHead(moduleRead(readBytes(media / "fwstore/firmImage1.bin"))).second, "V1R2.10 A");

    Bytes engine = moduleRead(readBytes(media / "fwstore/firmImage2.bin"));
    auto units = getDbInfo(engine, engine.size(), 1);
    ASSERT_EQ(units.size(), 4u);
    const char *comments[] = {"LASER_FIRM", "PFC_FIRM", "ENGINE_MAIN_FIRM", "SCANNER_FIRM"};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(units[i].comment, comments[i]);
        EXPECT_EQ(units[i].dbName, kUnits[i].dbName);
        EXPECT_EQ(inflateData(engine, units[i]), readBytes(input(kUnits[i].name + ".bin"s)));
    }
}

TEST_F(MkMediaSample, HddFilesLoadTheWholeTree)
{
    std::vector<Bytes> files = hddFiles(media / "fwstore");
    ASSERT_GE(files.size(), 2u);
    ASSERT_LE(files.size(), 4u);
    Bytes area;
    auto head = headOfFirstHddFile(files[0], area);
    ASSERT_FALSE(head.empty());
    EXPECT_EQ(head[0].dbName, "/ROM/sysDummy.txt");
    EXPECT_EQ(systemVersionOfText(inflateData(area, head[0])), "V1R2.10 A");

    HddWalk walk = walkHddFiles(files);
    const std::vector<std::string> expected = {
        "/ROM/sysDummy.txt",    "/PRF/panel.cfg",    "/ROM/PRF/default.prf", "/SYS/bin/app",
        "/SYS/etc/system.conf", "/SYS/lib/libui.so", "/UND/readme.txt"};
    ASSERT_EQ(walk.packages.size(), expected.size());
    for (std::size_t i = 1; i < expected.size(); ++i) {
        EXPECT_EQ(walk.packages[i].dbName, expected[i]);
        EXPECT_EQ(walk.packages[i].content, readBytes(input("hddtree" + expected[i])));
    }
}

TEST_F(MkMediaSample, SameManifestGivesTheSameBytes)
{
    Snapshot first = snapshot(media);
    EXPECT_EQ(first.size(), 5 + hddFiles(media / "fwstore").size())
        << "fwstore/, 3 images, HDD files, SHA256SUMS";
    ASSERT_EQ(mkmedia(*inputs_ / "manifest.json", out / "again").status, 0);
    EXPECT_EQ(snapshot(out / "again"), first);
    ASSERT_EQ(mkmedia(*inputs_ / "manifest.json", media).status, 0);
    EXPECT_EQ(snapshot(media), first) << "written over itself";
    // Packages are made on several threads, more than the cores too, yet
    // land in the same order.
    for (unsigned jobs : {1u, 2u, 5u}) {
        fs::path again = out / ("jobs" + std::to_string(jobs));
        ASSERT_EQ(mkmedia(*inputs_ / "manifest.json", again, {kDefaultLevel, jobs}).status, 0);
        EXPECT_EQ(snapshot(again), first) << jobs << " jobs";
    }
}

// A small valid manifest; each case spoils one thing.
class MkMediaManifest : public ::testing::Test {
protected:
    MkMediaManifest()
    {
        writeFile(dir / "in/ui.bin", bytesOf("user interface"));
        writeFile(dir / "in/lsr.bin", bytesOf("laser firmware"));
        for (int i = 0; i < 40; ++i)
            writeFile(dir / "in/tree/SYS/data" / ("f" + std::to_string(100 + i)), Bytes(300, 1));
        json ui = {{"source", "in/ui.bin"},
                   {"version", "1.0"},
                   {"language", "EN"},
                   {"dbName", "/TMP/ui.tz"},
                   {"comment", "UI"}};
        base = {
            {"folder", "fwstore"},
            {"image0",
             {{"content", {{"size", 4096}, {"seed", 3}}},
              {"packages", {{"ui1", ui}, {"ui0", ui}, {"uif", ui}}}}},
            {"image1",
             {{"content", {{"size", 256}}},
              {"head", {{"target", "DL01"}, {"version", "R2.10.00"}, {"oem", "1"}, {"shipping", "A"}}}}},
            {"image2", {{"lsr", {{"source", "in/lsr.bin"}, {"version", "L1"}}}}},
            {"hdd",
             {{"tree", "in/tree"},
              {"fileSize", 65536},
              {"versionText",
               {{"target", "DL01"}, {"oem", "1"}, {"major", "R2"}, {"minor", "10"}, {"shipping", "A"}}}}}};
    }

    Outcome runWith(const json &manifest, const fs::path &outDir)
    {
        std::ofstream(dir / "manifest.json") << manifest.dump(2);
        return mkmedia(dir / "manifest.json", outDir);
    }

    TempDir dir;
    json base;
};

struct BadCase {
    const char *name;
    std::function<void(json &)> spoil;
    int status;
    const char *message;
};

TEST_F(MkMediaManifest, BadManifestsAreRefusedAndWriteNothing)
{
    const BadCase cases[] = {
        {"missing folder", [](json &m) { m.erase("folder"); }, 64, "missing key \"folder\""},
        {"unknown folder", [](json &m) { m["folder"] = "usb"; }, 64, "folder"},
        {"missing package", [](json &m) { m["image0"]["packages"].erase("ui0"); }, 64,
         "image0.packages: missing key \"ui0\""},
        {"missing text key", [](json &m) { m["hdd"]["versionText"].erase("minor"); }, 64, "minor"},
        {"wrong type", [](json &m) { m["image2"]["lsr"]["version"] = 5; }, 64,
         "image2.lsr.version: must be a string"},
        {"negative size", [](json &m) { m["image0"]["content"]["size"] = -1; }, 64, "image0.content.size"},
        {"fraction", [](json &m) { m["hdd"]["fileSize"] = 1.5; }, 64, "hdd.fileSize"},
        {"odd file size", [](json &m) { m["hdd"]["fileSize"] = 4095; }, 64, "even"},
        {"misspelt key", [](json &m) { m["imgae1"] = m["image1"]; }, 64, "unknown key \"imgae1\""},
        {"seed and fill",
         [](json &m) {
             m["image1"]["content"]["seed"] = 1;
             m["image1"]["content"]["fill"] = 1;
         },
         64, "not both"},
        {"no units", [](json &m) { m["image2"] = json::object(); }, 64, "image2"},
        {"content over 0x280000", [](json &m) { m["image0"]["content"]["size"] = 0x280001; }, 64,
         "image0.content"},
        {"package over 0x310000",
         [](json &m) {
             m["image0"]["packages"]["ui1"]["source"] = {{"size", 0x90000}, {"seed", 9}};
         },
         64, "0x310000"},
        {"head without second dot", [](json &m) { m["image1"]["head"]["version"] = "R2.10"; }, 64, "second"},
        {"dot-dot",
         [](json &m) {
             m["hdd"]["files"] = {{{"source", "in/lsr.bin"}, {"dbName", "/SYS/../../etc/x"}}};
         },
         64, ".."},
        {"relative",
         [](json &m) {
             m["hdd"]["files"] = {{{"source", "in/lsr.bin"}, {"dbName", "SYS/x"}}};
         },
         64, "relative"},
        {"same destination",
         [](json &m) {
             m["hdd"]["files"] = {{{"source", "in/lsr.bin"}, {"dbName", "/SYS/data/f100"}}};
         },
         64, "/SYS/data/f100"},
        {"more than 32 files", [](json &m) { m["hdd"]["fileSize"] = 2; }, 64, "32"},
        {"nothing to make",
         [](json &m) {
             m = {{"folder", "root"}};
         },
         64, "nothing"},
        {"missing input", [](json &m) { m["image2"]["lsr"]["source"] = "in/none.bin"; }, 5, "in/none.bin"},
        {"missing tree", [](json &m) { m["hdd"]["tree"] = "in/none"; }, 5, "in/none"},
        {"input is a folder", [](json &m) { m["image0"]["packages"]["uif"]["source"] = "in"; }, 5,
         "regular file"},
    };
    ASSERT_EQ(runWith(base, dir / "old").status, 0);
    const Snapshot old = snapshot(dir / "old");
    for (const BadCase &c : cases) {
        SCOPED_TRACE(c.name);
        json manifest = base;
        c.spoil(manifest);
        Outcome run = runWith(manifest, dir / "new");
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << "one clear line";
        EXPECT_FALSE(fs::exists(dir / "new")) << "an output folder was made";
        EXPECT_EQ(runWith(manifest, dir / "old").status, c.status);
        EXPECT_EQ(snapshot(dir / "old"), old) << "the earlier media changed";
    }
    EXPECT_EQ(mkmedia(dir / "absent.json", dir / "new").status, 64);
    std::ofstream(dir / "broken.json") << "{\"folder\": ";
    EXPECT_NE(mkmedia(dir / "broken.json", dir / "new").err.find("not valid JSON"), std::string::npos);
}

TEST_F(MkMediaManifest, EarlierMediaAreReplacedAndOtherFilesKept)
{
    const fs::path out = dir / "out";
    for (const char *name : {"1", "2", "3", "firmImage2.bin"})
        writeFile(out / "fwstore" / name, bytesOf("stale"));
    writeFile(out / "fwstore/notes.txt", bytesOf("mine"));
    writeFile(out / "1", bytesOf("not read while fwstore exists"));
    // an earlier list and its signature sign the media replaced
    writeFile(out / "SHA256SUMS", bytesOf("stale"));
    writeFile(out / "SHA256SUMS.sig", bytesOf("stale"));
    base.erase("image2");
    ASSERT_EQ(runWith(base, out).status, 0);
    Snapshot now = snapshot(out);
    std::vector<std::string> names;
    for (const auto &entry : now)
        names.push_back(entry.first);
    EXPECT_EQ(names,
              (std::vector<std::string>{"1", "SHA256SUMS", "fwstore/", "fwstore/1", "fwstore/firmImage0.bin",
                                        "fwstore/firmImage1.bin", "fwstore/notes.txt"}));
    EXPECT_NE(now["SHA256SUMS"], bytesOf("stale"));
    EXPECT_EQ(now["fwstore/notes.txt"], bytesOf("mine"));
    EXPECT_EQ(now["1"], bytesOf("not read while fwstore exists"));
}

TEST_F(MkMediaManifest, RootLayoutDropsAModelFolderOfOldMediaOnly)
{
    const fs::path out = dir / "out";
    base["folder"] = "root";
    writeFile(out / "fwstore/1", bytesOf("stale"));
    writeFile(out / "fwstore/readme", bytesOf("mine"));
    const Snapshot before = snapshot(out);
    Outcome run = runWith(base, out);
    EXPECT_EQ(run.status, 5);
    EXPECT_NE(run.err.find("readme"), std::string::npos) << run.err;
    EXPECT_EQ(snapshot(out), before);

    fs::remove(out / "fwstore/readme");
    ASSERT_EQ(runWith(base, out).status, 0);
    EXPECT_FALSE(fs::exists(out / "fwstore")) << "the module would read the stale folder";
    EXPECT_TRUE(fs::exists(out / "firmImage0.bin") && fs::exists(out / "1"));
}

TEST_F(MkMediaManifest, UnusableOutputFolderIsRefused)
{
    writeFile(dir / "file", bytesOf("x"));
    EXPECT_NE(runWith(base, dir / "file").err.find("not a folder"), std::string::npos);
    fs::create_directories(dir / "out/fwstore/2");
    EXPECT_EQ(runWith(base, dir / "out").status, 5) << "a folder where a media file goes";
    EXPECT_EQ(snapshot(dir / "out"), (Snapshot{{"fwstore/", {}}, {"fwstore/2/", {}}}));
}

} // namespace
} // namespace media
