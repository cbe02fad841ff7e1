#include "host/machine/MachineFolder.h"

#include "host/machine/BootVersion.h"
#include "host/machine/Digest.h"

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

    // The whole file, which was measured when opened.
    std::vector<unsigned char> read() const
    {
        std::vector<unsigned char> bytes(static_cast<std::size_t>(size_));
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::pread(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw MachineFolderError("cannot read " + path_.string());
            done += static_cast<std::size_t>(n);
        }
        return bytes;
    }

private:
    fs::path path_;
    int fd_ = -1;
    std::uintmax_t size_ = 0;
};

std::vector<unsigned char> readAll(const fs::path &file, std::uintmax_t size)
{
    FolderFile f(file, FolderFile::kRequired);
    f.exactly(size);
    return f.read();
}

// " (a link to TARGET)" for a folder of the machine reached through a
// symbolic link, which is followed by design (a big disk kept elsewhere).
std::string linkNote(const fs::path &p)
{
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(p, ec)))
        return "";
    fs::path target = fs::read_symlink(p, ec);
    return " (a link to " + target.string() + ")";
}

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

std::uint32_t be32(const std::vector<unsigned char> &b, std::size_t at)
{
    return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 | std::uint32_t(b[at + 2]) << 8 |
           b[at + 3];
}

std::uint16_t be16(const std::vector<unsigned char> &b, std::size_t at)
{
    return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
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
    writeFile(dir / "nvram.bin", kNvramBytes, '\0');
    writeFile(dir / "flashrom.bin", kFlashBytes, '\xFF');
    {
        std::ofstream out(dir / "bootversion.txt");
        out << machine_layout::kDefaultBootVersion << '\n';
    }
    fs::create_directories(dir / "units", ec);
    for (const char *p : kPartitions)
        fs::create_directories(dir / "disk" / p, ec);
    if (ec)
        throw MachineFolderError("cannot create the folders of " + dir.string() + ": " + ec.message());
}

void MachineFolder::validate(const fs::path &dir)
{
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        throw MachineFolderError(dir.string() + " is not a folder");
    checkSize(dir / "nvram.bin", kNvramBytes);
    checkSize(dir / "flashrom.bin", kFlashBytes);
    FolderFile(dir / "bootversion.txt", FolderFile::kOptional).atMost(kBootVersionLimit);
    const fs::path units = dir / "units";
    if (fs::exists(units, ec)) {
        if (!fs::is_directory(units, ec))
            throw MachineFolderError(units.string() + " is not a folder");
        for (const char *u : kUnits)
            FolderFile(units / (std::string(u) + ".bin"), FolderFile::kOptional).atMost(kUnitLimit);
    }
    for (const char *p : kPartitions)
        if (fs::exists(dir / "disk" / p, ec) && !fs::is_directory(dir / "disk" / p, ec))
            throw MachineFolderError((dir / "disk" / p).string() + " is not a folder");
}

std::string MachineFolder::show(const fs::path &dir)
{
    validate(dir);
    std::ostringstream out;
    out << "machine " << dir.string() << linkNote(dir) << "\n";

    auto nv = readAll(dir / "nvram.bin", kNvramBytes);
    std::uint32_t flags = be32(nv, 0);
    out << "nvram:\n  rewrite flags " << hex(flags, 8) << ":";
    if (!flags)
        out << " none";
    if (flags & 0x01)
        out << " FLASH_REWRITE (0x01)";
    if (flags & 0x10)
        out << " HDD_UPDATE (0x10)";
    if (std::uint32_t other = flags & ~0x11u)
        out << " other " << hex(other, 8);
    out << "\n  update mode " << be32(nv, 4) << (be32(nv, 4) == 1 ? " (on)" : "") << "\n";
    bool serviceZero = true;
    for (std::size_t i = 0x100; i < 0x200; ++i)
        serviceZero = serviceZero && nv[i] == 0;
    out << "  service area 0x0100-0x01FF " << (serviceZero ? "all zero" : "not all zero") << "\n";
    std::uint16_t a = be16(nv, 0x7808), b = be16(nv, 0x780A);
    out << "  F200 word A " << hex(a, 4) << ", word B " << hex(b, 4) << " ("
        << ((b >> 8) == 2 ? "F200 set" : "F200 clear") << ")\n";

    auto flash = readAll(dir / "flashrom.bin", kFlashBytes);
    std::size_t first = 0, last = flash.size();
    while (first < flash.size() && flash[first] == 0xFF)
        ++first;
    while (last > first && flash[last - 1] == 0xFF)
        --last;
    out << "flash ROM (" << flash.size() << " bytes at " << hex(kFlashBase, 8) << "):\n";
    if (first == flash.size())
        out << "  erased (all 0xFF)\n";
    else
        out << "  programmed extent " << hex(static_cast<std::uint32_t>(first), 6) << "-"
            << hex(static_cast<std::uint32_t>(last - 1), 6) << " (" << (last - first)
            << " bytes)\n  sha256 of 0x000000-" << hex(static_cast<std::uint32_t>(last - 1), 6) << " "
            << sha256(flash.data(), last) << "\n";
    out << "  sha256 of all " << sha256(flash.data(), flash.size()) << "\n";

    out << "boot version: ";
    if (FolderFile(dir / "bootversion.txt", FolderFile::kOptional).present())
        out << readBootVersion(dir) << "\n";
    else
        out << "(missing; " << machine_layout::kDefaultBootVersion << " is used)\n";

    out << "units:" << linkNote(dir / "units") << "\n";
    for (const char *u : kUnits) {
        fs::path f = dir / "units" / (std::string(u) + ".bin");
        FolderFile unit(f, FolderFile::kOptional);
        unit.atMost(kUnitLimit);
        out << "  " << u << ": ";
        if (unit.present())
            out << unit.size() << " bytes" << linkNote(f) << "\n";
        else
            out << "never rewritten\n";
    }

    out << "disk:\n";
    for (const char *p : kPartitions) {
        fs::path part = dir / "disk" / p;
        std::error_code ec;
        out << "  /" << p << ": ";
        if (!fs::is_directory(part, ec)) {
            out << "missing\n";
            continue;
        }
        auto [files, bytes] = tally(part);
        out << files << (files == 1 ? " file, " : " files, ") << bytes << " bytes" << linkNote(part) << "\n";
    }
    return out.str();
}

MachineFolder::Tally MachineFolder::tally(const fs::path &folder)
{
    Tally t;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec)) {
            ++t.files;
            t.bytes += it->file_size(ec);
        }
    return t;
}

} // namespace host
