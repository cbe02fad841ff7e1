// The checksum list: mkmedia writes SHA256SUMS as `sha256sum -c` reads it,
// and inspect names every listed file that differs or is missing, every
// unlisted file of the folders the module reads, and every line it cannot
// use, each with its own code.
#include "tools/inspect/Inspect.h"

#include "support/Files.h"
#include "support/PairSwap.h"
#include "support/SampleMedia.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing_support::readText;
using testing_support::TempDir;
using testing_support::writeFile;

class Checksums : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        work_ = new TempDir;
        ASSERT_EQ(testing_support::makeSampleMedia(work_->path(), *work_ / "sample"), "");
    }
    static void TearDownTestSuite() { delete work_; }
    static fs::path sample() { return *work_ / "sample"; }

    static TempDir *work_;
};

TempDir *Checksums::work_ = nullptr;

// A problem of the check: its code and the file it names.
using Named = std::pair<std::string, std::string>;

struct Case {
    const char *what;
    std::function<void(const fs::path &media)> make;
    std::vector<Named> problems; // the checksum problems, in order
};

// The stored file changed in the module's view (pair swap undone and redone).
void replaceStored(const fs::path &file, const std::string &from, const std::string &to)
{
    std::string view = testing_support::swapPairs(readText(file));
    auto at = view.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    view.replace(at, from.size(), to);
    writeFile(file, testing_support::swapPairs(view));
}

void appendLine(const fs::path &media, const std::string &line)
{
    writeFile(media / "SHA256SUMS", readText(media / "SHA256SUMS") + line + "\n");
}

TEST_F(Checksums, InspectNamesEachDifferenceWithItsCode)
{
    const std::string anyDigest(64, 'a');
    const std::vector<Case> cases = {
        {"the media as made", [](const fs::path &) {}, {}},
        {"one byte of an image",
         [](const fs::path &m) {
             // in image 1's own content, past its head: no reader looks there
             std::string image = readText(m / "fwstore/firmImage1.bin");
             image[1000] ^= 0x01;
             writeFile(m / "fwstore/firmImage1.bin", image);
         },
         {{"checksum-mismatch", "fwstore/firmImage1.bin"}}},
        {"one letter of a DBNAME in an HDD file",
         [](const fs::path &m) { replaceStored(m / "fwstore/3", "/UND/readme.txt", "/UND/readmf.txt"); },
         {{"checksum-mismatch", "fwstore/3"}}},
        {"a listed file removed",
         [](const fs::path &m) { fs::remove(m / "fwstore/firmImage2.bin"); },
         {{"checksum-file-missing", "fwstore/firmImage2.bin"}}},
        {"files added at the top and in fwstore/",
         [](const fs::path &m) {
             writeFile(m / "README.txt", "notes");
             writeFile(m / "fwstore/notes.txt", "more");
             fs::create_directory(m / "fwstore/old"); // a folder is no file of the media
         },
         {{"checksum-file-unlisted", "README.txt"}, {"checksum-file-unlisted", "fwstore/notes.txt"}}},
        {"a malformed line",
         [](const fs::path &m) { appendLine(m, "0123  fwstore/1"); },
         {{"checksum-line-malformed", "SHA256SUMS"}}},
        {"a path listed twice",
         [](const fs::path &m) {
             std::string list = readText(m / "SHA256SUMS");
             appendLine(m, list.substr(0, list.find('\n')));
         },
         {{"checksum-line-malformed", "fwstore/firmImage0.bin"}}},
        {"a path climbing out with ..",
         [&](const fs::path &m) {
             writeFile(m.parent_path() / "outside.bin", "outside");
             appendLine(m, anyDigest + "  fwstore/../../outside.bin");
         },
         {{"checksum-path-outside", "fwstore/../../outside.bin"}}},
        {"an absolute path",
         [&](const fs::path &m) { appendLine(m, anyDigest + "  /etc/hostname"); },
         {{"checksum-path-outside", "/etc/hostname"}}},
        {"a listed file that is a link out of the media",
         [](const fs::path &m) {
             fs::rename(m / "fwstore/firmImage1.bin", m.parent_path() / "image1.bin");
             fs::create_symlink(m.parent_path() / "image1.bin", m / "fwstore/firmImage1.bin");
         },
         {{"checksum-path-outside", "fwstore/firmImage1.bin"}}},
        {"detached signatures beside the list",
         [](const fs::path &m) {
             writeFile(m / "SHA256SUMS.sig", "signature");
             writeFile(m / "SHA256SUMS.asc", "armored signature");
         },
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path media = dir / "media";
        fs::copy(sample(), media, fs::copy_options::recursive);
        c.make(media);

        std::ostringstream text, asJson, err;
        const dltool::Voice voice("dlupdate inspect", err);
        const int status = inspect::runInspect(media.string(), false, text, voice);
        EXPECT_EQ(inspect::runInspect(media.string(), true, asJson, voice), status);
        const json r = json::parse(asJson.str());
        std::vector<Named> found;
        for (const json &p : r["problemDetails"])
            if (p["code"].get<std::string>().starts_with("checksum-")) {
                found.emplace_back(p["code"], p["file"]);
                // each has its readable line in the text
                EXPECT_NE(text.str().find("problem: " + p["text"].get<std::string>() + "\n"),
                          std::string::npos)
                    << p;
            }
        EXPECT_EQ(found, c.problems) << text.str();
        // Only the check's problems when the module's readers find none.
        if (r["problems"].size() == c.problems.size())
            EXPECT_EQ(status, c.problems.empty() ? 0 : 1) << text.str();
        else
            EXPECT_EQ(status, 1);
        EXPECT_EQ(r["format"], "dlupdate-inspect");
        EXPECT_EQ(r["version"], 2);
        ASSERT_TRUE(r["checksums"].is_object()) << r["checksums"];
        EXPECT_EQ(r["checksums"]["list"], "SHA256SUMS");
        if (c.problems.empty()) {
            // the digests of inspect --json's files are those listed
            const std::string list = readText(media / "SHA256SUMS");
            ASSERT_EQ(r["files"].size(), 6u);
            for (const json &f : r["files"])
                EXPECT_NE(list.find(f["sha256"].get<std::string>() + "  fwstore/" +
                                    f["file"].get<std::string>() + "\n"),
                          std::string::npos)
                    << f;
            EXPECT_EQ(r["checksums"]["listed"], 6);
            EXPECT_EQ(r["checksums"]["matching"], 6);
            EXPECT_NE(text.str().find("checksums: SHA256SUMS lists 6 files, 6 match"), std::string::npos)
                << text.str();
        }
        EXPECT_EQ(r["checksums"]["signatures"].size(), fs::exists(media / "SHA256SUMS.sig") ? 2u : 0u);
    }
}

TEST_F(Checksums, WithoutAListInspectSaysNothingOfIt)
{
    TempDir dir;
    fs::copy(sample(), dir / "media", fs::copy_options::recursive);
    fs::remove(dir / "media/SHA256SUMS");
    std::ostringstream text, asJson, err;
    EXPECT_EQ(
        inspect::runInspect((dir / "media").string(), false, text, dltool::Voice("dlupdate inspect", err)),
        0);
    EXPECT_EQ(text.str().find("SHA256SUMS"), std::string::npos) << text.str();
    EXPECT_EQ(text.str().find("checksums"), std::string::npos) << text.str();
    EXPECT_EQ(
        inspect::runInspect((dir / "media").string(), true, asJson, dltool::Voice("dlupdate inspect", err)),
        0);
    EXPECT_TRUE(json::parse(asJson.str())["checksums"].is_null());
}

// The list mkmedia writes, in either layout, is what coreutils' own
// `sha256sum -c` accepts in the media folder, and names what mkmedia wrote.
TEST_F(Checksums, Sha256sumAcceptsTheListMkmediaWrites)
{
    json manifest = json::parse(readText(*work_ / "in/manifest.json"));
    for (const char *folder : {"fwstore", "root"}) {
        SCOPED_TRACE(folder);
        TempDir dir;
        manifest["folder"] = folder;
        writeFile(*work_ / "in/checksums.json", manifest.dump());
        std::ostringstream out, err;
        ASSERT_EQ(media::runMkMedia((*work_ / "in/checksums.json").string(), (dir / "media").string(), out,
                                    dltool::Voice("dlupdate mkmedia", err)),
                  0)
            << err.str();
        // The file list ends with the list, which names every other file in order.
        std::string printed = out.str();
        const std::string last = "SHA256SUMS\n";
        ASSERT_TRUE(printed.ends_with(last)) << printed;
        printed.resize(printed.size() - last.size());
        std::string listed;
        std::istringstream lines(readText(dir / "media/SHA256SUMS"));
        for (std::string line; std::getline(lines, line);) {
            EXPECT_EQ(line.find_first_not_of("0123456789abcdef"), 64u) << line;
            EXPECT_EQ(line.substr(64, 2), "  ") << line;
            listed += line.substr(66) + "\n";
        }
        EXPECT_EQ(listed, printed);

        std::string command = "cd '" + (dir / "media").string() +
                              "' && sha256sum --check --strict SHA256SUMS >'" + (dir / "check.txt").string() +
                              "' 2>&1";
        int st = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(st)) << command;
        EXPECT_EQ(WEXITSTATUS(st), 0) << readText(dir / "check.txt");
        EXPECT_NE(readText(dir / "check.txt").find("1: OK\n"), std::string::npos)
            << readText(dir / "check.txt");
    }
}

} // namespace
