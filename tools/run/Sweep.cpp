#include "tools/run/Sweep.h"

#include "host/Machine.h"
#include "host/machine/Digest.h"
#include "host/machine/MachineFolder.h"
#include "host/machine/Nvram.h"
#include "host/machine/Panel.h"
#include "tools/run/MediaSurvey.h"
#include "tools/run/Interrupts.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

namespace dlrun {

namespace fs = std::filesystem;

std::vector<std::string> cutEvents()
{
    std::vector<std::string> names;
    for (host::Event e : host::kEvents)
        names.emplace_back(host::nameOf(e));
    return names;
}

namespace {

using host::MachineState;
constexpr std::uint32_t kFlashFlag = host::Nvram::kFlashRewriteFlag;
constexpr std::uint32_t kHddFlag = host::Nvram::kHddUpdateFlag;

std::string readFile(const fs::path &file)
{
    // Through the stream buffer in blocks: a byte-wise iterator cost most of
    // a sweep's time in the unoptimised builds.
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

// All ones when the flags cannot be read, which no rule accepts.
std::uint32_t flagsIn(const fs::path &machine)
{
    return MachineState::read(machine, MachineState::Scope::nvram).rewriteFlags();
}

// The whole of a machine folder, every name, kind and byte, as one digest;
// "" when it cannot be read, which no folder then shares.
std::string folderDigest(const fs::path &dir)
{
    std::string list;
    std::error_code ec;
    std::vector<fs::path> names;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        names.push_back(it->path());
    if (ec)
        return "";
    std::sort(names.begin(), names.end());
    for (const auto &p : names) {
        const auto st = fs::symlink_status(p, ec);
        list += fs::relative(p, dir).string() + '\0' + std::to_string(static_cast<int>(st.type())) + '\0';
        if (st.type() == fs::file_type::regular) {
            const std::string bytes = readFile(p);
            list += host::sha256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
        } else if (st.type() == fs::file_type::symlink) {
            list += fs::read_symlink(p, ec).string();
        }
        list += '\n';
    }
    return host::sha256(reinterpret_cast<const unsigned char *>(list.data()), list.size());
}

std::string hex(std::uint32_t v)
{
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

// A trace line drawn by `task` whose text begins with `text`.
bool drew(const std::string &trace, const std::string &task, const std::string &text)
{
    const std::string t = "\"task\":\"" + task + "\"";
    const std::string x = "\"text\":\"" + text;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);)
        if (line.find(t) != std::string::npos && line.find(x) != std::string::npos)
            return true;
    return false;
}

std::string eventOf(const std::string &cut) { return cut.substr(0, cut.rfind(':')); }

// How a boot ended, in the host's words ("exit(1)"), and the module's last
// word before its closing "Download -> Failed".
std::string endingOf(const BootRecord &b)
{
    std::string ending = "exit status " + std::to_string(b.status);
    std::istringstream err(b.err);
    for (std::string line; std::getline(err, line);)
        if (line.rfind("session ", 0) == 0 && line.find(": ") != std::string::npos)
            ending = line.substr(line.find(": ") + 2);
    std::vector<std::string> lines;
    std::istringstream console(b.console);
    for (std::string line; std::getline(console, line);)
        if (line.find_first_not_of(' ') != std::string::npos)
            lines.push_back(line);
    if (lines.size() > 1 && lines.back().rfind("Download -> ", 0) == 0)
        lines.pop_back();
    return lines.empty() ? ending : ending + " after \"" + lines.back() + "\"";
}

} // namespace

Progress progressOf(const BootRecord &boot)
{
    Progress p;
    auto erased = boot.events.find(std::string(host::nameOf(host::Event::flashErase)));
    p.flashTouched = erased != boot.events.end() && erased->second >= 1;
    p.flashDone = boot.console.find("[dlFirmRewrite]frwRewrite: done.") != std::string::npos;
    // The title also stands beside the Failed of an update whose flag could
    // not be set: that one never began.
    p.hddBegun = drew(boot.trace, "tdlFirmHdUpdate", "HDD SYS Update") &&
                 boot.console.find("HDD NVRAM flag set error") == std::string::npos;
    p.hddDone = drew(boot.trace, "tdlFirmHdUpdate", "Completed");
    return p;
}

bool FlagRule::accepts(std::uint32_t flags) const
{
    if (exact)
        return flags == required;
    return (flags & required) == required && (flags & ~allowed) == 0 && (!someFlag || flags != 0);
}

FlagRule expectedFlags(std::uint32_t flagsAtBoot, const BootRecord &boot, const std::string &cutEvent)
{
    const Progress p = progressOf(boot);
    const bool flashPending = ((flagsAtBoot & kFlashFlag) || p.flashTouched) && !p.flashDone;
    const bool hddPending = ((flagsAtBoot & kHddFlag) || p.hddBegun) && !p.hddDone;
    FlagRule r;
    r.required = (flashPending ? kFlashFlag : 0) | (hddPending ? kHddFlag : 0);
    r.allowed = r.required;
    if (cutEvent == host::nameOf(host::Event::nvramClear)) {
        // The flag being cleared still stands.
        r.exact = false;
        r.someFlag = true;
        r.allowed |= (p.flashDone ? kFlashFlag : 0) | (p.hddDone ? kHddFlag : 0);
    }
    return r;
}

FlagRule expectedFlagsAfterFault(const BootRecord &boot, const std::string &faultName)
{
    const Progress p = progressOf(boot);
    FlagRule r;
    r.required =
        (p.flashTouched && !p.flashDone ? kFlashFlag : 0) | (p.hddBegun && !p.hddDone ? kHddFlag : 0);
    r.allowed = (p.flashDone ? 0 : kFlashFlag) | (p.hddDone ? 0 : kHddFlag);
    // A clear that fails leaves the flag of finished work standing.
    if (faultName == host::nameOf(host::Fault::nvramClear))
        r.allowed = kFlashFlag | kHddFlag;
    r.exact = false;
    return r;
}

std::string describeFlags(std::uint32_t flags)
{
    std::string s;
    if (flags & kFlashFlag)
        s = "FLASH_REWRITE";
    if (flags & kHddFlag)
        s += s.empty() ? "HDD_UPDATE" : "+HDD_UPDATE";
    if (flags & ~(kFlashFlag | kHddFlag))
        s += (s.empty() ? "" : "+") + hex(flags & ~(kFlashFlag | kHddFlag));
    return s.empty() ? "none" : s;
}

std::string Sweeper::Row::name() const
{
    if (cuts.empty())
        return "uninterrupted";
    std::string n;
    for (const auto &c : cuts)
        n += (n.empty() ? "" : ",") + c;
    return n;
}

Sweeper::Sweeper(Options options) : o_(std::move(options)) {}

BootRecord Sweeper::boot(const fs::path &machine, const std::string &cut,
                         const std::vector<std::string> &faults, bool census) const
{
    BootRecord b;
    std::ostringstream trace;
    RunOptions o;
    o.media = o_.media.string();
    o.machine = machine.string();
    o.keysGiven = true;
    o.keys = o_.keys;
    o.interactiveGiven = true;
    o.interactive = false;
    o.powerCut = cut;
    o.faults = faults;
    o.onBoot = [&b, &trace, census](host::Machine &m) {
        m.console().setOutput([&b](std::string_view s) { b.console += s; });
        m.panel().enableTrace(trace);
        if (census)
            m.faults().takeCensus();
    };
    o.onEnd = [&b](host::Machine &m) {
        for (const auto &[kind, n] : m.faults().eventCounts())
            b.events[kind] = n;
        for (const auto &[name, n] : m.faults().calls())
            b.calls[name] = n;
        m.panel().disableTrace();
    };
    std::ostringstream err;
    b.status = runSessions(o, o_.entry, dltool::Voice(o_.speaker, err));
    b.err = err.str();
    b.trace = trace.str();
    return b;
}

void Sweeper::freshMachine(const fs::path &machine) const
{
    fs::remove_all(machine);
    fs::copy(fresh_, machine, fs::copy_options::recursive);
}

bool Sweeper::prepare(std::string &why)
{
    fs::create_directories(o_.work);
    fresh_ = o_.work / "fresh";
    fs::remove_all(fresh_);
    host::MachineFolder::init(fresh_);
    const fs::path ref = o_.work / "reference";
    freshMachine(ref);
    reference_ = boot(ref, "");
    referenceState_ = MachineState::read(ref, MachineState::Scope::everyByte);
    fs::remove_all(ref);
    failure_.clear();
    if (reference_.status != kReturned0)
        failure_ = "the uninterrupted session failed: " + endingOf(reference_);
    else if (referenceState_.rewriteFlags() != 0 || referenceState_.updateMode() != 0)
        failure_ = "the uninterrupted session left rewrite flags " + hex(referenceState_.rewriteFlags()) +
                   ", update mode " + std::to_string(referenceState_.updateMode());
    if (!failure_.empty())
        failure_ += "; see dlupdate inspect " + o_.media.string();
    if (completed() && cutPoints() == 0) {
        why = "the uninterrupted session went through no event the power could be cut in";
        const MediaSurvey survey = surveyMedia(o_.media);
        if (survey.offersNothing())
            why += ": " + nothingOffered(survey);
        return false;
    }
    return true;
}

Sweeper::Row Sweeper::uninterrupted() const
{
    Row row;
    row.reached.push_back("");
    row.flagsAfter.push_back(referenceState_.rewriteFlags());
    row.interrupted = describeFlags(referenceState_.rewriteFlags());
    row.finalStatus = reference_.status;
    row.finished = completed();
    row.sameAsUninterrupted = true;
    if (!completed())
        row.problems.push_back(failure_);
    return row;
}

long Sweeper::events(const std::string &kind) const
{
    auto it = reference_.events.find(kind);
    return it == reference_.events.end() ? 0 : it->second;
}

bool Sweeper::stopped() { return Interrupts::caught() != 0; }

long Sweeper::cutPoints() const
{
    long n = 0;
    for (const auto &kind : cutEvents())
        n += events(kind);
    return n;
}

bool Sweeper::cutBoot(const fs::path &machine, const std::string &cut, bool mayMiss, Row &row,
                      BootRecord *out) const
{
    const std::uint32_t atBoot = flagsIn(machine);
    BootRecord b = boot(machine, cut);
    const std::uint32_t flags = flagsIn(machine);
    row.flagsAfter.push_back(flags);
    if (out)
        *out = b;
    if (b.status != kPowerCut) {
        const bool missed = b.err.find("not reached") != std::string::npos;
        row.reached.push_back(missed ? "not reached" : "exit " + std::to_string(b.status));
        if (!(missed && mayMiss))
            row.problems.push_back("cut " + cut + ": exit status " + std::to_string(b.status) +
                                   " instead of 9" + (missed ? " (not reached)" : ""));
        return false;
    }
    row.reached.push_back("");
    const FlagRule rule = expectedFlags(atBoot, b, eventOf(cut));
    row.interrupted = describeFlags(rule.required);
    if (!rule.accepts(flags))
        row.problems.push_back("cut " + cut + ": rewrite flags " + hex(flags) + " (" + describeFlags(flags) +
                               "), expected " + describeFlags(rule.required) +
                               (rule.exact ? "" : " with at most " + describeFlags(rule.allowed)));
    return true;
}

void Sweeper::finish(const fs::path &machine, Row &row, BootRecord *out)
{
    // A caller that wants the boot itself gets it run.
    const std::string key = out ? std::string() : folderDigest(machine);
    auto known = key.empty() ? finishes_.end() : finishes_.find(key);
    if (known != finishes_.end()) {
        ++finishesReused_;
    } else {
        BootRecord b = boot(machine, "");
        MachineState s = MachineState::read(machine, MachineState::Scope::everyByte);
        Finished f;
        f.status = b.status;
        f.finished = b.status == kReturned0 && s.rewriteFlags() == 0 && s.updateMode() == 0;
        const std::string diff = s.differences(referenceState_);
        f.same = diff.empty();
        if (!completed()) {
            // Judged by the ending of the uninterrupted session, which failed.
            if (b.status != reference_.status)
                f.problems.push_back("next boot: exit status " + std::to_string(b.status) +
                                     ", the uninterrupted session's " + std::to_string(reference_.status));
        } else {
            if (b.status != kReturned0)
                f.problems.push_back("next boot: exit status " + std::to_string(b.status));
            if (s.rewriteFlags() != 0)
                f.problems.push_back("next boot left rewrite flags " + hex(s.rewriteFlags()));
            if (s.updateMode() != 0)
                f.problems.push_back("next boot left update mode " + std::to_string(s.updateMode()));
        }
        if (!diff.empty())
            f.problems.push_back("next boot left the machine unlike an uninterrupted session: " + diff);
        if (out)
            *out = std::move(b);
        // Keyed by "" when not reusable: a later caller with a key never finds it.
        known = finishes_.insert_or_assign(key, std::move(f)).first;
    }
    const Finished &f = known->second;
    row.finalStatus = f.status;
    row.finished = f.finished;
    row.sameAsUninterrupted = f.same;
    row.problems.insert(row.problems.end(), f.problems.begin(), f.problems.end());
}

Sweeper::Row Sweeper::run(const std::vector<std::string> &cuts, bool mayMiss)
{
    Row row;
    row.cuts = cuts;
    const fs::path m = o_.work / "m";
    freshMachine(m);
    for (const auto &cut : cuts)
        cutBoot(m, cut, mayMiss, row);
    finish(m, row);
    return row;
}

std::vector<Sweeper::Row> Sweeper::singles(const std::function<void(long, long)> &progress)
{
    std::vector<Row> rows;
    const long total = cutPoints();
    for (const auto &kind : cutEvents())
        for (long i = 1; i <= events(kind); ++i) {
            Row row = run({kind + ":" + std::to_string(i)});
            if (stopped())
                return rows;
            rows.push_back(std::move(row));
            if (progress)
                progress(static_cast<long>(rows.size()), total);
        }
    return rows;
}

std::vector<Sweeper::Row> Sweeper::pairs(const std::function<void(long, long)> &progress,
                                         const std::string &firstKind, int part, int parts)
{
    std::vector<Row> rows;
    const fs::path m = o_.work / "m", cutState = o_.work / "after-first-cut";
    if (parts < 1 || part < 0 || part >= parts)
        return rows;
    const long all = firstKind.empty() ? cutPoints() : events(firstKind);
    const long total = all / parts + (part < all % parts ? 1 : 0);
    long done = 0, index = 0;
    for (const auto &kind : cutEvents())
        for (long i = 1; i <= events(kind) && (firstKind.empty() || kind == firstKind); ++i) {
            if (index++ % parts != part)
                continue;
            if (stopped())
                return rows;
            const std::string first = kind + ":" + std::to_string(i);
            Row one;
            one.cuts = {first};
            freshMachine(m);
            const bool cut = cutBoot(m, first, false, one);
            if (stopped())
                return rows;
            if (!cut) {
                rows.push_back(one);
                continue;
            }
            fs::remove_all(cutState);
            fs::copy(m, cutState, fs::copy_options::recursive);
            // The recovery boot, uncut, tells where it can be cut.
            BootRecord recovery;
            Row whole = one;
            finish(m, whole, &recovery);
            if (stopped())
                return rows;
            if (!whole.passed()) {
                rows.push_back(whole);
                continue;
            }
            for (const auto &second : cutEvents()) {
                auto n = recovery.events.find(second);
                for (long j = 1; n != recovery.events.end() && j <= n->second; ++j) {
                    Row row = one;
                    row.cuts.push_back(second + ":" + std::to_string(j));
                    fs::remove_all(m);
                    fs::copy(cutState, m, fs::copy_options::recursive);
                    cutBoot(m, row.cuts.back(), false, row);
                    finish(m, row);
                    if (stopped())
                        return rows;
                    rows.push_back(row);
                }
            }
            if (progress)
                progress(++done, total);
        }
    return rows;
}

std::map<std::string, long> Sweeper::census()
{
    const fs::path m = o_.work / "m";
    freshMachine(m);
    return boot(m, "", {}, true).calls;
}

long spreadCall(long t, long tries, long n)
{
    // In 64 bits: t * (n - 1) passes a 32-bit long's range for a large
    // flash read a byte at a time.
    return tries > 1 ? static_cast<long>(static_cast<std::int64_t>(t) * (n - 1) / (tries - 1)) : 0;
}

std::vector<Sweeper::Row> Sweeper::faultSweep(const std::map<std::string, long> &calls, long perName,
                                              const std::function<void(long, long)> &progress)
{
    std::vector<Row> rows;
    const fs::path m = o_.work / "m";
    long done = 0;
    for (const auto &[name, n] : calls) {
        std::vector<std::string> specs;
        const long tries = perName > 0 ? std::min(perName, n) : perName < 0 ? 0 : n;
        for (long t = 0; t < tries; ++t) {
            // Spread evenly, the first and the last call always among them.
            const long k = spreadCall(t, tries, n);
            specs.push_back(name + ":" + std::to_string(k) + ":1");
        }
        specs.push_back(name);
        for (const auto &spec : specs) {
            Row row;
            row.cuts = {"fault " + spec};
            freshMachine(m);
            BootRecord b = boot(m, "", {spec});
            const std::uint32_t flags = flagsIn(m);
            row.flagsAfter.push_back(flags);
            const bool documented = b.status == kReturned0 || b.status == kExit1 ||
                                    b.status == kReturnedFailure || b.status == kExit0 ||
                                    b.status == kStalled;
            std::string ending = b.stalled() ? "stalled" : "exit " + std::to_string(b.status);
            if (b.stalled()) {
                // Who waits on what, from the stall report.
                std::istringstream lines(b.err);
                for (std::string line; std::getline(lines, line);)
                    if (line.rfind("  task ", 0) == 0)
                        ending += ";" + line.substr(1);
            }
            row.reached.push_back(ending);
            if (!documented)
                row.problems.push_back(spec + ": exit status " + std::to_string(b.status) +
                                       " is no documented ending\n" + b.err);
            const FlagRule rule = expectedFlagsAfterFault(b, name);
            row.interrupted = describeFlags(rule.required);
            if (!rule.accepts(flags))
                row.problems.push_back(spec + ": rewrite flags " + hex(flags) + " (" + describeFlags(flags) +
                                       "), expected " + describeFlags(rule.required) + " with at most " +
                                       describeFlags(rule.allowed));
            finish(m, row);
            if (stopped())
                return rows;
            rows.push_back(std::move(row));
        }
        if (progress)
            progress(++done, static_cast<long>(calls.size()));
    }
    return rows;
}

std::vector<Sweeper::Row> Sweeper::random(unsigned seed, int count, int maxCuts)
{
    std::vector<std::string> points;
    for (const auto &kind : cutEvents())
        for (long i = 1; i <= events(kind); ++i)
            points.push_back(kind + ":" + std::to_string(i));
    std::vector<Row> rows;
    if (points.empty() || maxCuts < 1)
        return rows;
    std::mt19937 rng(seed);
    for (int s = 0; s < count; ++s) {
        std::vector<std::string> cuts;
        const int n = 1 + static_cast<int>(rng() % static_cast<unsigned>(maxCuts));
        for (int k = 0; k < n; ++k)
            cuts.push_back(points[rng() % points.size()]);
        Row row = run(cuts, true);
        if (stopped())
            return rows;
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace dlrun
