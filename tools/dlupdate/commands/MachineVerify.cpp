// dlupdate machine verify --machine DIR --media DIR [--json] [--quiet]:
// does the machine hold exactly what the media carry? The expected content
// is what the module's own readers and staging make of the media, each HDD
// package compared as it is read, so memory does not grow with the media.
#include "host/BoundMachine.h"
#include "host/machine/MachineFolder.h"
#include "host/machine/MachineLayout.h"
#include "host/machine/MachineState.h"
#include "host/machine/Nvram.h"
#include "tools/common/Colour.h"
#include "tools/common/ExitStatus.h"
#include "tools/common/JsonFormat.h"
#include "tools/dlupdate/Command.h"
#include "tools/dlupdate/JsonOutput.h"
#include "tools/inspect/Inspect.h"
#include "tools/inspect/ModuleReader.h"
#include "tools/run/MediaSurvey.h"
#include "update/session/dlFirmUpMain.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

namespace dlcli {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using Bytes = std::string;

std::string hex(std::uint64_t v, int digits)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(v));
    return text;
}

struct Target {
    std::string name;
    std::string state; // "matches", "differs", "missing", "damaged", "not on these media"
    std::optional<std::size_t> offset;
    std::size_t bytes = 0, expected = 0;
    std::string note;
};

constexpr const char *kNotOnMedia = "not on these media";
// The media hold the target but can never deliver it.
constexpr const char *kDamaged = "damaged";

// What the media put where, as the module stages and loads them; the disk
// already compared with the machine, package by package.
struct Expected {
    std::optional<Bytes> flash;                        // "/TMP/from.bin"
    std::map<std::string, std::optional<Bytes>> units; // by unit name
    std::map<std::string, Target> disk;                // by device path
    std::vector<Target> damage;                        // damage of the media naming no disk file
    std::string why;                                   // when the media cannot be staged
};

// The staged images of the units, as the rewrite tasks hand them over.
constexpr std::pair<const char *, const char *> kUnitImages[] = {
    {"lsr", "/TMP/lsrfirm.tz"},
    {"pfc", "/TMP/pfcfirm.tz"},
    {"engine", "/TMP/mfirm.tz"},
    {"scanner", "/TMP/scmfirm.tz"},
};

std::optional<Bytes> readDevice(const char *path)
{
    int fd = vx::open(path, vx::O_RDONLY, 0);
    if (fd <= 0)
        return std::nullopt;
    Bytes b;
    char chunk[65536];
    for (int n; (n = vx::read(fd, chunk, sizeof chunk)) > 0;)
        b.append(chunk, static_cast<std::size_t>(n));
    vx::close(fd);
    return b;
}

// A path on one of the disk's partitions, with nothing that climbs out.
bool diskPath(const std::string &name)
{
    bool partition = false;
    for (std::string_view p : host::machine_layout::kPartitions)
        partition = partition || name.rfind("/" + std::string(p) + "/", 0) == 0;
    return partition && name.find("/../") == std::string::npos && !name.ends_with("/..") &&
           name.find('\0') == std::string::npos;
}

Target compare(std::string name, const std::optional<Bytes> &actual, const Bytes &want,
               bool prefixOnly = false)
{
    Target t{std::move(name), "matches", std::nullopt, 0, want.size(), ""};
    if (!actual) {
        t.state = "missing";
        return t;
    }
    t.bytes = actual->size();
    std::size_t n = std::min(actual->size(), want.size());
    auto diff =
        std::mismatch(actual->begin(), actual->begin() + static_cast<std::ptrdiff_t>(n), want.begin());
    std::size_t at = static_cast<std::size_t>(diff.first - actual->begin());
    if (at < n || (!prefixOnly && actual->size() != want.size())) {
        t.state = "differs";
        t.offset = at;
    }
    return t;
}

// The machine's file at a disk path against `want`, a block at a time:
// missing when it is no regular file (a FIFO is never opened).
Target compareDiskFile(const fs::path &machine, const std::string &name, const Bytes &want)
{
    Target t{"disk " + name, "matches", std::nullopt, 0, want.size(), ""};
    const fs::path file =
        machine / host::machine_layout::kDiskFolder / fs::path(name.substr(1)).lexically_normal();
    std::error_code ec;
    std::ifstream in;
    if (fs::is_regular_file(file, ec))
        in.open(file, std::ios::binary);
    if (!in.is_open()) {
        t.state = "missing";
        return t;
    }
    std::vector<char> block(1 << 16);
    std::size_t at = 0;
    for (std::size_t n; (n = static_cast<std::size_t>(in.read(block.data(), 1 << 16).gcount())) > 0;
         at += n) {
        if (t.offset || at >= want.size())
            continue;
        const std::size_t common = std::min(n, want.size() - at);
        const auto diff = std::mismatch(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(common),
                                        want.begin() + static_cast<std::ptrdiff_t>(at));
        if (diff.first != block.begin() + static_cast<std::ptrdiff_t>(common))
            t.offset = at + static_cast<std::size_t>(diff.first - block.begin());
    }
    t.bytes = at;
    if (!t.offset && at != want.size())
        t.offset = std::min(at, want.size());
    if (t.offset)
        t.state = "differs";
    return t;
}

// One HDD package as the media are read, at its destination and, for
// "/PRF", under "/ROM" too, as the HDD update ends by copying "/PRF" over
// "/ROM/PRF"; a later package of a name stands over an earlier.
void takePackage(Expected &e, const fs::path &machine, const inspect::PackageReport &p)
{
    const std::string &name = p.dbName;
    if (name.rfind("/ROM/PRF/", 0) == 0)
        return; // the copy of "/PRF" replaces it
    std::vector<std::string> places{name};
    if (name.rfind("/PRF/", 0) == 0)
        places.push_back("/ROM" + name);
    for (const std::string &at : places) {
        if (!diskPath(name))
            e.disk.insert_or_assign(
                at, Target{"disk " + at, kDamaged, std::nullopt, 0, 0, "no path on the disk"});
        else if (!p.inflates)
            e.disk.insert_or_assign(at, Target{"disk " + at, kDamaged, std::nullopt, 0, 0,
                                               "its package does not inflate to its size: " + p.inflateNote});
        else
            e.disk.insert_or_assign(at, compareDiskFile(machine, at, p.content));
    }
}

// "3" for a problem of HDD file 3, "" for one of an image or the whole media.
std::string hddFileOf(const inspect::Problem &p)
{
    const bool hdd = !p.file.empty() && p.file.find_first_not_of("0123456789") == std::string::npos;
    return hdd ? p.file : "";
}

// The problems of the media that lose a package no disk file stands for:
// the image 0 and image 2 chains, the HDD series and chain.
bool losesPackages(const inspect::Problem &p)
{
    static const std::set<std::string> codes = {"image0-damaged",           "image0-cut",
                                                "image0-packages-missing",  "image2-chain-broken",
                                                "image2-too-many-packages", "image2-dbname-not-unit",
                                                "hdd-series-broken",        "hdd-odd-length",
                                                "hdd-last-file-cut",        "hdd-package-damaged",
                                                "hdd-file-unreadable",      "hdd-file-no-package-end",
                                                "hdd-too-many-files"};
    // An HDD package's own damage stands on its disk file's line.
    if ((p.code == "package-inflate" || p.code == "package-bad-dbname") && hddFileOf(p).empty())
        return true;
    return codes.count(p.code) > 0;
}

std::vector<Target> mediaDamage(const inspect::Report &report)
{
    std::vector<Target> damage;
    for (const inspect::Problem &p : report.problems) {
        if (!losesPackages(p))
            continue;
        const std::string where = hddFileOf(p).empty() ? p.file : "HDD file " + p.file;
        std::string text = p.text;
        if (!where.empty() && text.rfind(where + ": ", 0) == 0)
            text.erase(0, where.size() + 2);
        damage.push_back({where.empty() ? "media" : "media " + where, kDamaged, std::nullopt, 0, 0, text});
    }
    return damage;
}

Expected expectedFrom(const fs::path &media, const fs::path &machine, inspect::ReadProgress &progress)
{
    Expected e;
    host::BoundMachine m(inspect::readerConfig(media));
    inspect::Report report;
    bool staged = inspect::runReader(m, [&] {
        inspect::ModuleReader reader(m.captured(), media);
        reader.onHddPackage([&e, &machine](const inspect::PackageReport &p) { takePackage(e, machine, p); });
        reader.onFileRead([&progress](const std::string &name) { progress.fileRead(name); });
        report = reader.read();
        // The staging of a session: the flash image file and the unit
        // images in the RAM disk, read back as the rewrites would read them.
        if (inspect::stageAsSession(report.modelFolder) != 0)
            e.why = "the module cannot stage these media";
        e.flash = readDevice("/TMP/from.bin");
        for (const auto &[unit, image] : kUnitImages)
            e.units[unit] = readDevice(image);
    });
    if (!staged)
        e.why = "the module ended its task while staging these media";
    if (!e.why.empty()) {
        std::string console = m.captured().output();
        while (!console.empty() && console.back() == '\n')
            console.pop_back();
        e.why += " (it says \"" + console.substr(console.rfind('\n') + 1) + "\")";
        return e;
    }
    e.damage = mediaDamage(report);
    return e;
}

// The flash over the image's extent, each unit, each HDD package's file,
// then the damage of the media.
void addContentTargets(std::vector<Target> &targets, const host::MachineState &m, Expected &e)
{
    if (e.flash) {
        Target t = compare("flash", m.hasFlash ? std::optional(m.flash) : std::nullopt, *e.flash, true);
        t.bytes = e.flash->size(); // over the image's extent only
        targets.push_back(t);
    } else {
        targets.push_back({"flash", kNotOnMedia, std::nullopt, 0, 0, ""});
    }
    for (const auto &u : m.unitFirmware) {
        std::string name = "unit " + std::string(u.name);
        if (const auto &want = e.units[std::string(u.name)])
            targets.push_back(compare(name, u.firmware, *want));
        else
            targets.push_back({name, kNotOnMedia, std::nullopt, 0, 0, ""});
    }
    if (e.disk.empty())
        targets.push_back({"disk", kNotOnMedia, std::nullopt, 0, 0, ""});
    for (const auto &entry : e.disk)
        targets.push_back(entry.second);
    targets.insert(targets.end(), e.damage.begin(), e.damage.end());
}

// A rewrite flag still set is work left undone, whatever the content.
Target flagsTarget(const host::MachineState &m)
{
    const std::uint32_t flags = m.hasNvram ? m.rewriteFlags() : 0;
    Target t{"nvram flags", flags ? "differs" : "matches", std::nullopt, 4, 4, ""};
    for (const host::RewriteFlag &f : host::kRewriteFlags)
        if (flags & f.mask)
            t.note += std::string(" ") + f.name;
    if (flags & ~host::Nvram::kAllRewriteFlags)
        t.note += " other";
    if (!t.note.empty())
        t.note = hex(flags, 8) + " set:" + t.note;
    return t;
}

// The targets judged, counted, and why nothing could be verified, if so.
struct Verdict {
    std::vector<Target> targets;
    std::size_t checked = 0, matching = 0, differing = 0, damaged = 0;
    std::string nothing; // the media carry nothing to compare
    bool matches() const { return nothing.empty() && differing == 0 && damaged == 0; }
};

Verdict judge(std::vector<Target> targets, const std::string &media)
{
    Verdict v;
    bool content = false;
    for (const auto &t : targets) {
        if (t.state == kNotOnMedia)
            continue;
        content = content || t.name != "nvram flags";
        ++v.checked;
        (t.state == "matches" ? v.matching : t.state == kDamaged ? v.damaged : v.differing) += 1;
    }
    if (!content) {
        const dlrun::MediaSurvey survey = dlrun::surveyMedia(media);
        v.nothing = survey.offersNothing() ? dlrun::nothingOffered(survey)
                                           : "the media carry no flash image, unit firmware or HDD package";
    }
    v.targets = std::move(targets);
    return v;
}

// "13 targets checked, 11 matching, 2 differing"
std::string summaryLine(const Verdict &v)
{
    std::string line = std::to_string(v.checked) + (v.checked == 1 ? " target" : " targets") + " checked, " +
                       std::to_string(v.matching) + " matching, " + std::to_string(v.differing) +
                       " differing";
    if (v.damaged)
        line += ", " + std::to_string(v.damaged) + " damaged on the media";
    return line;
}

void printJson(std::ostream &out, const Verdict &v, const std::string &machine, const std::string &media)
{
    json list = json::array();
    for (const auto &t : v.targets) {
        json x = {{"target", t.name}, {"state", t.state}};
        if (t.offset)
            x["offset"] = *t.offset;
        if (t.state != kNotOnMedia && t.state != kDamaged && t.name != "nvram flags") {
            x["bytes"] = t.bytes;
            x["expectedBytes"] = t.expected;
        }
        if (!t.note.empty())
            x["note"] = t.note;
        list.push_back(x);
    }
    json doc = dltool::envelope(dltool::kVerifyFormat);
    doc.update({{"machine", machine},
                {"media", media},
                {"matches", v.matches()},
                {"targets", list},
                {"summary",
                 {{"checked", v.checked},
                  {"matching", v.matching},
                  {"differing", v.differing},
                  {"damaged", v.damaged}}},
                {"nothingToVerify", v.nothing.empty() ? json(nullptr) : json(v.nothing)}});
    out << doc.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

// Every target, or with `quiet` those that do not match; the summary last.
void printText(const Verdict &v, bool quiet)
{
    const bool colour = dltool::colourOn(STDOUT_FILENO);
    for (const auto &t : v.targets) {
        if (quiet && (t.state == "matches" || t.state == kNotOnMedia))
            continue;
        std::cout << t.name << ": " << (colour && t.state == "differs" ? dltool::red(t.state) : t.state);
        if (t.offset)
            std::cout << " at offset " << hex(*t.offset, 6);
        if (t.state == "differs" && t.name != "nvram flags" && t.name != "flash")
            std::cout << " (" << t.bytes << " bytes, expected " << t.expected << ")";
        if (t.state == "matches" && t.name == "flash")
            std::cout << " (" << t.expected << " bytes of the flash image)";
        if (!t.note.empty())
            std::cout << " (" << t.note << ")";
        std::cout << "\n";
    }
    std::cout << summaryLine(v) << "\n";
}

// What the media carry, or why they cannot be used (with the voice told).
std::optional<Expected> expectedOrWhy(const std::string &machineText, const std::string &mediaText,
                                      const dltool::Voice &voice, bool quiet)
{
    try {
        host::MachineFolder::validate(machineText);
    } catch (const host::MachineFolderError &e) {
        voice.say() << e.what() << "\n";
        return std::nullopt;
    }
    std::error_code ec;
    if (!fs::is_directory(mediaText, ec)) {
        voice.say() << "media folder " << mediaText << " is not a folder\n";
        return std::nullopt;
    }
    Expected e;
    inspect::ReadProgress progress(mediaText, voice, quiet);
    try {
        e = expectedFrom(mediaText, machineText, progress);
        progress.clear();
    } catch (const std::exception &x) {
        progress.clear();
        voice.say() << mediaText << " cannot be read: " << x.what() << "\n";
        return std::nullopt;
    }
    if (!e.why.empty()) {
        voice.say() << e.why << "\n";
        return std::nullopt;
    }
    return e;
}

int verify(const std::string &machineText, const std::string &mediaText, const JsonOutput &json,
           std::ostream *doc, bool quiet, const dltool::Voice &voice)
{
    std::optional<Expected> e = expectedOrWhy(machineText, mediaText, voice, quiet);
    if (!e)
        return dltool::kUnusable;
    // The disk was compared as the media were read; the rest is small.
    const auto m = host::MachineState::read(machineText, host::MachineState::Scope::summary);
    std::vector<Target> targets;
    addContentTargets(targets, m, *e);
    targets.push_back(flagsTarget(m));
    const Verdict v = judge(std::move(targets), mediaText);
    if (doc)
        printJson(*doc, v, machineText, mediaText);
    if (json.text())
        printText(v, quiet);
    if (!v.nothing.empty())
        voice.say() << "nothing to verify: " << v.nothing << "\n";
    return v.matches() ? dltool::kOk : dltool::kFailed;
}

} // namespace

Action defineMachineVerify(CLI::App &cmd)
{
    struct Args {
        std::string machine, media;
        bool quiet = false;
    };
    auto a = std::make_shared<Args>();
    cmd.add_option("--machine", a->machine, "machine folder")->required();
    cmd.add_option("--media", a->media, "media folder")->required();
    cmd.add_flag("--quiet", a->quiet,
                 "print only the targets that do not match, and the summary; no progress");
    auto json = JsonOutput::define(cmd, "the comparison as one JSON object");
    return [a, json](const dltool::Voice &voice) {
        return json->run(voice, dltool::kVerifyFormat, [a, json](const dltool::Voice &v, std::ostream *doc) {
            return verify(a->machine, a->media, *json, doc, a->quiet, v);
        });
    };
}

} // namespace dlcli
