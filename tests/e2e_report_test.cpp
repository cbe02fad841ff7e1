// What dlupdate gives scripts besides its exit status: the run's report,
// read back against the panel, the console and the machine folder; and
// the lines that keep a run that tested nothing from passing silently.
#include "e2e_support.h"

#include <openssl/evp.h>

namespace e2e {
namespace {

std::string sha256Hex(const Bytes &b)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(b.data(), b.size(), md, &len, EVP_sha256(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(two, sizeof two, "%02x", md[i]);
        hex += two;
    }
    return hex;
}

const char *const kItems[] = {"OS UI", "HDD SYS", "LSR", "PFC", "Engine", "Scanner"};

struct Expected {
    std::string ending;
    int status;
    json offered, confirmed;
    std::vector<std::string> outcomes; // per item, in menu order
};

TEST(E2eReport, EveryEndingIsReadBackAgainstPanelConsoleAndMachine)
{
    const json none = nullptr;
    const std::vector<std::string> allDone(6, "Completed");
    struct Case {
        const char *what;
        std::vector<std::string> extra;
        int status;
        std::vector<Expected> sessions;
    } cases[] = {
        {"six items", {"--keys", "ok"}, 0, {{"returned 0", 0, 0x7e, 0x7e, allDone}}},
        {"exit(1) at the scanner",
         {"--keys", "1,ok", "--fault", "unit.scanner"},
         1,
         {{"exit(1)", 1, 0x7e, 0x7c,
           {"not chosen", "Completed", "Completed", "Completed", "Completed", "Failed"}}}},
        {"stalled at the menu",
         {"--keys", "1"},
         4,
         {{"stalled", 4, 0x7e, none, std::vector<std::string>(6, "not chosen")}}},
        {"power cut in the flash write",
         {"--keys", "ok", "--power-cut", "flash-write:1"},
         9,
         {{"power cut", 9, 0x7e, 0x7e,
           {"in progress", "not started", "not started", "not started", "not started",
            "not started"}}}},
        {"two sessions",
         {"--sessions", "2", "--keys", "1,3,ok,1,ok"},
         0,
         {{"returned 0", 0, 0x7e, 0x74,
           {"not chosen", "Completed", "not chosen", "Completed", "Completed", "Completed"}},
          {"returned 0", 0, 0x7e, 0x7c,
           {"not chosen", "Completed", "Completed", "Completed", "Completed", "Completed"}}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = sharedMedia("sample");
        fs::path reportFile = s.dir / "report.json";
        auto args = c.extra;
        args.insert(args.end(), {"--report", reportFile.string()});
        Outcome o = s.run(args);
        ASSERT_EQ(o.status, c.status) << o.err;
        ASSERT_TRUE(fs::exists(reportFile)) << o.err;
        json r = json::parse(readText(reportFile));
        EXPECT_EQ(r.at("format"), 1);
        EXPECT_EQ(r.at("status"), c.status);
        ASSERT_EQ(r.at("sessions").size(), c.sessions.size());

        std::vector<std::string> console;
        for (std::size_t n = 0; n < c.sessions.size(); ++n) {
            SCOPED_TRACE("session " + std::to_string(n + 1));
            const json &got = r["sessions"][n];
            const Expected &want = c.sessions[n];
            EXPECT_EQ(got.at("session"), n + 1);
            EXPECT_EQ(got.at("ending"), want.ending);
            EXPECT_EQ(got.at("status"), want.status);
            EXPECT_EQ(got.at("offered"), want.offered);
            EXPECT_EQ(got.at("confirmed"), want.confirmed);
            for (std::size_t i = 0; i < 6; ++i) {
                EXPECT_EQ(got["items"][i].at("item"), kItems[i]);
                EXPECT_EQ(got["items"][i].at("outcome"), want.outcomes[i]) << kItems[i];
            }
            for (const auto &line : got.at("console"))
                console.push_back(line);
        }
        // The console is standard output, split by session.
        EXPECT_EQ(console, o.lines());

        // The last session's items stand on the panel as written by --panel.
        const json &last = r["sessions"].back();
        for (int i = 0; i < 6; ++i) {
            std::string state = cells(s.panel(), 3 + i, 67, 15);
            state.erase(state.find_last_not_of(' ') + 1);
            EXPECT_EQ(last["items"][i].at("state"), state) << kItems[i];
        }
        if (c.status == 4) {
            EXPECT_EQ(last.at("stalled").at(0).at("task"), "tUpdate");
            EXPECT_NE(last["stalled"][0].at("waits").get<std::string>().find("key focus"), std::string::npos);
        }
        if (c.status == 9) {
            EXPECT_EQ(last.at("powerCut"), json({{"event", "flash-write"}, {"n", 1}}));
            EXPECT_EQ(r.at("powerCut").at("reached"), true);
        } else {
            EXPECT_EQ(r.at("powerCut"), nullptr);
        }

        // NVRAM and digests against the machine folder as the run left it.
        EXPECT_EQ(last.at("nvram").at("after").at("flags"), s.machine.rewriteFlags());
        EXPECT_EQ(last.at("nvram").at("after").at("updateMode"), s.machine.updateMode());
        EXPECT_EQ(r["sessions"][0].at("nvram").at("before").at("flags"), 0);
        EXPECT_EQ(r.at("after").at("flash").at("sha256"), sha256Hex(s.machine.flash()));
        for (const char *unit : {"lsr", "pfc", "engine", "scanner"}) {
            auto bytes = s.machine.unit(unit);
            json digest = r.at("after").at("units").at(unit);
            if (!digest.is_null())
                digest = digest.at("sha256");
            EXPECT_EQ(digest, bytes ? json(sha256Hex(*bytes)) : json(nullptr)) << unit;
        }
        for (const auto &f : r.at("faults")) {
            EXPECT_EQ(f.at("fired"), 1) << f;
            EXPECT_EQ(f.at("firstFiredCall"), 1) << f;
        }
    }
}

// A run that tested less than it was told to says so; what it refuses, it
// refuses before anything runs.
TEST(E2eReport, NoOpsAreSaidAndBadOutputsRefused)
{
    TempDir scratch;
    mkmediatest::writeFile(scratch / "afile", Bytes(3, 'x'));
    struct Case {
        const char *what;
        std::vector<std::string> extra;
        int status;
        std::string line; // on standard error
    } cases[] = {
        {"a fault no call matched", {"--keys", "1,ok", "--fault", "open@/TMP/nosuch"}, 0,
         "dlupdate run: fault open@/TMP/nosuch never fired: no call matched"},
        {"a fault skipped past every call", {"--keys", "1,ok", "--fault", "unit.pfc:1"}, 0,
         "dlupdate run: fault unit.pfc:1 never fired: the run made 1 call of it, all within SKIP 1"},
        {"a misspelt fault", {"--keys", "ok", "--fault", "unit.scaner"}, 64,
         "dlupdate run: unknown fault 'unit.scaner'; did you mean unit.scanner?"},
        {"a misspelt event", {"--keys", "ok", "--power-cut", "nvram-sett:1"}, 64,
         "dlupdate run: unknown power-cut event 'nvram-sett'; did you mean nvram-set?"},
        {"a report in no folder", {"--keys", "ok", "--report", (scratch / "no" / "r.json").string()}, 64,
         "dlupdate run: cannot write --report " + (scratch / "no" / "r.json").string() +
             ": its folder " + (scratch / "no").string() + " does not exist"},
        {"a panel that is a folder", {"--keys", "ok", "--panel", scratch.path().string()}, 64,
         "dlupdate run: cannot write --panel " + scratch.path().string() + ": it is a folder"},
        {"a RAM disk copy under a file",
         {"--keys", "ok", "--ramdisk-out", (scratch / "afile" / "rd").string()}, 64,
         "dlupdate run: cannot write --ramdisk-out " + (scratch / "afile" / "rd").string() +
             ": its folder " + (scratch / "afile").string() + " does not exist"},
        {"keys left over", {"--keys", "1,ok,ok,3"}, 0,
         "dlupdate run: 2 key-script entries left unused: ok,3"},
        {"no keys and no terminal", {}, 4,
         "dlupdate run: no key script and no terminal: the menu waits for a key; pass --keys"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = sharedMedia("sample");
        std::vector<std::string> args{"run", "--media", s.media.string(), "--machine",
                                      s.machine.dir.string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        Outcome o = dlupdate(args);
        EXPECT_EQ(o.status, c.status) << o.err;
        auto lines = splitLines(o.err);
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end()) << o.err;
        if (c.status == 64) {
            EXPECT_FALSE(fs::exists(s.machine.dir)) << "nothing runs";
        }
    }
}

// After a power cut the panel, the RAM disk and the report are those of the
// moment the power went; an unfired fault is listed in the report too.
TEST(E2eReport, OutputsAfterAPowerCutShowTheMomentItWent)
{
    Session s;
    s.media = sharedMedia("sample");
    fs::path reportFile = s.dir / "report.json";
    Outcome o = s.run({"--keys", "1,ok", "--power-cut", "unit:2", "--fault", "read@/TMP/none",
                       "--report", reportFile.string()});
    ASSERT_EQ(o.status, 9) << o.err;
    // The PFC rewrite was under way: LSR done, PFC shown but unfinished.
    EXPECT_EQ(cells(s.panel(), 5, 67, 9), "Completed");
    EXPECT_EQ(cells(s.panel(), 6, 42, 22), "PFC Firm Update ......");
    EXPECT_EQ(cells(s.panel(), 6, 67, 12), "Flash Update");
    auto ramdisk = s.ramdiskFiles();
    EXPECT_EQ(ramdisk.count("/TMP/lsrfirm.tz"), 0u) << names(ramdisk);
    EXPECT_EQ(ramdisk.count("/TMP/pfcfirm.tz"), 1u) << names(ramdisk);
    json r = json::parse(readText(reportFile));
    EXPECT_EQ(r["sessions"][0].at("items")[3].at("outcome"), "Flash Update");
    EXPECT_EQ(r.at("faults").at(0).at("neverFired"), "no call matched");
    EXPECT_EQ(r.at("events").at("unit"), 2);
    auto lines = splitLines(o.err);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "dlupdate run: fault read@/TMP/none never fired: no call matched"),
              lines.end())
        << o.err;
    EXPECT_EQ(lines.back(), "power cut in unit #2");
}

} // namespace
} // namespace e2e
