#include "host/machine/HardDisk.h"

#include "host/Console.h"
#include "host/Faults.h"
#include "host/io/IoSystem.h"

#include <optional>
#include <system_error>

namespace host {

namespace fs = std::filesystem;

namespace {

// Device names may end in '/' ("/dlfromALL/"), so a separator is added
// only where none stands.
std::string join(const std::string &base, std::string_view name)
{
    std::string out = base;
    if (out.empty() || out.back() != '/')
        out += '/';
    out += name;
    return out;
}

std::vector<std::string> components(std::string_view rest)
{
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= rest.size()) {
        std::size_t slash = rest.find('/', at);
        if (slash == std::string_view::npos)
            slash = rest.size();
        if (slash > at)
            parts.emplace_back(rest.substr(at, slash - at));
        at = slash + 1;
    }
    return parts;
}

bool hasDotComponent(const std::vector<std::string> &parts)
{
    for (const auto &p : parts)
        if (p == "." || p == "..")
            return true;
    return false;
}

// A path taken apart into its device and the names within it.
struct Place {
    Device *device = nullptr;
    std::vector<std::string> parts;

    std::string path() const
    {
        std::string out = device->name();
        for (const auto &p : parts)
            out = join(out, p);
        return out;
    }
    // True when `other` is this place or lies inside it.
    bool contains(const Place &other) const
    {
        if (device != other.device || parts.size() > other.parts.size())
            return false;
        for (std::size_t i = 0; i < parts.size(); ++i)
            if (parts[i] != other.parts[i])
                return false;
        return true;
    }
};

std::optional<Place> placeOf(const IoSystem &io, std::string_view path)
{
    std::string rest;
    Place place;
    place.device = io.resolve(path, &rest);
    if (!place.device)
        return std::nullopt;
    place.parts = components(rest);
    return place;
}

// The host path of a place on one of the disk's partitions; nullopt when
// the place lies elsewhere or any of its names within the partition is a
// link.
std::optional<fs::path> hostPathOf(const fs::path &diskDir, const Place &place)
{
    for (auto part : HardDisk::kPartitions) {
        if (diskDir.empty() || place.device->name() != "/" + std::string(part))
            continue;
        fs::path p = diskDir / part;
        std::error_code ec;
        for (const std::string &name : place.parts) {
            p /= name;
            if (fs::is_symlink(fs::symlink_status(p, ec)))
                return std::nullopt;
        }
        return p;
    }
    return std::nullopt;
}

} // namespace

HardDisk::HardDisk(fs::path diskDir, IoSystem &io, Faults &faults, Console &console)
    : dir_(std::move(diskDir)), io_(io), faults_(faults), console_(console), discarded_(dir_)
{}

int HardDisk::loaderInit(int /*arg*/)
{
    if (faults_.fires(Fault::hdInit, console_, [] { return "bootHdLoaderInit fails"; }))
        return -1;
    std::error_code ec;
    if (dir_.empty() || !fs::is_directory(dir_, ec)) {
        console_.report("bootHdLoaderInit: no hard disk at '" + dir_.string() + "'");
        return -1;
    }
    for (auto part : kPartitions) {
        const fs::path folder = dir_ / part;
        fs::create_directory(folder, ec);
        if (ec || !fs::is_directory(folder, ec)) {
            console_.report("bootHdLoaderInit: cannot make partition " + folder.string());
            return -1;
        }
    }
    return 0;
}

int HardDisk::formatOSPartition()
{
    const fs::path sys = dir_ / "SYS";
    std::error_code ec;
    if (dir_.empty() || !fs::is_directory(sys, ec)) {
        console_.report("bootHdFormatOSPartition: no partition " + sys.string());
        return -1;
    }
    bool ok = discarded_.empty(sys);
    if (!ok)
        console_.report("bootHdFormatOSPartition: cannot empty " + sys.string());
    return ok ? 0 : -1;
}

bool HardDisk::copyTree(const std::string &from, const std::string &to)
{
    auto entries = io_.list(from);
    if (!entries)
        return false;
    for (const DirEntry &e : *entries) {
        if (e.name == "." || e.name == "..")
            continue;
        std::string source = join(from, e.name);
        std::string target = join(to, e.name);
        if (e.isDirectory) {
            if (io_.mkdir(target) != 0 || !copyTree(source, target))
                return false;
        } else if (io_.copy(source, target) != 0) {
            return false;
        }
    }
    return true;
}

int HardDisk::backupPartAll(std::string_view from, std::string_view to)
{
    const std::string what = "bootHdLoaderBackupPartAll " + std::string(from) + " -> " + std::string(to);
    auto source = placeOf(io_, from);
    auto target = placeOf(io_, to);
    if (!source || !target || hasDotComponent(source->parts) || hasDotComponent(target->parts)) {
        console_.report(what + ": bad path");
        return -1;
    }
    const std::string sourcePath = source->path();
    const std::string targetPath = target->path();
    if (!io_.isDirectory(sourcePath)) {
        console_.report(what + ": no folder " + sourcePath);
        return -1;
    }
    // Clearing one tree inside the other would destroy the source or copy
    // without end.
    if (source->contains(*target) || target->contains(*source)) {
        console_.report(what + ": the trees overlap");
        return -1;
    }

    // The I/O system removes files only, so the old target is cleared in
    // the partition's own folder; links are never followed.
    auto hostTarget = hostPathOf(dir_, *target);
    if (!hostTarget) {
        console_.report(what + ": the target is not a folder of the hard disk");
        return -1;
    }
    if (!discarded_.empty(*hostTarget)) {
        console_.report(what + ": cannot clear " + targetPath);
        return -1;
    }
    // Make the target and its missing parents.
    Place walk{target->device, {}};
    bool ready = true;
    for (const std::string &part : target->parts) {
        walk.parts.push_back(part);
        std::string p = walk.path();
        if (!io_.isDirectory(p) && io_.mkdir(p) != 0) {
            ready = false;
            break;
        }
    }
    if (!ready || !copyTree(sourcePath, targetPath)) {
        console_.report(what + ": failed");
        return -1;
    }
    return 0;
}

int HardDisk::catMkdir(std::string_view path)
{
    if (faults_.fires(Fault::mkdir, console_, [&] { return "catMkdir " + std::string(path) + " fails"; }))
        return -1;
    auto place = placeOf(io_, path);
    // The device's root exists always; "." and ".." name folders that exist
    // or lie outside.
    if (!place || place->parts.empty() || place->parts.back() == "." || place->parts.back() == "..")
        return -1;
    const std::string name = place->parts.back();
    Place parent{place->device, {place->parts.begin(), place->parts.end() - 1}};
    auto entries = io_.list(parent.path());
    if (!entries)
        return -1;
    for (const DirEntry &e : *entries)
        if (e.name == name)
            return -1;
    return io_.mkdir(place->path()) == 0 ? 0 : -1;
}

void HardDisk::settle() { discarded_.finish(); }

std::vector<HardDisk::PartitionSummary> HardDisk::summary() const
{
    std::vector<PartitionSummary> out;
    for (auto part : kPartitions) {
        PartitionSummary s;
        s.name = std::string(part);
        const fs::path folder = dir_ / part;
        std::error_code ec;
        s.present = !dir_.empty() && fs::is_directory(folder, ec);
        if (s.present) {
            const auto options = fs::directory_options::skip_permission_denied;
            for (fs::recursive_directory_iterator it(folder, options, ec), end; !ec && it != end;
                 it.increment(ec)) {
                std::error_code sizeError;
                if (!it->is_regular_file(sizeError) || it->is_symlink(sizeError))
                    continue;
                auto size = it->file_size(sizeError);
                if (!sizeError) {
                    ++s.files;
                    s.bytes += size;
                }
            }
        }
        out.push_back(std::move(s));
    }
    return out;
}

} // namespace host
