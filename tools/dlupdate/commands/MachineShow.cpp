// dlupdate machine show [--json] DIR: the state of a machine folder, as
// text or as one JSON object with digests and the versions the module's
// own readers find.
#include "host/BoundMachine.h"
#include "host/machine/FlashRom.h"
#include "host/machine/MachineFolder.h"
#include "host/machine/MachineState.h"
#include "tools/common/ExitStatus.h"
#include "tools/common/JsonFormat.h"
#include "tools/dlupdate/Command.h"
#include "tools/dlupdate/JsonOutput.h"
#include "tools/inspect/ModuleReader.h"
#include "update/version/dlFirmVersion.h"

#include <nlohmann/json.hpp>

#include <iostream>
#include <memory>

namespace dlcli {

namespace {

using json = nlohmann::ordered_json;

json nvramJson(const host::MachineState &m)
{
    const std::uint32_t flags = m.rewriteFlags();
    json names = json::array();
    for (const host::RewriteFlag &f : host::kRewriteFlags)
        if (flags & f.mask)
            names.push_back(f.name);
    return {{"rewriteFlags", flags},
            {"rewriteFlagNames", names},
            {"updateMode", m.updateMode()},
            {"serviceAreaClear", m.serviceAreaClear()},
            {"f200", {{"wordA", m.f200A()}, {"wordB", m.f200B()}, {"set", m.f200Set()}}}};
}

json flashJson(const host::MachineState &m, host::BoundMachine &reader)
{
    const auto extent = m.flashExtent();
    json f = {{"bytes", m.flash.size()}, {"base", host::FlashRom::kBoardBase}, {"erased", !extent}};
    if (!extent) {
        f["extent"] = nullptr;
        f["sha256ToExtentEnd"] = nullptr;
        f["versionHead"] = nullptr;
    } else {
        f["extent"] = {{"first", extent->first}, {"last", extent->last}};
        f["sha256ToExtentEnd"] = m.flashSha256ToExtentEnd();
        auto head = inspect::readVersion(reader, m.flash.substr(0, vx::DL_VER_HEAD_SIZE), vx::DL_VER_HEAD);
        f["versionHead"] = {{"version", head.version}, {"target", head.target}};
    }
    f["sha256"] = m.flashSha256();
    return f;
}

json unitsJson(const host::MachineState &m)
{
    json units = json::object();
    for (const auto &u : m.unitFirmware)
        units[std::string(u.name)] =
            u.firmware ? json{{"bytes", u.firmware->size()}, {"sha256", u.sha256()}} : json(nullptr);
    return units;
}

json diskJson(const host::MachineState &m)
{
    json disk = json::object();
    for (const auto &p : m.partitions)
        disk["/" + std::string(p.name)] =
            p.present ? json{{"files", p.files}, {"bytes", p.bytes}} : json(nullptr);
    return disk;
}

json systemVersionJson(const host::MachineState &m, host::BoundMachine &reader)
{
    if (!m.versionText)
        return nullptr;
    auto v = inspect::readVersion(reader, *m.versionText, vx::DL_VER_TEXT);
    return {{"version", v.version},
            {"target", v.target},
            {"file", std::string(host::MachineState::kVersionTextPath)}};
}

json progressLogJson(const host::MachineState &m)
{
    if (!m.progressLogLastLine)
        return nullptr;
    return {{"file", std::string(host::MachineState::kProgressLogPath)},
            {"lastLine", *m.progressLogLastLine}};
}

// Everything `machine show` prints, as one JSON object.
int showJson(const std::string &dirText, std::ostream &out, const dltool::Voice &voice)
{
    const auto m = host::MachineState::read(dirText, host::MachineState::Scope::summary);
    if (!m.hasNvram || !m.hasFlash) {
        voice.say() << "the machine in " << dirText << " cannot be read\n";
        return dltool::kUnusable;
    }
    host::BoundMachine reader(inspect::readerConfig());
    json j = dltool::envelope(dltool::kMachineFormat);
    j["machine"] = dirText;
    j["nvram"] = nvramJson(m);
    j["flash"] = flashJson(m, reader);
    j["bootVersion"] = m.bootVersion.text;
    j["bootVersionFile"] = m.bootVersion.file;
    j["units"] = unitsJson(m);
    j["disk"] = diskJson(m);
    j["systemVersion"] = systemVersionJson(m, reader);
    j["progressLog"] = progressLogJson(m);
    // Text from the folder need not be UTF-8: shown with U+FFFD, never a crash.
    out << j.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    return dltool::kOk;
}

} // namespace

Action defineMachineShow(CLI::App &cmd)
{
    auto dir = std::make_shared<std::string>();
    cmd.add_option("DIR", *dir, "machine folder")->required();
    auto json = JsonOutput::define(cmd, "the state as one JSON object, with digests and versions");
    return [dir, json](const dltool::Voice &voice) {
        return json->run(voice, dltool::kMachineFormat,
                         [dir, json](const dltool::Voice &v, std::ostream *doc) {
                             try {
                                 host::MachineFolder::validate(*dir);
                                 if (json->text())
                                     std::cout << host::MachineFolder::show(*dir);
                                 return doc ? showJson(*dir, *doc, v) : int(dltool::kOk);
                             } catch (const host::MachineFolderError &e) {
                                 v.say() << e.what() << "\n";
                                 return int(dltool::kUnusable);
                             }
                         });
    };
}

} // namespace dlcli
