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
    EXPECT_EQ(empty.out, "");
}

} // namespace
} // namespace testing_support
