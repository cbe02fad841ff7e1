// dlupdate machine verify --machine DIR --media DIR [--json]: does the
// machine hold exactly what the media carry? The expected content is what
// the module's own readers and staging make of the media.
#include "host/BoundMachine.h"
#include "host/machine/MachineFolder.h"
#include "host/machine/MachineLayout.h"
#include "host/machine/MachineState.h"
#include "host/machine/Nvram.h"
#include "tools/common/ExitStatus.h"
#include "tools/common/JsonFormat.h"
#include "tools/dlupdate/Command.h"
#include "tools/inspect/Inspect.h"
#include "tools/inspect/ModuleReader.h"
#include "update/session/dlFirmUpMain.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
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

// What the media put where, as the module stages and loads them.
struct Expected {
    std::optional<Bytes> flash;                        // "/TMP/from.bin"
    std::map<std::string, std::optional<Bytes>> units; // by unit name
    std::map<std::string, Bytes> disk;                 // by device path
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

Expected expectedFrom(const fs::path &media, inspect::ReadProgress &progress)
{
    Expected e;
    host::BoundMachine m(inspect::readerConfig(media));
    inspect::Report report;
    bool staged = inspect::runReader(m, [&] {
        inspect::ModuleReader reader(m.captured(), media);
        reader.keepContent(true);
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
    // Every HDD package at its destination, a later one over an earlier;
    // the HDD update ends by copying "/PRF" over "/ROM/PRF".
    for (const auto &file : report.hddFiles)
        for (const auto &p : file.packages)
            e.disk[p.dbName] = p.content;
    std::erase_if(e.disk, [](const auto &f) { return f.first.rfind("/ROM/PRF/", 0) == 0; });
    for (const auto &[name, content] : std::map(e.disk))
        if (name.rfind("/PRF/", 0) == 0)
            e.disk["/ROM" + name] = content;
    return e;
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

// The machine's file at a disk path; nullopt when it is missing or no file.
std::optional<Bytes> diskFile(const host::MachineState &m, const std::string &name)
{
    auto it = m.disk.find(fs::path(name.substr(1)).lexically_normal().string());
    if (it == m.disk.end() || it->second == host::MachineState::kNotAFile)
        return std::nullopt;
    return it->second;
}

struct Target {
    std::string name;
    std::string state; // "matches", "differs", "missing", "not on these media"
    std::optional<std::size_t> offset;
    std::size_t bytes = 0, expected = 0;
    std::string note;
};

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

constexpr const char *kNotOnMedia = "not on these media";

// The flash over the image's extent, each unit, each HDD package's file.
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
    for (const auto &[name, content] : e.disk) {
        if (!diskPath(name)) {
            targets.push_back({"disk " + name, kNotOnMedia, std::nullopt, 0, 0, "no path on the disk"});
            continue;
        }
        targets.push_back(compare("disk " + name, diskFile(m, name), content));
    }
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

void printJson(const std::vector<Target> &targets, bool all, const std::string &machine,
               const std::string &media)
{
    json list = json::array();
    for (const auto &t : targets) {
        json x = {{"target", t.name}, {"state", t.state}};
        if (t.offset)
            x["offset"] = *t.offset;
        if (t.state != kNotOnMedia && t.name != "nvram flags") {
            x["bytes"] = t.bytes;
            x["expectedBytes"] = t.expected;
        }
        if (!t.note.empty())
            x["note"] = t.note;
        list.push_back(x);
    }
    json doc = dltool::envelope(dltool::kVerifyFormat);
    doc.update({{"machine", machine}, {"media", media}, {"matches", all}, {"targets", list}});
    std::cout << doc.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

void printText(const std::vector<Target> &targets)
{
    for (const auto &t : targets) {
        std::cout << t.name << ": " << t.state;
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
        e = expectedFrom(mediaText, progress);
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

int verify(const std::string &machineText, const std::string &mediaText, bool asJson,
           const dltool::Voice &voice, bool quiet)
{
    std::optional<Expected> e = expectedOrWhy(machineText, mediaText, voice, quiet);
    if (!e)
        return dltool::kUnusable;
    const auto m = host::MachineState::read(machineText, host::MachineState::Scope::everyByte);
    std::vector<Target> targets;
    addContentTargets(targets, m, *e);
    targets.push_back(flagsTarget(m));
    bool all = true;
    for (const auto &t : targets)
        all = all && (t.state == "matches" || t.state == kNotOnMedia);
    if (asJson)
        printJson(targets, all, machineText, mediaText);
    else
        printText(targets);
    return all ? dltool::kOk : dltool::kFailed;
}

} // namespace

Action defineMachineVerify(CLI::App &cmd)
{
    struct Args {
        std::string machine, media;
        bool json = false;
        bool quiet = false;
    };
    auto a = std::make_shared<Args>();
    cmd.add_option("--machine", a->machine, "machine folder")->required();
    cmd.add_option("--media", a->media, "media folder")->required();
    cmd.add_flag("--json", a->json, "the comparison as one JSON object");
    cmd.add_flag("--quiet", a->quiet, "no progress on standard error");
    return [a](const dltool::Voice &voice) { return verify(a->machine, a->media, a->json, voice, a->quiet); };
}

} // namespace dlcli
