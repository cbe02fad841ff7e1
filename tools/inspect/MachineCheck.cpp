#include "tools/inspect/MachineCheck.h"

#include "host/BoundMachine.h"
#include "host/machine/FlashRom.h"
#include "host/machine/MachineFolder.h"
#include "host/machine/MachineState.h"
#include "tools/common/ExitStatus.h"
#include "tools/common/JsonFormat.h"
#include "tools/inspect/ModuleReader.h"
#include "update/session/dlFirmUpMain.h"
#include "update/staging/dlFirmUpSubFunction.h"
#include "update/version/dlFirmVersion.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

namespace inspect {

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

// A machine with only the media (or nothing), to run the module's readers
// on in a task of its own.
host::MachineConfig readerConfig(const fs::path &media = {}) { return {media, {}}; }

// Runs the module's reader in a task; false when the task ended by exit()
// or never ended.
bool runReader(host::BoundMachine &m, const std::function<void()> &body)
{
    return m.runInTask(body, {.name = "tVerify", .forwardErrors = true}).returned();
}

std::string field(const std::array<char, vx::DL_VERSION_TABLE_SIZE> &table, int at)
{
    return std::string(table.data() + at, ::strnlen(table.data() + at, vx::DL_VERSION_FIELD));
}

// The system version and FRW target the module reads from a version text
// or from a flash image's head.
struct Version {
    std::string version, target;
};
Version readVersion(host::BoundMachine &m, Bytes text, int mode)
{
    std::array<char, vx::DL_VERSION_TABLE_SIZE> table{};
    int n = static_cast<int>(text.size());
    text.push_back('\0'); // the readers stop at a NUL
    runReader(m, [&] { vx::dlFirmUsbVersionGet(table.data(), n, nullptr, text.data(), mode); });
    return {field(table, vx::DL_VT_SYS), field(table, vx::DL_VT_FRW)};
}

} // namespace

int stageAsSession(bool modelFolder)
{
    // Where the session driver looks for the images.
    vx::dlupdateFolderCheckFlag = modelFolder ? 1 : 0;
    std::string prefix = modelFolder ? "/usbstor/0/fwstore/" : "/usbstor/0/";
    std::strcpy(vx::firmImageFile0, (prefix + "firmImage0.bin").c_str());
    std::strcpy(vx::firmImageFile1, (prefix + "firmImage1.bin").c_str());
    std::strcpy(vx::firmImageFile2, (prefix + "firmImage2.bin").c_str());
    std::array<char, vx::DL_VERSION_TABLE_SIZE> table{};
    return vx::dlFirmUsbStrageTenkai(table.data());
}

int runMachineShowJson(const std::string &dirText, std::ostream &out, const dltool::Voice &err)
{
    const fs::path dir = dirText;
    try {
        host::MachineFolder::validate(dir);
    } catch (const host::MachineFolderError &e) {
        err.say() << e.what() << "\n";
        return dltool::kUnusable;
    }
    const auto m = host::MachineState::read(dir, host::MachineState::Scope::summary);
    if (!m.hasNvram || !m.hasFlash) {
        err.say() << "the machine in " << dirText << " cannot be read\n";
        return dltool::kUnusable;
    }
    host::BoundMachine reader(readerConfig());
    json j = dltool::envelope(dltool::kMachineFormat);
    j["machine"] = dirText;

    const std::uint32_t flags = m.rewriteFlags();
    json names = json::array();
    for (const host::RewriteFlag &f : host::kRewriteFlags)
        if (flags & f.mask)
            names.push_back(f.name);
    j["nvram"] = {{"rewriteFlags", flags},
                  {"rewriteFlagNames", names},
                  {"updateMode", m.updateMode()},
                  {"serviceAreaClear", m.serviceAreaClear()},
                  {"f200", {{"wordA", m.f200A()}, {"wordB", m.f200B()}, {"set", m.f200Set()}}}};

    const auto extent = m.flashExtent();
    json f = {{"bytes", m.flash.size()}, {"base", host::FlashRom::kBoardBase}, {"erased", !extent}};
    if (!extent) {
        f["extent"] = nullptr;
        f["sha256ToExtentEnd"] = nullptr;
        f["versionHead"] = nullptr;
    } else {
        f["extent"] = {{"first", extent->first}, {"last", extent->last}};
        f["sha256ToExtentEnd"] = m.flashSha256ToExtentEnd();
        Version head = readVersion(reader, m.flash.substr(0, vx::DL_VER_HEAD_SIZE), vx::DL_VER_HEAD);
        f["versionHead"] = {{"version", head.version}, {"target", head.target}};
    }
    f["sha256"] = m.flashSha256();
    j["flash"] = f;

    j["bootVersion"] = m.bootVersion.text;
    j["bootVersionFile"] = m.bootVersion.file;

    json units = json::object();
    for (const auto &u : m.unitFirmware)
        units[std::string(u.name)] =
            u.firmware ? json{{"bytes", u.firmware->size()}, {"sha256", u.sha256()}} : json(nullptr);
    j["units"] = units;

    json disk = json::object();
    for (const auto &p : m.partitions)
        disk["/" + std::string(p.name)] =
            p.present ? json{{"files", p.files}, {"bytes", p.bytes}} : json(nullptr);
    j["disk"] = disk;

    if (m.versionText) {
        Version v = readVersion(reader, *m.versionText, vx::DL_VER_TEXT);
        j["systemVersion"] = {{"version", v.version},
                              {"target", v.target},
                              {"file", std::string(host::MachineState::kVersionTextPath)}};
    } else {
        j["systemVersion"] = nullptr;
    }
    if (m.progressLogLastLine)
        j["progressLog"] = {{"file", std::string(host::MachineState::kProgressLogPath)},
                            {"lastLine", *m.progressLogLastLine}};
    else
        j["progressLog"] = nullptr;
    // Text from the folder need not be UTF-8: shown with U+FFFD, never a crash.
    out << j.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    return 0;
}

namespace {

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

Expected expectedFrom(const fs::path &media)
{
    Expected e;
    host::BoundMachine m(readerConfig(media));
    Report report;
    bool staged = runReader(m, [&] {
        ModuleReader reader(m.captured(), media);
        reader.keepContent(true);
        report = reader.read();
        // The staging of a session: the flash image file and the unit
        // images in the RAM disk, read back as the rewrites would read them.
        if (stageAsSession(report.modelFolder) != 0)
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

} // namespace

int runVerify(const std::string &machineText, const std::string &mediaText, bool asJson, std::ostream &out,
              const dltool::Voice &err)
{
    const fs::path machine = machineText, media = mediaText;
    try {
        host::MachineFolder::validate(machine);
    } catch (const host::MachineFolderError &e) {
        err.say() << e.what() << "\n";
        return dltool::kUnusable;
    }
    std::error_code ec;
    if (!fs::is_directory(media, ec)) {
        err.say() << "media folder " << mediaText << " is not a folder\n";
        return dltool::kUnusable;
    }
    Expected e;
    try {
        e = expectedFrom(media);
    } catch (const std::exception &x) {
        err.say() << mediaText << " cannot be read: " << x.what() << "\n";
        return dltool::kUnusable;
    }
    if (!e.why.empty()) {
        err.say() << e.why << "\n";
        return dltool::kUnusable;
    }

    const auto m = host::MachineState::read(machine, host::MachineState::Scope::everyByte);
    std::vector<Target> targets;
    if (e.flash) {
        Target t = compare("flash", m.hasFlash ? std::optional(m.flash) : std::nullopt, *e.flash, true);
        t.bytes = e.flash->size(); // over the image's extent only
        targets.push_back(t);
    } else {
        targets.push_back({"flash", "not on these media", std::nullopt, 0, 0, ""});
    }
    for (const auto &u : m.unitFirmware) {
        std::string name = "unit " + std::string(u.name);
        if (const auto &want = e.units[std::string(u.name)])
            targets.push_back(compare(name, u.firmware, *want));
        else
            targets.push_back({name, "not on these media", std::nullopt, 0, 0, ""});
    }
    if (e.disk.empty())
        targets.push_back({"disk", "not on these media", std::nullopt, 0, 0, ""});
    for (const auto &[name, content] : e.disk) {
        if (!diskPath(name)) {
            targets.push_back(
                {"disk " + name, "not on these media", std::nullopt, 0, 0, "no path on the disk"});
            continue;
        }
        targets.push_back(compare("disk " + name, diskFile(m, name), content));
    }
    const std::uint32_t flags = m.hasNvram ? m.rewriteFlags() : 0;
    {
        Target t{"nvram flags", flags ? "differs" : "matches", std::nullopt, 4, 4, ""};
        for (const host::RewriteFlag &f : host::kRewriteFlags)
            if (flags & f.mask)
                t.note += std::string(" ") + f.name;
        if (flags & ~host::Nvram::kAllRewriteFlags)
            t.note += " other";
        if (!t.note.empty())
            t.note = hex(flags, 8) + " set:" + t.note;
        targets.push_back(t);
    }

    bool all = true;
    for (const auto &t : targets)
        all = all && (t.state == "matches" || t.state == "not on these media");
    if (asJson) {
        json list = json::array();
        for (const auto &t : targets) {
            json x = {{"target", t.name}, {"state", t.state}};
            if (t.offset)
                x["offset"] = *t.offset;
            if (t.state != "not on these media" && t.name != "nvram flags") {
                x["bytes"] = t.bytes;
                x["expectedBytes"] = t.expected;
            }
            if (!t.note.empty())
                x["note"] = t.note;
            list.push_back(x);
        }
        json doc = dltool::envelope(dltool::kVerifyFormat);
        doc.update({{"machine", machineText}, {"media", mediaText}, {"matches", all}, {"targets", list}});
        out << doc.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    } else {
        for (const auto &t : targets) {
            out << t.name << ": " << t.state;
            if (t.offset)
                out << " at offset " << hex(*t.offset, 6);
            if (t.state == "differs" && t.name != "nvram flags" && t.name != "flash")
                out << " (" << t.bytes << " bytes, expected " << t.expected << ")";
            if (t.state == "matches" && t.name == "flash")
                out << " (" << t.expected << " bytes of the flash image)";
            if (!t.note.empty())
                out << " (" << t.note << ")";
            out << "\n";
        }
    }
    return all ? dltool::kOk : dltool::kFailed;
}

} // namespace inspect
