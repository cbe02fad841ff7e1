#include "host/machine/MachineState.h"

#include "host/machine/BootVersion.h"
#include "host/machine/Digest.h"
#include "host/machine/FlashRom.h"
#include "host/machine/MachineLayout.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {

namespace fs = std::filesystem;
using namespace machine_layout;

namespace {

// A regular file whole; nullopt when it is missing or anything else. Opened
// without blocking, so that a FIFO planted in the folder cannot hang us.
std::optional<std::string> readRegular(const fs::path &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    std::optional<std::string> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        std::string b(static_cast<std::size_t>(st.st_size), '\0');
        std::size_t done = 0;
        for (;;) {
            if (done == b.size())
                b.resize(b.size() + 65536); // grown since it was measured
            const ssize_t n = ::read(fd, b.data() + done, b.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    bytes = std::move(b);
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        if (bytes)
            bytes->resize(done);
    }
    ::close(fd);
    return bytes;
}

MachineState::Link linkOf(const fs::path &p)
{
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(p, ec)))
        return std::nullopt;
    return fs::read_symlink(p, ec).string();
}

// The entries below `dir` into `out`, by their path from `root`. A folder
// reached through a link is entered only at the top and only where
// `followLinks` says.
void walk(const fs::path &root, const fs::path &dir, std::map<std::string, std::string> &out,
          bool followLinks)
{
    for (const fs::directory_entry &e : fs::directory_iterator(dir)) {
        const std::string name = e.path().lexically_relative(root).string();
        out[name] =
            e.is_regular_file() ? readRegular(e.path()).value_or("") : std::string(MachineState::kNotAFile);
        if (e.is_directory() && (followLinks || !e.is_symlink()))
            walk(root, e.path(), out, false);
    }
}

std::map<std::string, std::string> tree(const fs::path &dir, bool followLinks)
{
    std::map<std::string, std::string> files;
    std::error_code ec;
    if (fs::exists(dir, ec))
        walk(dir, dir, files, followLinks);
    return files;
}

// The regular files below a partition's folder and their bytes.
void tally(const fs::path &folder, MachineState::Partition &p)
{
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec)) {
            ++p.files;
            p.bytes += it->file_size(ec);
        }
}

std::optional<std::string> lastLine(std::optional<std::string> text)
{
    if (!text)
        return std::nullopt;
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r'))
        text->pop_back();
    return text->substr(text->rfind('\n') + 1);
}

fs::path onDisk(const fs::path &dir, std::string_view devicePath)
{
    return dir / kDiskFolder / devicePath.substr(1);
}

std::uint32_t be(const std::string &b, std::size_t at, std::size_t n)
{
    if (b.size() < at + n)
        return n == 4 ? 0xFFFFFFFFu : 0xFFFFu;
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < n; ++i)
        v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}

} // namespace

std::string MachineState::Unit::sha256() const { return host::sha256(firmware.value_or("")); }

std::uint32_t MachineState::rewriteFlags() const { return be(nvram, Nvram::kFlagsOffset, 4); }

std::uint32_t MachineState::updateMode() const { return be(nvram, Nvram::kModeOffset, 4); }

bool MachineState::serviceAreaClear() const
{
    if (nvram.size() < Nvram::kServiceOffset + Nvram::kServiceSize)
        return false;
    const auto begin = nvram.begin() + static_cast<std::ptrdiff_t>(Nvram::kServiceOffset);
    return std::all_of(begin, begin + static_cast<std::ptrdiff_t>(Nvram::kServiceSize),
                       [](char b) { return b == 0; });
}

std::uint16_t MachineState::f200A() const
{
    return static_cast<std::uint16_t>(be(nvram, Nvram::kF200AOffset, 2));
}

std::uint16_t MachineState::f200B() const
{
    return static_cast<std::uint16_t>(be(nvram, Nvram::kF200BOffset, 2));
}

bool MachineState::f200Set() const { return (f200B() >> 8) == Nvram::kF200SetMark; }

std::optional<MachineState::Extent> MachineState::flashExtent() const
{
    const auto programmed = [](char b) { return static_cast<std::uint8_t>(b) != FlashRom::kErasedByte; };
    const auto first = std::find_if(flash.begin(), flash.end(), programmed);
    if (first == flash.end())
        return std::nullopt;
    const auto last = std::find_if(flash.rbegin(), flash.rend(), programmed);
    return Extent{static_cast<std::size_t>(first - flash.begin()),
                  flash.size() - 1 - static_cast<std::size_t>(last - flash.rbegin())};
}

std::string MachineState::flashSha256() const { return sha256(flash); }

std::string MachineState::flashSha256ToExtentEnd() const
{
    const auto extent = flashExtent();
    return extent ? sha256(std::string_view(flash).substr(0, extent->last + 1)) : "";
}

MachineState MachineState::read(const fs::path &dir, Scope scope)
{
    MachineState s;
    if (auto b = readRegular(dir / kNvramFile)) {
        s.nvram = std::move(*b);
        s.hasNvram = true;
    }
    if (scope == Scope::nvram)
        return s;
    if (auto b = readRegular(dir / kFlashFile)) {
        s.flash = std::move(*b);
        s.hasFlash = true;
    }

    s.link = linkOf(dir);
    std::error_code ec;
    s.bootVersion.file = fs::is_regular_file(dir / kBootVersionFile, ec);
    s.bootVersion.text = readBootVersion(dir);

    const fs::path units = dir / kUnitsFolder;
    s.unitsLink = linkOf(units);
    for (std::string_view name : kUnits) {
        const fs::path file = units / unitFile(name);
        s.unitFirmware.push_back({name, readRegular(file), linkOf(file)});
    }

    const fs::path disk = dir / kDiskFolder;
    for (std::string_view name : kPartitions) {
        const fs::path folder = disk / name;
        Partition p{name, fs::is_directory(folder, ec), 0, 0, linkOf(folder)};
        if (p.present)
            tally(folder, p);
        s.partitions.push_back(std::move(p));
    }
    s.versionText = readRegular(onDisk(dir, kVersionTextPath));
    s.progressLogLastLine = lastLine(readRegular(onDisk(dir, kProgressLogPath)));

    if (scope == Scope::everyByte) {
        s.units = tree(units, false);
        s.disk = tree(disk, true); // the partitions, wherever they are kept
    }
    return s;
}

std::string MachineState::differences(const MachineState &other) const
{
    std::string d;
    auto add = [&d](const char *what) { d += d.empty() ? what : std::string(", ") + what; };
    if (nvram != other.nvram)
        add("nvram");
    if (flash != other.flash)
        add("flash");
    if (units != other.units)
        add("units");
    if (disk != other.disk)
        add("disk");
    return d;
}

} // namespace host
