#include "tools/inspect/Inspect.h"

#include "tools/common/Colour.h"
#include "tools/common/ExitStatus.h"

#include "bootenv/vxWorks.h"
#include "host/BoundMachine.h"
#include "host/machine/Digest.h"
#include "tools/inspect/Checksums.h"
#include "tools/inspect/ModuleReader.h"
#include "update/session/dlFirmUpMain.h"
#include "update/staging/dlFirmUpSubFunction.h"
#include "tools/inspect/Report.h"
#include "tools/media/Media.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <exception>
#include <fstream>
#include <map>
#include <sstream>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <system_error>
#include <optional>
#include <string_view>

namespace inspect {

namespace {

namespace fs = std::filesystem;

// The RAM disk's file system keeps 64 KiB for its own tables.
constexpr std::int64_t kRamDiskTables = 65536;

bool readableFolder(const fs::path &dir)
{
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return false;
    fs::directory_iterator it(dir, ec);
    return !ec;
}

// The module's last console line, as the reason a task ended.
std::string lastWords(std::string_view console)
{
    while (!console.empty() && console.back() == '\n')
        console.remove_suffix(1);
    if (console.empty())
        return {};
    auto nl = console.rfind('\n');
    return "; the module said: " +
           std::string(nl == std::string_view::npos ? console : console.substr(nl + 1));
}

// A machine with the media and nothing else, its console captured and
// bound for as long as it lives.
class InspectionMachine {
public:
    explicit InspectionMachine(const fs::path &media) : machine_(host::MachineConfig{media, {}}) {}

    // Reads in a task, as the module's readers may end their task with
    // exit(); nullopt then, with the module's last words in `why`.
    std::optional<Report> inspect(const fs::path &dir, std::string &why, bool withMenu,
                                  ReadProgress &progress)
    {
        std::optional<Report> report;
        ModuleReader reader(machine_.captured(), dir);
        reader.onFileRead([&progress](const std::string &name) { progress.fileRead(name); });
        const host::TaskOutcome run = machine_.runInTask(
            [&] {
                report = reader.read();
                if (withMenu)
                    report->menu = menuOf(*report);
            },
            {.name = "tInspect", .forwardErrors = true});
        if (!report) {
            why = run.end ? "the reading task ended with exit(" + std::to_string(run.end->status) + ")"
                          : "the reading task never ended";
            why += lastWords(machine_.captured().output());
        }
        return report;
    }

private:
    // What the operator will be offered: staging as a session does it, then
    // the module's availability check with no service flag set. A session
    // that ends before the menu offers nothing.
    MenuReport menuOf(const Report &r)
    {
        MenuReport m;
        std::size_t mark = machine_.captured().output().size();
        if (stageAsSession(r.modelFolder) != 0) {
            std::string said = machine_.captured().output().substr(mark);
            while (!said.empty() && said.back() == '\n')
                said.pop_back();
            m.why = "staging fails (the module says \"" + said.substr(said.rfind('\n') + 1) + "\")";
            return m;
        }
        if (r.romdataOk && !*r.romdataOk) {
            m.why = "ROMDATA mismatch: the session ends on the warning screen";
            return m;
        }
        vx::bootUpdateUSBMediaModeuleCheck(0);
        m.reached = true;
        m.offered = vx::dlFirmUpdateModuleEnableFlag;
        return m;
    }

    host::BoundMachine machine_;
};

// Each media file's SHA-256 as stored (taken from the checksum check when
// it hashed the file), and a warning for an HDD file the RAM disk cannot
// hold: the module then reads it from the stick.
void addDigestsAndWarnings(Report &r, const std::map<std::string, std::string> &hashed)
{
    std::vector<std::string> names = {"firmImage0.bin", "firmImage1.bin", "firmImage2.bin"};
    for (int n : r.hddPresent)
        names.push_back(std::to_string(n));
    const std::int64_t ramDisk = std::int64_t{vx::DL_RAMDISK_BYTES} - kRamDiskTables;
    for (const auto &name : names) {
        fs::path file = fs::path(r.folder) / name;
        std::error_code ec;
        if (!fs::is_regular_file(file, ec))
            continue;
        std::int64_t size = 0;
        auto known =
            hashed.find((r.modelFolder ? std::string(media::layout::kModelFolder) + "/" : "") + name);
        if (known != hashed.end()) {
            size = static_cast<std::int64_t>(fs::file_size(file, ec));
            r.sha256.emplace_back(name, known->second);
        } else {
            std::ifstream in(file, std::ios::binary);
            std::ostringstream read;
            read << in.rdbuf();
            const std::string bytes = std::move(read).str();
            size = static_cast<std::int64_t>(bytes.size());
            r.sha256.emplace_back(name, host::sha256(bytes));
        }
        bool hdd = name.find('.') == std::string::npos;
        if (hdd && size > ramDisk)
            r.warnings.push_back({"hdd-file-larger-than-ramdisk",
                                  "HDD file " + name + ": " + std::to_string(size) +
                                      " bytes, more than the RAM disk can stage (" + std::to_string(ramDisk) +
                                      "): the module reads it from the stick",
                                  name, 0});
    }
}

// The checksum list is hashed on a thread of its own while the machine
// reads the media (or, when no thread can be had, at get()).
std::future<std::optional<ChecksumCheck>> startChecksums(const fs::path &dir)
{
    try {
        return std::async(std::launch::async, checkChecksums, dir);
    } catch (const std::system_error &) {
        return std::async(std::launch::deferred, checkChecksums, dir);
    }
}

} // namespace

ReadProgress::ReadProgress(const fs::path &media, const dltool::Voice &voice, bool quiet)
    : voice_(voice), line_(2, progress::Line::Plain{quiet, progress::Line::Clock::now, progress::kLargeWork})
{
    // The folder the module reads, as it chooses it.
    std::error_code ec;
    folder_ = fs::is_directory(media / media::layout::kModelFolder, ec) ? media / media::layout::kModelFolder
                                                                        : media;
    for (const auto &e : fs::directory_iterator(folder_, ec)) {
        const std::string name = e.path().filename().string();
        const bool hdd = !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
        if ((hdd || std::find(std::begin(media::layout::kImageNames), std::end(media::layout::kImageNames),
                              name) != std::end(media::layout::kImageNames)) &&
            e.is_regular_file(ec))
            total_ += e.file_size(ec);
    }
}

void ReadProgress::fileRead(const std::string &name)
{
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(folder_ / name, ec);
    std::lock_guard lock(mutex_);
    done_ += ec ? 0 : size;
    const double total = static_cast<double>(std::max(total_, done_));
    line_.step(voice_.path() + ": read " + progress::Line::bytes(done_) + " of " +
                   progress::Line::bytes(static_cast<std::uint64_t>(total)) + " " +
                   progress::Line::bar(static_cast<double>(done_), total, 10),
               static_cast<double>(done_), total);
}

void ReadProgress::clear()
{
    std::lock_guard lock(mutex_);
    line_.clear();
}

int runInspect(const std::string &dir, bool json, std::ostream &out, const dltool::Voice &err, bool quiet)
{
    return json ? runInspect(dir, out, &out, err, quiet) : runInspect(dir, out, nullptr, err, quiet);
}

int runInspect(const std::string &dir, std::ostream &out, std::ostream *json, const dltool::Voice &err,
               bool quiet)
{
    if (!readableFolder(dir)) {
        err.say() << dir << " is not a readable folder\n";
        return dltool::kUnusable;
    }
    auto checksums = startChecksums(dir);
    std::optional<Report> report;
    std::string why;
    ReadProgress progress(dir, err, quiet);
    try {
        InspectionMachine machine(dir);
        report = machine.inspect(dir, why, json != nullptr, progress);
    } catch (const std::exception &e) {
        progress.clear();
        err.say() << dir << " cannot be read: " << e.what() << "\n";
        return dltool::kUnusable;
    }
    progress.clear();
    if (!report) {
        err.say() << why << "\n";
        return dltool::kFailed;
    }
    std::optional<ChecksumCheck> check = checksums.get();
    if (check) {
        report->checksums = check->summary;
        for (const Problem &p : check->problems)
            report->problems.push_back(p);
    }
    if (json != &out && &out == &std::cout && dltool::colourOn(STDOUT_FILENO))
        out << dltool::redWords(toText(*report), "problem", "\n");
    else if (json != &out)
        out << toText(*report);
    if (json) {
        addDigestsAndWarnings(*report, check ? check->digests : std::map<std::string, std::string>{});
        // Names and versions from the media need not be UTF-8: shown with
        // U+FFFD, never an abort.
        *json << toJson(*report).dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << "\n";
    }
    return report->ok() ? dltool::kOk : dltool::kFailed;
}

} // namespace inspect
