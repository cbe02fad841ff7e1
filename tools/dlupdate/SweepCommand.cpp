// `dlupdate sweep`: the power-cut sweep for a user's own media, with a
// table, JSON and JUnit XML reports.
#include "tools/dlupdate/SweepCommand.h"

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
#include <unistd.h>

namespace dlcli {

namespace fs = std::filesystem;

namespace {

constexpr int kSweepFormatVersion = 1;
// Calls of one fault name failed in turn; past this many (the flash
// verify's one read per byte), this many spread evenly.
constexpr long kFaultCallsPerName = 64;

struct SweepArgs {
    std::string media;
    std::string keys = "ok";
    bool pairs = false;
    bool faults = false;
    std::string json;
    std::string junit;
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
            << std::setw(11) << nextBootText(r) << std::setw(18) << (r.sameAsUninterrupted ? "yes" : "no")
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

nlohmann::json toJson(const SweepArgs &a, const dlrun::Sweeper &s,
                      const std::vector<dlrun::Sweeper::Row> &rows, std::size_t failed)
{
    nlohmann::json events = nlohmann::json::object();
    for (const auto &kind : dlrun::kCutEvents)
        events[kind] = s.events(kind);
    nlohmann::json j = {{"format", "dlupdate-sweep"}, {"version", kSweepFormatVersion},
                        {"media", a.media},           {"keys", a.keys},
                        {"double", a.pairs},          {"faults", a.faults},
                        {"events", events},           {"rows", nlohmann::json::array()}};
    for (const auto &r : rows) {
        nlohmann::json flags = nlohmann::json::array();
        for (std::size_t i = 0; i < r.flagsAfter.size(); ++i)
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

void writeJunit(std::ostream &out, const std::vector<dlrun::Sweeper::Row> &rows, std::size_t failed)
{
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<testsuites name=\"dlupdate sweep\" tests=\"" << rows.size() << "\" failures=\"" << failed
        << "\">\n"
        << "  <testsuite name=\"power cuts\" tests=\"" << rows.size() << "\" failures=\"" << failed
        << "\">\n";
    for (const auto &r : rows) {
        const bool fault = r.cuts.front().rfind("fault ", 0) == 0;
        out << "    <testcase classname=\""
            << (fault               ? "sweep.fault"
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

bool writeFile(const std::string &file, const std::string &text)
{
    std::ofstream out(file, std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

int runSweep(const SweepArgs &a)
{
    std::error_code ec;
    if (!fs::is_directory(a.media, ec)) {
        std::cerr << "dlupdate sweep: media folder " << a.media << " is not a folder\n";
        return 5;
    }
    for (const auto &file : {a.json, a.junit})
        if (!file.empty() && !std::ofstream(file, std::ios::app)) {
            std::cerr << "dlupdate sweep: cannot write " << file << "\n";
            return 64;
        }
    const fs::path work = fs::temp_directory_path() / ("dlupdate-sweep-" + std::to_string(::getpid()));
    struct Cleanup {
        fs::path dir;
        ~Cleanup()
        {
            std::error_code e;
            fs::remove_all(dir, e);
        }
    } cleanup{work};

    dlrun::Sweeper s({fs::absolute(a.media), work, a.keys, [] { return vx::dlFirmUpdateUSBMediaMain(); }});
    std::string why;
    if (!s.prepare(why)) {
        std::cerr << "dlupdate sweep: nothing to sweep: " << why << "\n";
        return 1;
    }
    const bool live = ::isatty(2);
    std::vector<dlrun::Sweeper::Row> rows = s.singles();
    if (a.pairs) {
        auto pairs = s.pairs([live](long done, long total) {
            if (live)
                std::cerr << "\rdlupdate sweep: first cut " << done << " of " << total << std::flush;
        });
        if (live)
            std::cerr << "\n";
        rows.insert(rows.end(), pairs.begin(), pairs.end());
    }
    const std::size_t cutRows = rows.size();
    std::vector<dlrun::Sweeper::Row> faultRows;
    if (a.faults) {
        const auto calls = s.census();
        faultRows = s.faultSweep(calls, kFaultCallsPerName, [live](long done, long total) {
            if (live)
                std::cerr << "\rdlupdate sweep: fault name " << done << " of " << total << std::flush;
        });
        if (live)
            std::cerr << "\n";
        rows.insert(rows.end(), faultRows.begin(), faultRows.end());
    }
    std::size_t failed = 0;
    for (const auto &r : rows)
        failed += !r.passed();

    printTable(std::vector<dlrun::Sweeper::Row>(rows.begin(), rows.begin() + cutRows), std::cout);
    if (a.faults)
        printFaultTables(faultRows, std::cout);
    std::cout << cutRows << " cut " << (a.pairs ? "sequences" : "points");
    if (a.faults)
        std::cout << ", " << faultRows.size() << " fault points";
    std::cout << ", " << rows.size() - failed << " passed, " << failed << " failed\n";
    if (!a.json.empty() && !writeFile(a.json, toJson(a, s, rows, failed).dump(2) + "\n"))
        std::cerr << "dlupdate sweep: cannot write " << a.json << "\n";
    if (!a.junit.empty()) {
        std::ostringstream x;
        writeJunit(x, rows, failed);
        if (!writeFile(a.junit, x.str()))
            std::cerr << "dlupdate sweep: cannot write " << a.junit << "\n";
    }
    return failed ? 1 : 0;
}

} // namespace

std::function<int()> addSweep(CLI::App &app)
{
    auto a = std::make_shared<SweepArgs>();
    auto *cmd = app.add_subcommand("sweep",
                                   "cut the power at every event of a session on the media, then boot again");
    cmd->add_option("--media", a->media, "the media folder to sweep")->required();
    cmd->add_option("--keys", a->keys, "key script of each session (default ok)");
    cmd->add_flag("--double", a->pairs, "also cut every event of each recovery boot");
    cmd->add_flag("--faults", a->faults,
                  "also fail every call of every fault name in turn, a table per name");
    cmd->add_option("--json", a->json, "write the rows as JSON to FILE");
    cmd->add_option("--junit", a->junit, "write the rows as JUnit XML to FILE");
    return [a] { return runSweep(*a); };
}

} // namespace dlcli
