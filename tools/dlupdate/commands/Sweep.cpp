// `dlupdate sweep`: the power-cut sweep, or with --damage the damage sweep,
// for a user's own media, with a table, JSON and JUnit XML reports.
#include "tools/common/ExitStatus.h"
#include "tools/common/JsonFormat.h"
#include "tools/common/OutputFile.h"
#include "tools/dlupdate/Command.h"
#include "host/machine/Keys.h"

#include "tools/progress/Progress.h"
#include "tools/run/DamageSweep.h"
#include "tools/run/Interrupts.h"
#include "tools/run/Sweep.h"
#include "update/session/dlFirmUpMain.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace dlcli {

namespace fs = std::filesystem;

namespace {

// Calls of one fault name failed in turn; past this many (the flash
// verify's one read per byte), this many spread evenly.
constexpr long kFaultCallsPerName = 64;

struct SweepArgs {
    std::string media;
    std::string keys = "ok";
    bool pairs = false;
    bool faults = false;
    std::string json; // "-": standard output
    std::string junit;
    bool damage = false;
    std::uint32_t seed = 1;
    std::size_t sample = 0;
    int jobs = 0;
    bool quiet = false;
};

std::string hex8(std::uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%02X", v);
    return b;
}

std::string flagsText(const dlrun::Sweeper::Row &r)
{
    std::string s;
    for (std::size_t i = 0; i < r.flagsAfter.size(); ++i) {
        if (i)
            s += " then ";
        s += r.reached[i].empty() ? hex8(r.flagsAfter[i]) : r.reached[i];
    }
    return s;
}

std::string nextBootText(const dlrun::Sweeper::Row &r)
{
    if (r.finished)
        return "finished";
    return "exit " + std::to_string(r.finalStatus);
}

void printTable(const std::vector<dlrun::Sweeper::Row> &rows, std::ostream &out)
{
    out << std::left << std::setw(28) << "cut point" << std::setw(16) << "interrupted" << std::setw(18)
        << "flags after cut" << std::setw(11) << "next boot" << std::setw(18) << "as uninterrupted"
        << "result\n";
    for (const auto &r : rows) {
        out << std::setw(28) << r.name() << std::setw(16) << r.interrupted << std::setw(18) << flagsText(r)
            << std::setw(11) << nextBootText(r) << std::setw(18)
            << (r.cuts.empty()          ? "-"
                : r.sameAsUninterrupted ? "yes"
                                        : "no")
            << (r.passed() ? "ok" : "FAILED") << "\n";
        for (const auto &p : r.problems)
            out << "    " << p << "\n";
    }
}

// "fault open@/TMP/x:3:1" -> "open@/TMP/x"
std::string faultName(const std::string &row)
{
    std::string spec = row.substr(6);
    auto strip = [&spec] {
        auto c = spec.rfind(':');
        if (c != std::string::npos && c + 1 < spec.size() &&
            spec.find_first_not_of("0123456789", c + 1) == std::string::npos)
            spec.erase(c);
    };
    if (spec.size() > 2 && spec.compare(spec.size() - 2, 2, ":1") == 0) {
        spec.erase(spec.size() - 2);
        strip();
    }
    return spec;
}

// One table per fault name: each call failing alone, then for good.
void printFaultTables(const std::vector<dlrun::Sweeper::Row> &rows, std::ostream &out)
{
    std::string current;
    for (const auto &r : rows) {
        const std::string name = faultName(r.cuts.front());
        if (name != current) {
            current = name;
            out << "\nfault " << name << "\n"
                << std::left << std::setw(16) << "  failing call" << std::setw(10) << "ending"
                << std::setw(16) << "interrupted" << std::setw(8) << "flags" << std::setw(11) << "next boot"
                << std::setw(18) << "as uninterrupted"
                << "result\n";
        }
        const std::string spec = r.cuts.front().substr(6);
        std::string which = spec == name ? "every" : spec.substr(name.size() + 1);
        which = which == "every" ? which : "#" + std::to_string(std::stol(which) + 1);
        const std::string ending = r.reached.front().substr(0, r.reached.front().find(';'));
        out << "  " << std::setw(14) << which << std::setw(10) << ending << std::setw(16) << r.interrupted
            << std::setw(8) << hex8(r.flagsAfter.front()) << std::setw(11) << nextBootText(r) << std::setw(18)
            << (r.sameAsUninterrupted ? "yes" : "no") << (r.passed() ? "ok" : "FAILED") << "\n";
        for (const auto &p : r.problems)
            out << "    " << p << "\n";
    }
}

nlohmann::ordered_json toJson(const SweepArgs &a, const dlrun::Sweeper &s,
                              const std::vector<dlrun::Sweeper::Row> &rows, std::size_t failed)
{
    nlohmann::ordered_json events = nlohmann::ordered_json::object();
    for (const auto &kind : dlrun::cutEvents())
        events[kind] = s.events(kind);
    nlohmann::ordered_json j = dltool::envelope<nlohmann::ordered_json>(dltool::kSweepFormat);
    j.update({{"media", a.media},
              {"keys", a.keys},
              {"double", a.pairs},
              {"faults", a.faults},
              {"events", events},
              {"rows", nlohmann::ordered_json::array()}});
    for (const auto &r : rows) {
        nlohmann::ordered_json flags = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < r.cuts.size(); ++i)
            flags.push_back(
                {{"cut", r.cuts[i]}, {"reached", r.reached[i].empty()}, {"flags", r.flagsAfter[i]}});
        j["rows"].push_back({{"name", r.name()},
                             {"cuts", flags},
                             {"interrupted", r.interrupted},
                             {"nextBoot",
                              {{"status", r.finalStatus},
                               {"finished", r.finished},
                               {"sameAsUninterrupted", r.sameAsUninterrupted}}},
                             {"passed", r.passed()},
                             {"problems", r.problems}});
    }
    j["summary"] = {{"rows", rows.size()}, {"passed", rows.size() - failed}, {"failed", failed}};
    return j;
}

std::string xmlEscape(const std::string &s)
{
    std::string o;
    for (char c : s) {
        switch (c) {
        case '&':
            o += "&amp;";
            break;
        case '<':
            o += "&lt;";
            break;
        case '>':
            o += "&gt;";
            break;
        case '"':
            o += "&quot;";
            break;
        case '\n':
            o += "&#10;";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
                o += '?';
            else
                o += c;
        }
    }
    return o;
}

// A sweep a signal stopped: one failing case more, so that a CI
// publisher shows red and why.
std::string interruptedCase(int signal, std::size_t rows)
{
    if (!signal)
        return "";
    return "    <testcase classname=\"sweep\" name=\"interrupted\">\n      <failure message=\"interrupted by "
           "signal " +
           std::to_string(signal) + " after " + std::to_string(rows) + " rows\"/>\n    </testcase>\n";
}

nlohmann::ordered_json interruptedJson(int signal, std::size_t rows)
{
    return signal ? nlohmann::ordered_json{{"signal", signal}, {"rows", rows}}
                  : nlohmann::ordered_json(nullptr);
}

void writeJunit(std::ostream &out, const std::vector<dlrun::Sweeper::Row> &rows, std::size_t failed,
                int signal)
{
    const std::size_t tests = rows.size() + (signal ? 1 : 0);
    failed += signal ? 1 : 0;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<testsuites name=\"dlupdate sweep\" tests=\"" << tests << "\" failures=\"" << failed << "\">\n"
        << "  <testsuite name=\"power cuts\" tests=\"" << tests << "\" failures=\"" << failed << "\">\n"
        << interruptedCase(signal, rows.size());
    for (const auto &r : rows) {
        const bool fault = !r.cuts.empty() && r.cuts.front().rfind("fault ", 0) == 0;
        out << "    <testcase classname=\""
            << (r.cuts.empty()      ? "sweep.uninterrupted"
                : fault             ? "sweep.fault"
                : r.cuts.size() > 1 ? "sweep.double"
                                    : "sweep.single")
            << "\" name=\"" << xmlEscape(r.name()) << "\"";
        if (r.passed()) {
            out << "/>\n";
            continue;
        }
        std::string all;
        for (const auto &p : r.problems)
            all += (all.empty() ? "" : "\n") + p;
        out << ">\n      <failure message=\"" << xmlEscape(r.problems.front()) << "\">" << xmlEscape(all)
            << "</failure>\n    </testcase>\n";
    }
    out << "  </testsuite>\n</testsuites>\n";
}

// One of the sweep's documents, written whole or not at all; false (and
// said) when it could not be.
bool writeOutput(const std::string &file, const std::string &text, const dltool::Voice &voice)
{
    std::string why;
    if (file.empty() || dltool::OutputFile::write(file, text, why))
        return true;
    voice.say() << "cannot write " << file << "\n";
    return false;
}

// The table, unless standard output carries a document.
std::ostream &tableStream(const SweepArgs &a)
{
    static std::ostream nowhere(nullptr);
    return a.json == "-" || a.junit == "-" ? nowhere : std::cout;
}

// A sweep that ended before its rows: each document it was to write says
// why, so a CI job shows the reason, never an earlier run's green rows.
int endedEarly(const SweepArgs &a, int status, const std::string &why, const dltool::Voice &voice)
{
    voice.say() << why << "\n";
    if (a.json == "-" && a.junit == "-")
        return status; // two documents on one stream would be neither
    auto usable = [](const std::string &f) {
        return !f.empty() && dltool::OutputFile::whyNotWritable(f).empty();
    };
    if (usable(a.json)) {
        auto doc = dltool::endedEarly<nlohmann::ordered_json>(
            a.damage ? dltool::kDamageSweepFormat : dltool::kSweepFormat, status, why);
        writeOutput(a.json, doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n",
                    voice);
    }
    if (usable(a.junit)) {
        const std::string suite = a.damage ? "damaged media" : "power cuts";
        writeOutput(a.junit,
                    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<testsuites name=\"dlupdate sweep\" tests=\"1\" failures=\"1\">\n"
                    "  <testsuite name=\"" +
                        suite +
                        "\" tests=\"1\" failures=\"1\">\n"
                        "    <testcase classname=\"sweep\" name=\"sweep\">\n"
                        "      <failure message=\"" +
                        xmlEscape(why) + "\">exit status " + std::to_string(status) + ": " + xmlEscape(why) +
                        "</failure>\n    </testcase>\n  </testsuite>\n</testsuites>\n",
                    voice);
    }
    return status;
}

// A folder of this process's own under the system's temporary folder,
// removed with whatever the sweep left in it.
struct ScratchFolder {
    explicit ScratchFolder(const std::string &prefix)
        : dir(fs::temp_directory_path() / (prefix + std::to_string(::getpid())))
    {}
    ~ScratchFolder()
    {
        std::error_code e;
        fs::remove_all(dir, e);
    }
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;
    fs::path dir;
};

// The progress of one part of a sweep: "cut point 3 of 22" in place at a
// terminal, a line at each tenth in a log; gone when the part is done.
class SweepProgress {
public:
    SweepProgress(const dltool::Voice &voice, bool quiet, const char *what)
        : voice_(voice), what_(what), line_(2, progress::Line::Plain{quiet})
    {}
    void clear() { line_.clear(); }
    std::function<void(long, long)> callback()
    {
        return [this](long done, long total) {
            line_.step(voice_.path() + ": " + what_ + " " + std::to_string(done) + " of " +
                           std::to_string(total),
                       static_cast<double>(done), static_cast<double>(total));
        };
    }

private:
    const dltool::Voice &voice_;
    std::string what_;
    progress::Line line_;
};

// The rows of the cut points, each alone and with --double in pairs; a
// session that fails is the first row, and its cut points are swept still.
// A signal stops it at the row in hand.
std::vector<dlrun::Sweeper::Row> cutRowsOf(const SweepArgs &a, dlrun::Sweeper &s, const dltool::Voice &voice)
{
    std::vector<dlrun::Sweeper::Row> rows;
    if (!s.completed())
        rows.push_back(s.uninterrupted());
    if (!dlrun::Interrupts::caught())
        for (auto &row : s.singles(SweepProgress(voice, a.quiet, "cut point").callback()))
            rows.push_back(std::move(row));
    if (a.pairs && !dlrun::Interrupts::caught()) {
        auto pairs = s.pairs(SweepProgress(voice, a.quiet, "first cut").callback());
        rows.insert(rows.end(), pairs.begin(), pairs.end());
    }
    return rows;
}

// The table, the summary and the files of a power-cut sweep, of the rows
// it finished: all of them, or those before a signal.
int writeCutSweep(const SweepArgs &a, const dltool::Voice &voice, const dlrun::Sweeper &s,
                  const std::vector<dlrun::Sweeper::Row> &rows, std::size_t cutRows)
{
    const std::vector<dlrun::Sweeper::Row> faultRows(rows.begin() + static_cast<long>(cutRows), rows.end());
    const int signal = dlrun::Interrupts::caught();
    std::size_t failed = 0;
    for (const auto &r : rows)
        failed += !r.passed();

    std::ostream &out = tableStream(a);
    printTable(std::vector<dlrun::Sweeper::Row>(rows.begin(), rows.begin() + static_cast<long>(cutRows)),
               out);
    if (a.faults)
        printFaultTables(faultRows, out);
    const std::size_t sessionRows = s.completed() ? 0 : 1;
    out << cutRows - sessionRows << " cut " << (a.pairs ? "sequences" : "points")
        << (s.completed() ? "" : " and the uninterrupted session");
    if (a.faults)
        out << ", " << faultRows.size() << " fault points";
    out << ", " << rows.size() - failed << " passed, " << failed << " failed\n" << std::flush;
    std::ostringstream x;
    writeJunit(x, rows, failed, signal);
    nlohmann::ordered_json j;
    if (!a.json.empty()) {
        j = toJson(a, s, rows, failed);
        j["interrupted"] = interruptedJson(signal, rows.size());
    }
    // Both are written, whatever the first did.
    const bool jsonWritten = writeOutput(a.json, a.json.empty() ? "" : j.dump(2) + "\n", voice);
    const bool written = writeOutput(a.junit, x.str(), voice) && jsonWritten;
    if (signal) {
        voice.say() << "interrupted by signal " << signal << " after " << rows.size() << " rows\n";
        return dltool::kSignalled + signal;
    }
    return failed ? dltool::kFailed : written ? dltool::kOk : dltool::kOutputFailed;
}

int runCutSweep(const SweepArgs &a, const dltool::Voice &voice)
{
    const ScratchFolder scratch("dlupdate-sweep-");
    const fs::path &work = scratch.dir;

    dlrun::Sweeper s(
        {fs::absolute(a.media), work, a.keys, [] { return vx::dlFirmUpdateUSBMediaMain(); }, voice.path()});
    std::string why;
    if (!s.prepare(why) && !dlrun::Interrupts::caught())
        return endedEarly(a, dltool::kFailed, "nothing to sweep: " + why, voice);
    std::vector<dlrun::Sweeper::Row> rows;
    if (!dlrun::Interrupts::caught())
        rows = cutRowsOf(a, s, voice);
    const std::size_t cutRows = rows.size();
    if (a.faults && !dlrun::Interrupts::caught()) {
        const auto calls = s.census();
        auto faultRows =
            s.faultSweep(calls, kFaultCallsPerName, SweepProgress(voice, a.quiet, "fault name").callback());
        rows.insert(rows.end(), faultRows.begin(), faultRows.end());
    }
    return writeCutSweep(a, voice, s, rows, cutRows);
}

// ---- the damage sweep ----

void printDamageTable(const std::vector<dlrun::DamageRow> &rows, std::ostream &out)
{
    // Wide enough for the names of the sample's rows; a longer one (a long
    // name in a header) runs into its row rather than widening every row.
    std::size_t width = 14;
    for (const auto &r : rows)
        width = std::max(width, std::min<std::size_t>(r.damage.name.size(), 72) + 2);
    out << std::left << std::setw(static_cast<int>(width)) << "damaged copy" << std::setw(8) << "exit";
    for (dlrun::Item item : dlrun::kItems)
        out << std::setw(11) << dlrun::itemName(item);
    out << "result\n";
    for (const auto &r : rows) {
        out << std::setw(static_cast<int>(width)) << r.damage.name << std::setw(8) << r.ending();
        for (dlrun::ItemEnd e : r.judgement.items)
            out << std::setw(11) << dlrun::endName(e);
        out << r.result() << "\n";
        for (const auto &p : r.judgement.problems)
            out << "    " << p << "\n";
        if (r.passed() && !r.damage.detectable) {
            out << "    " << r.damage.why << "\n";
            for (const auto &d : r.judgement.differences)
                out << "    " << d << "\n";
        }
    }
}

nlohmann::ordered_json damageJson(const SweepArgs &a, const dlrun::DamageSweep &s,
                                  const std::vector<dlrun::DamageRow> &rows, std::size_t passed,
                                  std::size_t failed, std::size_t undetectable)
{
    auto items = [](const dlrun::ItemEnds &ends) {
        nlohmann::ordered_json j = nlohmann::ordered_json::object();
        for (dlrun::Item item : dlrun::kItems)
            j[dlrun::itemName(item)] = dlrun::endName(ends[static_cast<std::size_t>(item)]);
        return j;
    };
    nlohmann::ordered_json j = dltool::envelope<nlohmann::ordered_json>(dltool::kDamageSweepFormat);
    j.update({{"media", a.media},
              {"keys", a.keys},
              {"seed", a.seed},
              {"sample", a.sample},
              {"reference", {{"items", items(s.referenceItems())}}},
              {"rows", nlohmann::ordered_json::array()}});
    for (const auto &r : rows) {
        nlohmann::ordered_json files = nlohmann::ordered_json::array();
        for (const auto &e : r.damage.edits)
            if (std::find(files.begin(), files.end(), e.file) == files.end())
                files.push_back(e.file);
        j["rows"].push_back({{"name", r.damage.name},
                             {"kind", r.damage.kind},
                             {"files", files},
                             {"detectable", r.damage.detectable},
                             {"why", r.damage.why},
                             {"status", r.status},
                             {"signal", r.signal},
                             {"killed", r.timedOut},
                             {"items", items(r.judgement.items)},
                             {"result", r.result()},
                             {"passed", r.passed()},
                             {"problems", r.judgement.problems},
                             {"differences", r.judgement.differences}});
    }
    j["summary"] = {
        {"rows", rows.size()}, {"passed", passed}, {"failed", failed}, {"undetectable", undetectable}};
    return j;
}

void writeDamageJunit(std::ostream &out, const std::vector<dlrun::DamageRow> &rows, std::size_t failed,
                      std::size_t undetectable, int signal)
{
    const std::size_t tests = rows.size() + (signal ? 1 : 0);
    failed += signal ? 1 : 0;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<testsuites name=\"dlupdate sweep\" tests=\"" << tests << "\" failures=\"" << failed
        << "\" skipped=\"" << undetectable << "\">\n"
        << "  <testsuite name=\"damaged media\" tests=\"" << tests << "\" failures=\"" << failed
        << "\" skipped=\"" << undetectable << "\">\n"
        << interruptedCase(signal, rows.size());
    for (const auto &r : rows) {
        out << "    <testcase classname=\"sweep.damage." << r.damage.kind << "\" name=\""
            << xmlEscape(r.damage.name) << "\"";
        if (r.passed() && r.damage.detectable) {
            out << "/>\n";
            continue;
        }
        out << ">\n";
        if (r.passed()) {
            std::string all = r.damage.why;
            for (const auto &d : r.judgement.differences)
                all += "\n" + d;
            out << "      <skipped message=\"undetectable: " << xmlEscape(r.damage.why) << "\">"
                << xmlEscape(all) << "</skipped>\n";
        } else {
            std::string all;
            for (const auto &p : r.judgement.problems)
                all += (all.empty() ? "" : "\n") + p;
            out << "      <failure message=\"" << xmlEscape(r.judgement.problems.front()) << "\">"
                << xmlEscape(all) << "</failure>\n";
        }
        out << "    </testcase>\n";
    }
    out << "  </testsuite>\n</testsuites>\n";
}

// The table, the summary and the files of a damage sweep, of the rows it
// finished: all of them, or those before a signal.
int writeDamageSweep(const SweepArgs &a, const dltool::Voice &voice, const dlrun::DamageSweep &s,
                     const std::vector<dlrun::DamageRow> &rows)
{
    const int signal = dlrun::Interrupts::caught();
    std::size_t passed = 0, failed = 0, undetectable = 0;
    for (const auto &r : rows)
        (r.passed() ? (r.damage.detectable ? passed : undetectable) : failed) += 1;

    std::ostream &out = tableStream(a);
    out << "damaged copies of " << a.media << ", seed " << a.seed << "\n";
    printDamageTable(rows, out);
    out << rows.size() << " damaged copies, " << undetectable << " undetectable, " << passed << " passed, "
        << failed << " failed\n"
        << std::flush;
    std::string json;
    if (!a.json.empty()) {
        auto j = damageJson(a, s, rows, passed, failed, undetectable);
        j["interrupted"] = interruptedJson(signal, rows.size());
        json = j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    }
    std::ostringstream x;
    writeDamageJunit(x, rows, failed, undetectable, signal);
    const bool jsonWritten = writeOutput(a.json, json, voice);
    const bool written = writeOutput(a.junit, x.str(), voice) && jsonWritten;
    if (signal) {
        voice.say() << "interrupted by signal " << signal << " after " << rows.size() << " rows\n";
        return dltool::kSignalled + signal;
    }
    return failed ? dltool::kFailed : written ? dltool::kOk : dltool::kOutputFailed;
}

int runDamageSweep(const SweepArgs &a, const dltool::Voice &voice)
{
    const ScratchFolder scratch("dlupdate-damage-");
    const fs::path &work = scratch.dir;
    SweepProgress progress(voice, a.quiet, "damaged copy");
    dlrun::DamageSweep::Options o;
    o.media = fs::absolute(a.media);
    o.work = work;
    o.keys = a.keys;
    o.seed = a.seed;
    o.sample = a.sample;
    o.jobs = a.jobs > 0 ? a.jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    o.entry = [] { return vx::dlFirmUpdateUSBMediaMain(); };
    o.speaker = voice.path();
    o.progress = progress.callback();
    dlrun::DamageSweep s(o);
    std::vector<dlrun::DamageRow> rows;
    try {
        std::string why;
        bool unusable = false;
        if (!s.prepare(why, unusable) && !dlrun::Interrupts::caught())
            return endedEarly(a, unusable ? dltool::kUnusable : dltool::kFailed,
                              (unusable ? "" : "nothing to sweep: ") + why, voice);
        if (!dlrun::Interrupts::caught())
            rows = s.run();
    } catch (const std::exception &e) {
        // The scratch folder (a full or unwritable temporary folder).
        progress.clear();
        return endedEarly(a, dltool::kFailed, e.what(), voice);
    }
    progress.clear();
    return writeDamageSweep(a, voice, s, rows);
}

// Bad usage the parser cannot see, found before any session runs.
std::string whyBadUsage(const SweepArgs &a)
{
    if (a.json == "-" && a.junit == "-")
        return "--json and --junit cannot both go to standard output (-)";
    for (const auto &file : {a.json, a.junit}) {
        const std::string why = file.empty() ? "" : dltool::OutputFile::whyNotWritable(file);
        if (!why.empty())
            return "cannot write " + file + ": " + why;
    }
    try {
        host::KeyScript::parse(a.keys);
    } catch (const std::invalid_argument &e) {
        return e.what();
    }
    return "";
}

int runSweep(const SweepArgs &a, const dltool::Voice &voice)
{
    if (const std::string why = whyBadUsage(a); !why.empty())
        return endedEarly(a, dltool::kUsage, why, voice);
    std::error_code ec;
    if (!fs::is_directory(a.media, ec))
        return endedEarly(a, dltool::kUnusable, "media folder " + a.media + " is not a folder", voice);
    // A signal stops the sweep; the rows it finished are still written.
    const dlrun::Interrupts catcher;
    if (a.damage)
        return runDamageSweep(a, voice);
    return runCutSweep(a, voice);
}

} // namespace

Action defineSweep(CLI::App &command)
{
    auto a = std::make_shared<SweepArgs>();
    CLI::App *cmd = &command;
    cmd->add_option("--media", a->media, "the media folder to sweep")->required();
    cmd->add_option("--keys", a->keys, "key script of each session (default ok)");
    cmd->add_flag("--double", a->pairs, "also cut every event of each recovery boot");
    cmd->add_flag("--faults", a->faults,
                  "also fail every call of every fault name in turn, a table per name");
    auto *damage =
        cmd->add_flag("--damage", a->damage,
                      "run damaged copies of the media instead: cut files, changed headers, flipped "
                      "bits, HDD files dropped or swapped");
    cmd->add_option("--seed", a->seed,
                    "with --damage: the seed of the bits flipped and of --sample (default 1)")
        ->needs(damage);
    cmd->add_option("--sample", a->sample,
                    "with --damage: run this many damaged copies drawn from the seed (default: all)")
        ->needs(damage);
    cmd->add_option("--jobs", a->jobs, "with --damage: sessions at once (default: one per core)")
        ->needs(damage)
        ->check(CLI::Range(1, 256));
    cmd->get_option("--double")->excludes(damage);
    cmd->get_option("--faults")->excludes(damage);
    cmd->add_option("--json", a->json, "write the rows as JSON to FILE; alone or -, to standard output")
        ->expected(0, 1)
        ->type_name("[FILE]");
    auto jsonOut = std::make_shared<std::string>();
    cmd->add_option("-o,--json-out", *jsonOut, "write the rows as JSON to FILE (as --json FILE)")
        ->type_name("FILE");
    cmd->add_option("--junit", a->junit, "write the rows as JUnit XML to FILE (- standard output)")
        ->type_name("FILE");
    cmd->add_flag("--quiet", a->quiet, "no progress on standard error");
    return [a, cmd, jsonOut](const dltool::Voice &voice) {
        if (cmd->count("--json") > 0 && a->json.empty())
            a->json = "-";
        if (!jsonOut->empty()) {
            if (!a->json.empty() && a->json != "-") {
                voice.say() << "--json " << a->json << " and --json-out " << *jsonOut << " name two files\n";
                return int(dltool::kUsage);
            }
            a->json = *jsonOut;
        }
        return runSweep(*a, voice);
    };
}

} // namespace dlcli
