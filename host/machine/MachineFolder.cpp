#include "host/machine/MachineFolder.h"

#include "host/machine/BootVersion.h"
#include "host/machine/FlashRom.h"
#include "host/machine/MachineState.h"
#include "host/machine/Nvram.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {

namespace fs = std::filesystem;
using namespace machine_layout;

namespace {

// A unit's firmware comes from the RAM disk; nothing larger can be one.
constexpr std::uintmax_t kUnitLimit = 48u << 20;
// A boot version is one short line; a longer file is no boot version.
constexpr std::uintmax_t kBootVersionLimit = 64u << 10;

const char *kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

// A file of the machine folder, opened without blocking (a FIFO or a device
// planted there must not hang the program) and checked to be a regular
// file of at most `limit` bytes, or of exactly `exact` bytes. Closed with
// the object.
class FolderFile {
public:
    enum Need { kOptional, kRequired };

    FolderFile(const fs::path &path, Need need) : path_(path)
    {
        fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            if (errno == ENOENT && need == kOptional)
                return;
            if (errno == ENOENT)
                throw MachineFolderError(path.string() + " is missing: not a machine folder");
            throw MachineFolderError("cannot read " + path.string() + ": " + std::strerror(errno));
        }
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            const char *kind = kindOf(st.st_mode);
            ::close(fd_);
            throw MachineFolderError(path.string() + " is " + kind +
                                     "; a machine folder holds a regular file there");
        }
        size_ = static_cast<std::uintmax_t>(st.st_size);
    }
    ~FolderFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FolderFile(const FolderFile &) = delete;
    FolderFile &operator=(const FolderFile &) = delete;

    bool present() const { return fd_ >= 0; }
    std::uintmax_t size() const { return size_; }

    void atMost(std::uintmax_t limit) const
    {
        if (present() && size_ > limit)
            throw MachineFolderError(path_.string() + " holds " + std::to_string(size_) +
                                     " bytes, more than the " + std::to_string(limit) +
                                     " such a file may hold");
    }
    void exactly(std::uintmax_t want) const
    {
        if (size_ != want)
            throw MachineFolderError(path_.string() + " holds " + std::to_string(size_) +
                                     " bytes; a machine's holds " + std::to_string(want));
    }

private:
    fs::path path_;
    int fd_ = -1;
    std::uintmax_t size_ = 0;
};

// " (a link to TARGET)" for a folder or file of the machine reached
// through a symbolic link, which is followed by design (a big disk kept
// elsewhere).
std::string linkNote(const MachineState::Link &link) { return link ? " (a link to " + *link + ")" : ""; }

void writeFile(const fs::path &file, std::size_t bytes, char fill)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::vector<char> block(65536, fill);
    for (std::size_t left = bytes; left > 0;) {
        std::size_t n = std::min(left, block.size());
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    if (!out.flush())
        throw MachineFolderError("cannot write " + file.string());
}

std::string hex(std::uint32_t v, int width)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", width, v);
    return buf;
}

void checkSize(const fs::path &file, std::uintmax_t want)
{
    FolderFile(file, FolderFile::kRequired).exactly(want);
}

} // namespace

bool MachineFolder::missingOrEmpty(const fs::path &dir)
{
    std::error_code ec;
    if (!fs::exists(dir, ec))
        return true;
    return fs::is_directory(dir, ec) && fs::is_empty(dir, ec);
}

void MachineFolder::init(const fs::path &dir)
{
    if (!missingOrEmpty(dir))
        throw MachineFolderError(dir.string() + " exists and is not empty; a new machine needs an "
                                                "empty or missing folder");
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        throw MachineFolderError("cannot create " + dir.string() + ": " + ec.message());
    writeFile(dir / kNvramFile, Nvram::kSize, '\0');
    writeFile(dir / kFlashFile, FlashRom::kSize, static_cast<char>(FlashRom::kErasedByte));
    {
        std::ofstream out(dir / kBootVersionFile);
        out << kDefaultBootVersion << '\n';
    }
    fs::create_directories(dir / kUnitsFolder, ec);
    for (std::string_view p : kPartitions)
        fs::create_directories(dir / kDiskFolder / p, ec);
    if (ec)
        throw MachineFolderError("cannot create the folders of " + dir.string() + ": " + ec.message());
}

void MachineFolder::validate(const fs::path &dir)
{
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        throw MachineFolderError(dir.string() + " is not a folder");
    checkSize(dir / kNvramFile, Nvram::kSize);
    checkSize(dir / kFlashFile, FlashRom::kSize);
    FolderFile(dir / kBootVersionFile, FolderFile::kOptional).atMost(kBootVersionLimit);
    const fs::path units = dir / kUnitsFolder;
    if (fs::exists(units, ec)) {
        if (!fs::is_directory(units, ec))
            throw MachineFolderError(units.string() + " is not a folder");
        for (std::string_view u : kUnits)
            FolderFile(units / unitFile(u), FolderFile::kOptional).atMost(kUnitLimit);
    }
    for (std::string_view p : kPartitions) {
        const fs::path part = dir / kDiskFolder / p;
        if (fs::exists(part, ec) && !fs::is_directory(part, ec))
            throw MachineFolderError(part.string() + " is not a folder");
    }
}

std::string MachineFolder::show(const fs::path &dir)
{
    validate(dir);
    const MachineState m = MachineState::read(dir, MachineState::Scope::summary);
    if (!m.hasNvram || m.nvram.size() != Nvram::kSize)
        throw MachineFolderError("cannot read " + (dir / kNvramFile).string());
    if (!m.hasFlash || m.flash.size() != FlashRom::kSize)
        throw MachineFolderError("cannot read " + (dir / kFlashFile).string());
    std::ostringstream out;
    out << "machine " << dir.string() << linkNote(m.link) << "\n";

    const std::uint32_t flags = m.rewriteFlags();
    out << "nvram:\n  rewrite flags " << hex(flags, 8) << ":";
    if (!flags)
        out << " none";
    for (const RewriteFlag &f : kRewriteFlags)
        if (flags & f.mask)
            out << " " << f.name << " (" << hex(f.mask, 2) << ")";
    if (std::uint32_t other = flags & ~Nvram::kAllRewriteFlags)
        out << " other " << hex(other, 8);
    out << "\n  update mode " << m.updateMode() << (m.updateMode() == 1 ? " (on)" : "") << "\n";
    out << "  service area " << hex(Nvram::kServiceOffset, 4) << "-"
        << hex(Nvram::kServiceOffset + Nvram::kServiceSize - 1, 4) << " "
        << (m.serviceAreaClear() ? "all zero" : "not all zero") << "\n";
    out << "  F200 word A " << hex(m.f200A(), 4) << ", word B " << hex(m.f200B(), 4) << " ("
        << (m.f200Set() ? "F200 set" : "F200 clear") << ")\n";

    out << "flash ROM (" << m.flash.size() << " bytes at " << hex(FlashRom::kBoardBase, 8) << "):\n";
    if (const auto extent = m.flashExtent())
        out << "  programmed extent " << hex(static_cast<std::uint32_t>(extent->first), 6) << "-"
            << hex(static_cast<std::uint32_t>(extent->last), 6) << " (" << (extent->last + 1 - extent->first)
            << " bytes)\n  sha256 of 0x000000-" << hex(static_cast<std::uint32_t>(extent->last), 6) << " "
            << m.flashSha256ToExtentEnd() << "\n";
    else
        out << "  erased (all 0xFF)\n";
    out << "  sha256 of all " << m.flashSha256() << "\n";

    out << "boot version: ";
    if (m.bootVersion.file)
        out << m.bootVersion.text << "\n";
    else
        out << "(missing; " << kDefaultBootVersion << " is used)\n";

    out << "units:" << linkNote(m.unitsLink) << "\n";
    for (const MachineState::Unit &u : m.unitFirmware) {
        out << "  " << u.name << ": ";
        if (u.firmware)
            out << u.firmware->size() << " bytes" << linkNote(u.link) << "\n";
        else
            out << "never rewritten\n";
    }

    out << "disk:\n";
    for (const MachineState::Partition &p : m.partitions) {
        out << "  /" << p.name << ": ";
        if (!p.present) {
            out << "missing\n";
            continue;
        }
        out << p.files << (p.files == 1 ? " file, " : " files, ") << p.bytes << " bytes" << linkNote(p.link)
            << "\n";
    }
    return out.str();
}

} // namespace host
