// What dlupdate gives scripts besides its exit status: the run's report,
// read back against the panel, the console and the machine folder; and
// the lines that keep a run that tested nothing from passing silently.
#include "e2e_support.h"

#include <sha2.h>

#include <cstdint>
#include <cstring>

namespace testing_support {
namespace {

std::string sha256Hex(const Bytes &b)
{
    SHA2_CTX ctx;
    SHA256Init(&ctx);
    SHA256Update(&ctx, reinterpret_cast<const std::uint8_t *>(b.data()), b.size());
    unsigned char md[SHA256_DIGEST_LENGTH];
    SHA256Final(md, &ctx);
    std::string hex;
    char two[3];
    for (unsigned char c : md) {
        std::snprintf(two, sizeof two, "%02x", c);
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
         {{"exit(1)",
           1,
           0x7e,
           0x7c,
           {"not chosen", "Completed", "Completed", "Completed", "Completed", "Failed"}}}},
        {"stalled at the menu",
         {"--keys", "1"},
         4,
         {{"stalled", 4, 0x7e, none, std::vector<std::string>(6, "not chosen")}}},
        {"power cut in the flash write",
         {"--keys", "ok", "--power-cut", "flash-write:1"},
         9,
         {{"power cut",
           9,
           0x7e,
           0x7e,
           {"in progress", "not started", "not started", "not started", "not started", "not started"}}}},
        {"two sessions",
         {"--sessions", "2", "--keys", "1,3,ok,1,ok"},
         0,
         {{"returned 0",
           0,
           0x7e,
           0x74,
           {"not chosen", "Completed", "not chosen", "Completed", "Completed", "Completed"}},
          {"returned 0",
           0,
           0x7e,
           0x7c,
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
        EXPECT_EQ(r.at("format"), "dlupdate-run");
        EXPECT_EQ(r.at("version"), 2);
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
    testing_support::writeFile(scratch / "afile", Bytes(3, 'x'));
    struct Case {
        const char *what;
        std::vector<std::string> extra;
        int status;
        std::string line; // on standard error
    } cases[] = {
        {"a fault no call matched",
         {"--keys", "1,ok", "--fault", "open@/TMP/nosuch"},
         0,
         "dlupdate run: fault open@/TMP/nosuch never fired: no call matched"},
        {"a fault skipped past every call",
         {"--keys", "1,ok", "--fault", "unit.pfc:1"},
         0,
         "dlupdate run: fault unit.pfc:1 never fired: the run made 1 call of it, all within SKIP 1"},
        {"a misspelt fault",
         {"--keys", "ok", "--fault", "unit.scaner"},
         64,
         "dlupdate run: unknown fault 'unit.scaner'; did you mean unit.scanner?"},
        {"a misspelt event",
         {"--keys", "ok", "--power-cut", "nvram-sett:1"},
         64,
         "dlupdate run: unknown power-cut event 'nvram-sett'; did you mean nvram-set?"},
        {"a report in no folder",
         {"--keys", "ok", "--report", (scratch / "no" / "r.json").string()},
         64,
         "dlupdate run: cannot write --report " + (scratch / "no" / "r.json").string() + ": its folder " +
             (scratch / "no").string() + " does not exist"},
        {"a panel that is a folder",
         {"--keys", "ok", "--panel", scratch.path().string()},
         64,
         "dlupdate run: cannot write --panel " + scratch.path().string() + ": it is a folder"},
        {"a RAM disk copy under a file",
         {"--keys", "ok", "--ramdisk-out", (scratch / "afile" / "rd").string()},
         64,
         "dlupdate run: cannot write --ramdisk-out " + (scratch / "afile" / "rd").string() + ": its folder " +
             (scratch / "afile").string() + " does not exist"},
        // A write that fails at the end turns 0 into 7; other statuses stay.
        {"a panel that cannot be written",
         {"--keys", "1,ok", "--panel", "/dev/full"},
         7,
         "dlupdate run: cannot write the panel to /dev/full"},
        {"a report that cannot be written",
         {"--keys", "1,ok", "--report", "/dev/full"},
         7,
         "dlupdate run: cannot write the report to /dev/full"},
        {"a report that cannot be written after exit(1)",
         {"--keys", "1,ok", "--fault", "unit.pfc", "--report", "/dev/full"},
         1,
         "dlupdate run: cannot write the report to /dev/full"},
        {"keys left over",
         {"--keys", "1,ok,ok,3"},
         0,
         "dlupdate run: 2 key-script entries left unused: ok,3"},
        {"no keys and no terminal",
         {},
         4,
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
    Outcome o = s.run({"--keys", "1,ok", "--power-cut", "unit:2", "--fault", "read@/TMP/none", "--report",
                       reportFile.string()});
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
} // namespace testing_support

namespace testing_support {
namespace {

json showJson(const MachineView &m)
{
    Outcome o = dlupdate({"machine", "show", "--json", m.dir.string()});
    if (o.status != 0)
        throw std::runtime_error("machine show --json: " + o.err);
    return json::parse(o.out);
}

// machine show --json on a fresh, an updated, a cut and a failed machine,
// each field against the folder's files.
TEST(E2eMachineJson, ShowsTheFolderAsData)
{
    MediaView media(sharedMedia("sample"));
    struct Case {
        const char *what;
        std::vector<std::string> run; // none: a fresh machine
        std::uint32_t flags;
        bool versions;       // the flash head and the disk's version text are there
        std::string logLine; // the progress log's last line in /UND, "" for none
    } cases[] = {
        {"fresh", {}, 0, false, ""},
        {"updated", {"--keys", "ok"}, 0, true, ""},
        {"cut in the flash write", {"--keys", "ok", "--power-cut", "flash-write:1"}, 0x01, false, ""},
        {"HDD update failed", {"--keys", "ok", "--fault", "mkdir"}, 0x10, true, "?"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = sharedMedia("sample");
        if (c.run.empty()) {
            ASSERT_EQ(dlupdate({"machine", "init", s.machine.dir.string()}).status, 0);
        } else {
            s.run(c.run);
        }
        json j = showJson(s.machine);
        EXPECT_EQ(j.at("format"), "dlupdate-machine");
        EXPECT_EQ(j.at("version"), 2);
        EXPECT_EQ(j.at("nvram").at("rewriteFlags"), s.machine.rewriteFlags());
        EXPECT_EQ(j.at("nvram").at("rewriteFlags"), c.flags);
        EXPECT_EQ(j.at("nvram").at("updateMode"), s.machine.updateMode());
        EXPECT_EQ(j.at("flash").at("sha256"), sha256Hex(s.machine.flash()));
        EXPECT_EQ(j.at("flash").at("erased"), s.machine.flashErased());
        for (const char *unit : {"lsr", "pfc", "engine", "scanner"}) {
            auto bytes = s.machine.unit(unit);
            json entry = j.at("units").at(unit);
            EXPECT_EQ(entry.is_null() ? json(nullptr) : entry.at("sha256"),
                      bytes ? json(sha256Hex(*bytes)) : json(nullptr))
                << unit;
        }
        if (c.versions || !s.machine.flashErased()) {
            // The head stands at the flash's start from the first half written on.
            EXPECT_EQ(j.at("flash").at("versionHead").at("version"), systemVersion(media));
            EXPECT_EQ(j.at("flash").at("versionHead").at("target"), "DL01");
        } else {
            EXPECT_EQ(j.at("flash").at("versionHead"), nullptr);
        }
        if (c.versions && fs::exists(s.machine.dir / "disk/ROM/sysDummy.txt")) {
            EXPECT_EQ(j.at("systemVersion").at("version"), systemVersion(media));
        } else {
            EXPECT_EQ(j.at("systemVersion"), nullptr);
        }
        fs::path log = s.machine.dir / "disk/UND/HddUpdateProgress.log";
        if (c.logLine.empty()) {
            EXPECT_EQ(j.at("progressLog"), nullptr);
        } else {
            auto lines = splitLines(readText(log));
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(j.at("progressLog").at("lastLine"), lines.back());
        }
    }
}

// The summary line machine verify prints after the targets' lines, counted
// from those lines.
std::string verifySummary(const std::vector<std::string> &targetLines)
{
    std::size_t checked = 0, matching = 0, differing = 0, damaged = 0;
    for (const auto &line : targetLines) {
        const std::string state = line.substr(line.find(": ") + 2);
        if (state.rfind("not on these media", 0) == 0)
            continue;
        ++checked;
        (state.rfind("matches", 0) == 0   ? matching
         : state.rfind("damaged", 0) == 0 ? damaged
                                          : differing) += 1;
    }
    return std::to_string(checked) + (checked == 1 ? " target" : " targets") + " checked, " +
           std::to_string(matching) + " matching, " + std::to_string(differing) + " differing" +
           (damaged ? ", " + std::to_string(damaged) + " damaged on the media" : "");
}

// machine verify: 0 only when every target of the media matches; each
// mismatch is named on its line, and so is each package the media can
// never deliver; a summary ends the lines, and --quiet keeps only those
// that do not match.
TEST(E2eMachineVerify, NamesEveryTargetThatDiffers)
{
    const fs::path sample = sharedMedia("sample");
    // The scanner gets the laser's firmware.
    const fs::path other = sharedMedia(
        "other-scanner", [](json &m) { m["image2"]["scanner"]["source"] = sampleInput("lsr.bin").string(); });
    // Damaged copies: the last HDD file cut inside a package; three bytes
    // of a package's compressed data zeroed.
    TempDir damaged;
    const fs::path cut = damaged / "cut", spoilt = damaged / "spoilt";
    for (const fs::path &copy : {cut, spoilt})
        fs::copy(sample, copy, fs::copy_options::recursive);
    fs::resize_file(cut / "fwstore/3", (fs::file_size(cut / "fwstore/3") - 100) & ~std::uintmax_t(1));
    {
        std::fstream f(spoilt / "fwstore/2", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(8000);
        f.write("\0\0\0", 3);
    }
    struct Case {
        const char *what;
        std::vector<std::string> run;
        std::function<void(const MachineView &)> spoil;
        fs::path media;
        int status;
        std::vector<std::string> lines; // that must be in the output
    } cases[] = {
        {"updated from these media",
         {"--keys", "ok"},
         {},
         sample,
         0,
         {"flash: matches (8454144 bytes of the flash image)", "unit scanner: matches",
          "nvram flags: matches"}},
        {"one unit file changed",
         {"--keys", "ok"},
         [](const MachineView &m) {
             Bytes b = *m.unit("pfc");
             b[100] ^= 1;
             testing_support::writeFile(m.dir / "units/pfc.bin", b);
         },
         sample,
         1,
         {"unit pfc: differs at offset 0x000064 (4001 bytes, expected 4001)", "unit lsr: matches"}},
        {"power cut in the flash write",
         {"--keys", "ok", "--power-cut", "flash-write:1"},
         {},
         sample,
         1,
         {"flash: differs at offset 0x408000", "unit lsr: missing",
          "nvram flags: differs (0x00000001 set: FLASH_REWRITE)"}},
        {"other media",
         {"--keys", "ok"},
         {},
         other,
         1,
         {"unit scanner: differs at offset 0x000000 (8192 bytes, expected 6000)", "unit lsr: matches"}},
        {"a disk file removed",
         {"--keys", "ok"},
         [](const MachineView &m) { fs::remove(m.dir / "disk/SYS/bin/app"); },
         sample,
         1,
         {"disk /SYS/bin/app: missing", "disk /ROM/sysDummy.txt: matches"}},
        {"a disk file one byte longer",
         {"--keys", "ok"},
         [](const MachineView &m) {
             Bytes b = readBytes(m.dir / "disk/UND/readme.txt");
             b.push_back('x');
             testing_support::writeFile(m.dir / "disk/UND/readme.txt", b);
         },
         sample,
         1,
         {"disk /UND/readme.txt: differs at offset 0x00005a (91 bytes, expected 90)"}},
        {"media whose last HDD file is cut",
         {"--keys", "ok"},
         {},
         cut,
         1,
         {"media HDD file 3: damaged (the last file ends inside a package, 47 bytes after its last complete "
          "package are never loaded)",
          "disk /SYS/bin/app: matches"}},
        {"media with a package that does not inflate",
         {"--keys", "ok"},
         {},
         spoilt,
         1,
         {"disk /SYS/lib/libui.so: damaged (its package does not inflate to its size: incorrect data check)",
          "disk /UND/readme.txt: matches"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = sample;
        s.run(c.run);
        if (c.spoil)
            c.spoil(s.machine);
        Outcome o =
            dlupdate({"machine", "verify", "--machine", s.machine.dir.string(), "--media", c.media.string()});
        EXPECT_EQ(o.status, c.status) << o.out << o.err;
        auto lines = o.lines();
        for (const auto &want : c.lines)
            EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want << "\n" << o.out;
        ASSERT_FALSE(lines.empty());
        const std::string summary = lines.back();
        lines.pop_back();
        EXPECT_EQ(summary, verifySummary(lines));
        // --quiet: the lines that do not match, then the same summary.
        std::string unmatched;
        for (const auto &line : lines)
            if (line.find(": matches") == std::string::npos &&
                line.find(": not on these media") == std::string::npos)
                unmatched += line + "\n";
        Outcome q = dlupdate({"machine", "verify", "--quiet", "--machine", s.machine.dir.string(), "--media",
                              c.media.string()});
        EXPECT_EQ(q.status, c.status);
        EXPECT_EQ(q.out, unmatched + summary + "\n");
        EXPECT_EQ(c.status == 0, unmatched.empty()) << o.out;
        // The JSON form agrees line by line.
        Outcome j = dlupdate({"machine", "verify", "--json", "--machine", s.machine.dir.string(), "--media",
                              c.media.string()});
        EXPECT_EQ(j.status, c.status);
        json doc = json::parse(j.out);
        EXPECT_EQ(doc.at("matches"), c.status == 0);
        EXPECT_EQ(doc.at("nothingToVerify"), nullptr);
        const json &counts = doc.at("summary");
        EXPECT_EQ(counts.at("checked").get<std::size_t>(), counts.at("matching").get<std::size_t>() +
                                                               counts.at("differing").get<std::size_t>() +
                                                               counts.at("damaged").get<std::size_t>());
        EXPECT_EQ(summary.rfind(std::to_string(counts.at("checked").get<std::size_t>()) +
                                    " targets checked, " +
                                    std::to_string(counts.at("matching").get<std::size_t>()) + " matching, ",
                                0),
                  0u)
            << summary;
        ASSERT_EQ(doc.at("targets").size(), lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].rfind(doc["targets"][i].at("target").get<std::string>() + ": " +
                                         doc["targets"][i].at("state").get<std::string>(),
                                     0),
                      0u)
                << lines[i];
    }
    Outcome none = dlupdate({"machine", "verify", "--machine", "/nonexistent/m", "--media", sample.string()});
    EXPECT_EQ(none.status, 5);
}

// `run && machine verify` on a folder with no update file (the folder above
// the media) passes having tested nothing: run says so and keeps its
// status, its report records it, and verify fails with the reason.
TEST(E2eNothingOffered, RunSaysItAndVerifyFails)
{
    TempDir dir;
    const fs::path above = dir / "above", empty = dir / "empty", media = above / "usb";
    fs::create_directories(above);
    fs::copy(sharedMedia("sample"), media, fs::copy_options::recursive);
    fs::create_directories(empty / "fwstore");
    const std::string names = " (looked for firmImage0.bin, firmImage1.bin, firmImage2.bin, 1 ... 32)";
    struct Case {
        const char *what;
        fs::path media;
        std::string nothing; // what run and verify say; "" when the media offer files
        std::vector<std::string> below;
    } cases[] = {
        {"the folder above the media",
         above,
         "no update file in " + above.string() + names + "; media found below: " + media.string(),
         {media.string()}},
        {"an empty fwstore folder", empty, "no update file in " + (empty / "fwstore").string() + names, {}},
        {"the media", media, "", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Session s;
        s.media = c.media;
        const fs::path report = s.dir / "r.json";
        const Outcome run = s.run({"--keys", "ok", "--report", report.string()});
        EXPECT_EQ(run.status, 0) << run.err;
        const std::string said = "dlupdate run: the media offered nothing: " + c.nothing + "\n";
        EXPECT_EQ(run.err.find(said) != std::string::npos, !c.nothing.empty()) << run.err;
        EXPECT_EQ(run.err.find("offered nothing") != std::string::npos, !c.nothing.empty()) << run.err;
        EXPECT_NE(run.out.find("Download -> OK"), std::string::npos) << run.out;
        // Nothing offered leaves the machine as it was made.
        EXPECT_EQ(s.machine.flashErased(), !c.nothing.empty());
        EXPECT_EQ(s.machine.rewriteFlags(), 0u);
        const json r = json::parse(readText(report));
        EXPECT_EQ(r.at("media").at("offeredNothing"), !c.nothing.empty());
        EXPECT_EQ(r.at("media").at("updateFiles").empty(), !c.nothing.empty());
        EXPECT_EQ(r.at("media").at("mediaBelow"), json(c.below));

        const std::vector<std::string> verify{"machine", "verify",        "--machine", s.machine.dir.string(),
                                              "--media", c.media.string()};
        const Outcome v = dlupdate(verify);
        EXPECT_EQ(v.status, c.nothing.empty() ? 0 : 1) << v.out << v.err;
        EXPECT_EQ(v.err,
                  c.nothing.empty() ? "" : "dlupdate machine verify: nothing to verify: " + c.nothing + "\n");
        std::vector<std::string> asJson(verify);
        asJson.push_back("--json");
        const Outcome j = dlupdate(asJson);
        EXPECT_EQ(j.status, v.status);
        const json doc = json::parse(j.out);
        EXPECT_EQ(doc.at("matches"), c.nothing.empty());
        EXPECT_EQ(doc.at("nothingToVerify"), c.nothing.empty() ? json(nullptr) : json(c.nothing));
    }
}

} // namespace
} // namespace testing_support

namespace testing_support {
namespace {

// The listing names each archiver call by the number a fault needs: the
// fault archiver:(N-1):1 hits exactly the call listed as "archiver #N", and
// archiver@DESTINATION hits the call writing that destination.
TEST(E2eEvents, ListedNumbersAimFaults)
{
    Session s;
    s.media = sharedMedia("sample");
    Outcome listing = s.run({"--keys", "1,ok", "--events"});
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::vector<std::pair<long, std::string>> archiver; // number, destination
    for (const auto &line : splitLines(listing.err))
        if (line.rfind("archiver #", 0) == 0) {
            long n = std::stol(line.substr(10));
            archiver.emplace_back(n, line.substr(line.find(" -> ") + 4));
            EXPECT_EQ(n, static_cast<long>(archiver.size())) << "listed once, in order: " << line;
        }
    ASSERT_EQ(archiver.size(), 15u) << listing.err;
    EXPECT_NE(listing.err.find("\nunit #2: pfc\n"), std::string::npos) << listing.err;

    for (std::size_t pick : {std::size_t{0}, std::size_t{6}, archiver.size() - 1}) {
        const auto &[n, destination] = archiver[pick];
        SCOPED_TRACE(destination);
        for (const std::string &fault :
             {"archiver:" + std::to_string(n - 1) + ":1", "archiver@" + destination}) {
            Session f;
            f.media = sharedMedia("sample");
            // (The module tries again after a failed expansion: the run may
            // still complete.)
            Outcome o = f.run({"--keys", "1,ok", "--fault", fault});
            std::string name = fault.substr(0, fault.find(':'));
            EXPECT_NE(
                o.err.find("fault " + name + ": dlBoardArchiver /TMP/temp.db -> " + destination + " fails"),
                std::string::npos)
                << o.err;
            EXPECT_EQ(o.err.find("never fired"), std::string::npos) << o.err;
        }
    }
}

// Every name `dlupdate faults` lists is one `run` takes: given all at once,
// the run is refused only for the bad key that follows them.
TEST(E2eEvents, FaultsListsWhatRunTakes)
{
    Outcome list = dlupdate({"faults"});
    ASSERT_EQ(list.status, 0);
    std::vector<std::string> args{"run", "--media", sharedMedia("sample").string(), "--machine",
                                  "/nonexistent/m"};
    std::size_t faults = 0, cuts = 0;
    for (const auto &line : list.lines()) {
        std::istringstream words(line);
        std::string kind, name;
        words >> kind >> name;
        for (const char *placeholder : {"TASKNAME", "PATH", "DESTINATION"})
            if (name.ends_with(placeholder))
                name = name.substr(0, name.size() - std::strlen(placeholder)) + "tUpdate";
        if (kind == "fault") {
            args.insert(args.end(), {"--fault", name});
            ++faults;
        } else {
            ASSERT_EQ(kind, "cut") << line;
            Outcome o = dlupdate({"run", "--media", sharedMedia("sample").string(), "--machine",
                                  "/nonexistent/m", "--power-cut", name + ":1", "--keys", "x"});
            EXPECT_EQ(o.err.find("power-cut"), std::string::npos) << o.err;
            ++cuts;
        }
    }
    EXPECT_EQ(faults, 25u);
    EXPECT_EQ(cuts, 6u);
    args.insert(args.end(), {"--keys", "x"});
    Outcome o = dlupdate(args);
    EXPECT_EQ(o.status, 64);
    EXPECT_EQ(o.err.find("fault"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("bad key entry 1 \"x\""), std::string::npos) << o.err;
}

} // namespace
} // namespace testing_support

namespace testing_support {
namespace {

// inspect --json on damaged copies of the sample: each problem's code and
// file, and the menu a session would offer with those media.
TEST(E2eInspectJson, CodesFilesAndMenu)
{
    struct Case {
        const char *what;
        std::function<void(const fs::path &files)> damage;  // on media/fwstore
        std::vector<std::pair<std::string, json>> problems; // code, file
        json offered;                                       // null: no menu
    } cases[] = {
        {"whole", [](const fs::path &) {}, {}, 0x7e},
        {"HDD file 2 missing",
         [](const fs::path &f) { fs::remove(f / "2"); },
         {{"hdd-series-broken", nullptr}, {"hdd-last-file-cut", "1"}},
         0x7a},
        {"image 1 missing",
         [](const fs::path &f) { fs::remove(f / "firmImage1.bin"); },
         {{"image0-without-image1", "firmImage0.bin"}},
         0x7c},
        {"no media",
         [](const fs::path &f) {
             fs::remove_all(f);
             fs::create_directories(f);
         },
         {{"no-media", nullptr}},
         0},
        {"a PFC package that does not inflate",
         [](const fs::path &f) {
             Bytes image = swapPairs(readBytes(f / "firmImage2.bin"));
             const std::string kData = "DATASTART\n";
             auto at = std::search(image.begin(), image.end(), kData.begin(), kData.end());
             at = std::search(at + 1, image.end(), kData.begin(), kData.end());
             at[10] = at[11] = 0xFF;
             testing_support::writeFile(f / "firmImage2.bin", swapPairs(image));
         },
         {{"package-inflate", "firmImage2.bin"}},
         nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        fs::path media = dir / "media";
        fs::copy(sharedMedia("sample"), media, fs::copy_options::recursive);
        // The module's readers' codes alone (the checksum list's: tests/tools).
        fs::remove(media / "SHA256SUMS");
        c.damage(media / "fwstore");
        Outcome o = dlupdate({"inspect", "--json", media.string()});
        EXPECT_EQ(o.status, c.problems.empty() ? 0 : 1) << o.err;
        json r = json::parse(o.out);
        EXPECT_EQ(r.at("format"), "dlupdate-inspect");
        EXPECT_EQ(r.at("version"), 2);
        ASSERT_EQ(r.at("problemDetails").size(), c.problems.size()) << r.at("problems");
        for (std::size_t i = 0; i < c.problems.size(); ++i) {
            EXPECT_EQ(r["problemDetails"][i].at("code"), c.problems[i].first);
            EXPECT_EQ(r["problemDetails"][i].at("file"), c.problems[i].second);
            EXPECT_EQ(r["problemDetails"][i].at("text"), r["problems"][i]);
        }
        if (c.problems.size() == 1 && c.problems[0].first == "package-inflate") {
            EXPECT_EQ(r["problemDetails"][0].at("package"), 2);
        }
        if (c.offered.is_null()) {
            EXPECT_EQ(r.at("menu").at("reached"), false);
            EXPECT_EQ(r.at("menu").at("why"), "staging fails (the module says \"EngTenkai error\")");
        } else {
            EXPECT_EQ(r.at("menu").at("reached"), true);
            EXPECT_EQ(r.at("menu").at("offered"), c.offered);
            // The module's own menu says the same in a run.
            Session s;
            s.media = media;
            Outcome run = s.run({"--keys", "ok"});
            auto lines = run.lines();
            char want[64];
            std::snprintf(want, sizeof want, "dlFirmUpdateModuleEnableFlag:%x", c.offered.get<unsigned>());
            EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << run.out;
        }
        for (const auto &f : r.at("files"))
            EXPECT_EQ(f.at("sha256"),
                      sha256Hex(readBytes(media / "fwstore" / f.at("file").get<std::string>())));
        EXPECT_EQ(r.at("warnings"), json::array());
    }
}

} // namespace
} // namespace testing_support
