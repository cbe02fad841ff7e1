// dlupdate sweep as CI runs it: the table, the JSON and the JUnit XML of a
// power-cut sweep of whole media, read back.
#include "tests/e2e/e2e_support.h"
#include "support/Sampling.h"

#include <regex>

namespace testing_support {
namespace {

std::size_t count(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(E2eSweep, ReportsEveryCutPointInTableJsonAndJunit)
{
    struct Case {
        std::string keys;
        long flashEvents; // flash erases and writes the session makes
    };
    // Every item, and every item but the OS UI (no flash work at all). A
    // sanitizer build, where each boot costs seconds, sweeps the OS UI
    // alone: the same table and formats over a handful of cut points.
    const std::vector<Case> cases = testing_support::instrumentedBuild()
                                        ? std::vector<Case>{{"2,3,4,5,6,ok", 2}}
                                        : std::vector<Case>{{"ok", 2}, {"1,ok", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.keys);
        TempDir dir;
        const fs::path json = dir / "sweep.json", junit = dir / "sweep.xml";
        Outcome o = dlupdate({"sweep", "--media", sharedMedia("sample").string(), "--keys", c.keys, "--json",
                              json.string(), "--junit", junit.string()});
        ASSERT_EQ(o.status, 0) << o.out << o.err;
        // Off a terminal, progress is plain lines, the last one all of it.
        const auto progress = splitLines(o.err);
        ASSERT_FALSE(progress.empty());
        for (const auto &line : progress)
            EXPECT_TRUE(line.starts_with("dlupdate sweep: cut point ")) << o.err;
        const std::string &last = progress.back();
        EXPECT_EQ(last.substr(last.rfind(' ') + 1), last.substr(26, last.find(' ', 26) - 26)) << last;

        const auto j = nlohmann::json::parse(readText(json));
        EXPECT_EQ(j.at("format"), "dlupdate-sweep");
        EXPECT_EQ(j.at("version"), 1);
        long events = 0;
        for (const auto &[kind, n] : j.at("events").items())
            events += n.get<long>();
        EXPECT_EQ(j.at("events").at("flash-erase").get<long>() + j.at("events").at("flash-write").get<long>(),
                  c.flashEvents);
        const auto &rows = j.at("rows");
        ASSERT_EQ(static_cast<long>(rows.size()), events);
        EXPECT_EQ(j.at("summary").at("failed"), 0);
        std::set<std::string> names;
        for (const auto &r : rows) {
            EXPECT_TRUE(r.at("passed").get<bool>()) << r.dump();
            EXPECT_TRUE(r.at("nextBoot").at("finished").get<bool>()) << r.dump();
            ASSERT_EQ(r.at("cuts").size(), 1u);
            EXPECT_TRUE(r.at("cuts")[0].at("reached").get<bool>());
            names.insert(r.at("name").get<std::string>());
        }
        EXPECT_EQ(static_cast<long>(names.size()), events) << "each cut point once";

        const std::string xml = readText(junit);
        EXPECT_EQ(xml.rfind("<?xml version=\"1.0\"", 0), 0u);
        EXPECT_EQ(static_cast<long>(count(xml, "<testcase ")), events);
        EXPECT_EQ(count(xml, "<failure"), 0u);
        for (const auto &n : names)
            EXPECT_EQ(count(xml, "name=\"" + n + "\""), 1u) << n;

        // The table: a header, one row per cut point, the summary.
        const auto lines = o.lines();
        ASSERT_EQ(static_cast<long>(lines.size()), events + 2) << o.out;
        EXPECT_EQ(lines.back(),
                  std::to_string(events) + " cut points, " + std::to_string(events) + " passed, 0 failed");
        const std::regex row(
            R"(^[a-z-]+:\d+ +(FLASH_REWRITE|HDD_UPDATE|none) +0x[0-9A-F]{2} +finished +yes +ok$)");
        for (std::size_t i = 1; i + 1 < lines.size(); ++i)
            EXPECT_TRUE(std::regex_match(lines[i], row)) << lines[i];
    }
}

// Media whose uninterrupted session fails (the last HDD file cut inside a
// package) are swept all the same: that session is the first row, failed,
// with its reason and where to look; each cut point of it is judged by the
// machine the failing session leaves, so the failure path is power-safe.
TEST(E2eSweep, FailingMediaAreSweptAgainstTheirOwnEnding)
{
    TempDir dir;
    const fs::path media = dir / "media", json = dir / "s.json", junit = dir / "s.xml";
    fs::copy(sharedMedia("sample"), media, fs::copy_options::recursive);
    const fs::path last = media / "fwstore/3";
    fs::resize_file(last, (fs::file_size(last) - 100) & ~std::uintmax_t(1));
    // The HDD item alone in a sanitizer build: the same failure, fewer cut points.
    const std::string keys = testing_support::instrumentedBuild() ? "1,3,4,5,6,ok" : "ok";
    Outcome o = dlupdate({"sweep", "--quiet", "--media", media.string(), "--keys", keys, "--json",
                          json.string(), "--junit", junit.string()});
    EXPECT_EQ(o.status, 1) << o.out << o.err;
    EXPECT_EQ(o.err, "");
    const std::string reason =
        "the uninterrupted session failed: exit(1) after \"USB HDD last file error: 47 "
        "bytes not loaded\"; see dlupdate inspect " +
        fs::absolute(media).string();

    const auto lines = o.lines();
    ASSERT_GE(lines.size(), 5u) << o.out;
    EXPECT_TRUE(
        std::regex_match(lines[1], std::regex(R"(^uninterrupted +HDD_UPDATE +0x10 +exit 1 +- +FAILED$)")))
        << lines[1];
    EXPECT_EQ(lines[2], "    " + reason);
    const std::regex row(R"(^[a-z-]+:\d+ +(FLASH_REWRITE|HDD_UPDATE|none) +0x[0-9A-F]{2} +exit 1 +yes +ok$)");
    for (std::size_t i = 3; i + 1 < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], row)) << lines[i];
    const std::size_t cuts = lines.size() - 4;
    EXPECT_GT(cuts, 0u);
    EXPECT_EQ(lines.back(), std::to_string(cuts) + " cut points and the uninterrupted session, " +
                                std::to_string(cuts) + " passed, 1 failed");

    const auto j = nlohmann::json::parse(readText(json));
    ASSERT_EQ(j.at("rows").size(), cuts + 1);
    const auto &first = j.at("rows")[0];
    EXPECT_EQ(first.at("name"), "uninterrupted");
    EXPECT_FALSE(first.at("passed").get<bool>());
    EXPECT_EQ(first.at("problems"), nlohmann::json::array({reason}));
    EXPECT_EQ(first.at("nextBoot").at("status"), 1);
    for (std::size_t i = 1; i <= cuts; ++i) {
        const auto &r = j.at("rows")[i];
        EXPECT_TRUE(r.at("passed").get<bool>()) << r.dump();
        EXPECT_EQ(r.at("nextBoot").at("status"), 1) << r.dump();
        EXPECT_TRUE(r.at("nextBoot").at("sameAsUninterrupted").get<bool>()) << r.dump();
    }
    EXPECT_EQ(j.at("summary").at("failed"), 1);

    const std::string xml = readText(junit);
    EXPECT_NE(xml.find("tests=\"" + std::to_string(cuts + 1) + "\" failures=\"1\""), std::string::npos)
        << xml;
    const auto firstCase = xml.find("<testcase ");
    EXPECT_EQ(xml.find("<testcase classname=\"sweep.uninterrupted\" name=\"uninterrupted\">"), firstCase);
    EXPECT_EQ(xml.find("<failure message=\"the uninterrupted session failed: exit(1) after &quot;USB HDD"),
              xml.find("<failure"));
    EXPECT_EQ(count(xml, "<failure"), 1u);

    // Where the row points finds the cut.
    Outcome inspect = dlupdate({"inspect", media.string()});
    EXPECT_NE(inspect.out.find("problem: HDD file 3: the last file ends inside a package"), std::string::npos)
        << inspect.out;
}

TEST(E2eSweep, RefusesWhatCannotBeSwept)
{
    TempDir dir;
    Outcome noMedia = dlupdate({"sweep", "--media", (dir / "none").string()});
    EXPECT_EQ(noMedia.status, 5) << noMedia.err;
    Outcome badJson = dlupdate({"sweep", "--media", sharedMedia("sample").string(), "--json",
                                (dir / "no" / "such" / "folder.json").string()});
    EXPECT_EQ(badJson.status, 64) << badJson.err;
    // Media whose uninterrupted session cannot finish give nothing to judge.
    fs::create_directories(dir / "empty");
    Outcome empty = dlupdate({"sweep", "--media", (dir / "empty").string()});
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.err.find("dlupdate sweep: nothing to sweep"), std::string::npos) << empty.err;
    EXPECT_NE(
        empty.err.find(": no update file in " + (dir / "empty").string() + " (looked for firmImage0.bin"),
        std::string::npos)
        << empty.err;
    EXPECT_EQ(empty.out, "");
}

} // namespace
} // namespace testing_support
