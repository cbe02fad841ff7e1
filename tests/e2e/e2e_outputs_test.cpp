// Every output file of every command as a CI job finds it after the run:
// whole and current, a document that says why the command ended early, or
// gone; never empty, never an earlier run's, never a temporary left beside
// it; and an output that could not be written is exit status 7.
#include "tests/e2e/e2e_support.h"

namespace testing_support {
namespace {

// What one output file must be after the command.
enum class Kind {
    document, // the command's JSON, with its envelope
    why,      // the envelope, the exit status and the reason
    junit,    // JUnit XML with no failure
    junitWhy, // JUnit XML with one failing test case giving the reason
    trace,    // JSON lines, each naming its session
    panel,    // the panel dump
    absent,   // removed, or never made
};

struct Want {
    std::string file; // in the case's folder
    Kind kind;
    std::string format = "";
    std::string reason = ""; // the start of the reason a why-document gives
};

struct Case {
    const char *what;
    std::vector<std::string> args; // "@" stands for the case's folder, "M" the media
    int status;
    std::vector<Want> files;
    std::string stdoutFormat = ""; // standard output is this document
    std::string errLine = "";      // a line of standard error
    std::vector<std::vector<std::string>> before = {};
};

// A JSON document opening with its envelope.
json document(const std::string &text, const std::string &format)
{
    json j = json::parse(text);
    EXPECT_EQ(j.value("format", ""), format) << text.substr(0, 200);
    EXPECT_TRUE(j.contains("version") && j.at("version").is_number_integer()) << text.substr(0, 200);
    return j;
}

void checkFile(const fs::path &dir, const Want &w, int status)
{
    SCOPED_TRACE(w.file);
    const fs::path file = dir / w.file;
    if (w.kind == Kind::absent) {
        EXPECT_FALSE(fs::exists(file));
        return;
    }
    ASSERT_TRUE(fs::exists(file));
    const std::string text = readText(file);
    ASSERT_FALSE(text.empty());
    switch (w.kind) {
    case Kind::document:
        EXPECT_FALSE(document(text, w.format).contains("reason"));
        break;
    case Kind::why: {
        const json j = document(text, w.format);
        EXPECT_EQ(j.value("status", -1), status);
        EXPECT_EQ(j.value("reason", "").rfind(w.reason, 0), 0u) << text;
        break;
    }
    case Kind::junit:
    case Kind::junitWhy:
        EXPECT_EQ(text.rfind("<?xml version=\"1.0\"", 0), 0u);
        EXPECT_NE(text.find("</testsuites>"), std::string::npos);
        if (w.kind == Kind::junit)
            EXPECT_EQ(text.find("<failure"), std::string::npos) << text;
        else
            EXPECT_NE(text.find("<failure message=\"" + w.reason), std::string::npos) << text;
        break;
    case Kind::trace:
        for (const auto &line : splitLines(text))
            EXPECT_EQ(json::parse(line).value("session", 0), 1) << line;
        break;
    default:
        EXPECT_NE(text.find("Download Storage"), std::string::npos) << text;
    }
}

TEST(E2eOutputs, WholeCurrentOrSaysWhyAndNeverSilentlyLost)
{
    const std::string media = sharedMedia("sample").string();
    // The OS UI alone: a sweep of a handful of cut points.
    const std::vector<std::string> sweep = {"sweep", "--media", "M", "--keys", "2,3,4,5,6,ok"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string> &more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    const std::vector<std::string> run = {"run", "--media", "M", "--machine", "@/m", "--keys", "1,ok"};
    const std::vector<std::vector<std::string>> init = {{"machine", "init", "@/m"}};
    const Case cases[] = {
        // Unwritable outputs: 7.
        {"sweep --json to a full disk",
         with(sweep, {"--json", "/dev/full"}),
         7,
         {},
         "",
         "dlupdate sweep: cannot write /dev/full"},
        {"sweep --junit to a full disk",
         with(sweep, {"--junit", "/dev/full"}),
         7,
         {},
         "",
         "dlupdate sweep: cannot write /dev/full"},
        {"run --panel-trace to a full disk",
         with(run, {"--panel-trace", "/dev/full"}),
         7,
         {},
         "",
         "dlupdate run: cannot write the panel trace /dev/full"},
        {"inspect -o to a full disk",
         {"inspect", "M", "-o", "/dev/full"},
         7,
         {},
         "",
         "dlupdate inspect: cannot write the JSON to /dev/full"},
        {"machine show --json-out to a full disk",
         {"machine", "show", "--json-out", "/dev/full", "@/m"},
         7,
         {},
         "",
         "dlupdate machine show: cannot write the JSON to /dev/full",
         init},
        {"machine verify -o to a full disk",
         {"machine", "verify", "--machine", "@/m", "--media", "M", "-o", "/dev/full"},
         7,
         {},
         "",
         "dlupdate machine verify: cannot write the JSON to /dev/full",
         {{"run", "--media", "M", "--machine", "@/m", "--keys", "ok"}}},
        {"faults -o to a full disk",
         {"faults", "-o", "/dev/full"},
         7,
         {},
         "",
         "dlupdate faults: cannot write the JSON to /dev/full"},
        // Success: whole documents, nothing left beside them.
        {"sweep documents",
         with(sweep, {"--json", "@/s.json", "--junit", "@/s.xml"}),
         0,
         {{"s.json", Kind::document, "dlupdate-sweep"}, {"s.xml", Kind::junit}}},
        {"sweep --json alone", with(sweep, {"--json"}), 0, {}, "dlupdate-sweep"},
        {"run outputs",
         with(run, {"-o", "@/r.json", "--panel", "@/p.txt", "--panel-trace", "@/t.jsonl"}),
         0,
         {{"r.json", Kind::document, "dlupdate-run"}, {"p.txt", Kind::panel}, {"t.jsonl", Kind::trace}}},
        {"run --json", with(run, {"--json"}), 0, {}, "dlupdate-run"},
        {"inspect -o",
         {"inspect", "M", "-o", "@/i.json"},
         0,
         {{"i.json", Kind::document, "dlupdate-inspect"}}},
        {"machine show -o",
         {"machine", "show", "@/m", "-o", "@/m.json"},
         0,
         {{"m.json", Kind::document, "dlupdate-machine"}},
         "",
         "",
         init},
        {"machine verify --json",
         {"machine", "verify", "--machine", "@/m", "--media", "M", "--json"},
         1,
         {},
         "dlupdate-verify",
         "",
         init},
        {"faults --json", {"faults", "--json"}, 0, {}, "dlupdate-faults"},
        // Ended early: a document that says why, or the stale file gone.
        {"run on no media",
         {"run", "--media", "@/none", "--machine", "@/m", "--report", "@/r.json", "--panel", "@/p.txt"},
         5,
         {{"r.json", Kind::why, "dlupdate-run", "media folder"}, {"p.txt", Kind::absent}},
         "",
         "dlupdate run: removed "},
        {"run --json on no media",
         {"run", "--media", "@/none", "--machine", "@/m", "--json"},
         5,
         {},
         "dlupdate-run"},
        {"sweep with nothing to sweep",
         {"sweep", "--media", "@", "--json", "@/s.json", "--junit", "@/s.xml"},
         1,
         {{"s.json", Kind::why, "dlupdate-sweep", "nothing to sweep"},
          {"s.xml", Kind::junitWhy, "", "nothing to sweep"}}},
        {"sweep with bad keys",
         {"sweep", "--media", "M", "--keys", "banana", "-o", "@/s.json", "--junit", "@/s.xml"},
         64,
         {{"s.json", Kind::why, "dlupdate-sweep", "bad key entry"},
          {"s.xml", Kind::junitWhy, "", "bad key entry"}},
         "",
         "dlupdate sweep: bad key entry 1 \"banana\" in --keys"},
        {"damage sweep of no media",
         {"sweep", "--damage", "--media", "@/none", "--json", "@/d.json"},
         5,
         {{"d.json", Kind::why, "dlupdate-damage-sweep", "media folder"}}},
        {"inspect of no media",
         {"inspect", "@/none", "-o", "@/i.json"},
         5,
         {{"i.json", Kind::why, "dlupdate-inspect", "@/none"}}},
        {"machine verify of no machine",
         {"machine", "verify", "--machine", "@/none", "--media", "M", "-o", "@/v.json"},
         5,
         {{"v.json", Kind::why, "dlupdate-verify", ""}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        auto expand = [&](std::vector<std::string> words) {
            for (auto &w : words) {
                if (w == "M")
                    w = media;
                for (std::size_t at = w.find('@'); at != std::string::npos; at = w.find('@', at + 1))
                    w.replace(at, 1, dir.path().string());
            }
            return words;
        };
        for (const auto &b : c.before)
            ASSERT_EQ(dlupdate(expand(b)).status, 0);
        // An earlier run's green outputs, which must not survive as this run's.
        for (const Want &w : c.files)
            testing_support::writeFile(dir / w.file, std::string_view("{\"status\":0}\n"));
        const Outcome o = dlupdate(expand(c.args));
        EXPECT_EQ(o.status, c.status) << o.err;
        for (Want w : c.files) {
            w.reason = expand({w.reason})[0];
            checkFile(dir.path(), w, c.status);
        }
        if (!c.stdoutFormat.empty()) {
            const json j = document(o.out, c.stdoutFormat);
            if (c.status == 5) {
                EXPECT_EQ(j.value("status", 0), 5) << o.out;
            }
        }
        if (!c.errLine.empty()) {
            EXPECT_NE(o.err.find(c.errLine), std::string::npos) << o.err;
        }
        for (const auto &entry : fs::recursive_directory_iterator(dir.path()))
            EXPECT_NE(entry.path().extension(), ".tmp") << "a temporary left behind";
    }
}

} // namespace
} // namespace testing_support
