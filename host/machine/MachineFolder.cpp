#include "host/machine/MachineFolder.h"

#include "host/machine/Digest.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <vector>

namespace host {

namespace fs = std::filesystem;
using namespace machine_layout;

namespace {

std::vector<unsigned char> readAll(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw MachineFolderError("cannot read " + file.string());
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
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
    return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 |
           std::uint32_t(b[at + 2]) << 8 | b[at + 3];
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
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        throw MachineFolderError(file.string() + " is missing: not a machine folder");
    auto size = fs::file_size(file, ec);
    if (ec || size != want)
        throw MachineFolderError(file.string() + " holds " + std::to_string(size) +
                                 " bytes; a machine's holds " + std::to_string(want));
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
        out << kDefaultBootVersion << '\n';
    }
    fs::create_directories(dir / "units", ec);
    for (const char *p : kPartitions)
        fs::create_directories(dir / "disk" / p, ec);
    if (ec)
        throw MachineFolderError("cannot create the folders of " + dir.string() + ": " +
                                 ec.message());
}

void MachineFolder::validate(const fs::path &dir)
{
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        throw MachineFolderError(dir.string() + " is not a folder");
    checkSize(dir / "nvram.bin", kNvramBytes);
    checkSize(dir / "flashrom.bin", kFlashBytes);
    for (const char *p : kPartitions)
        if (fs::exists(dir / "disk" / p, ec) && !fs::is_directory(dir / "disk" / p, ec))
            throw MachineFolderError((dir / "disk" / p).string() + " is not a folder");
}

std::string MachineFolder::show(const fs::path &dir)
{
    validate(dir);
    std::ostringstream out;
    out << "machine " << dir.string() << "\n";

    auto nv = readAll(dir / "nvram.bin");
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

    auto flash = readAll(dir / "flashrom.bin");
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
            << " bytes)\n  sha256 of 0x000000-" << hex(static_cast<std::uint32_t>(last - 1), 6)
            << " " << sha256(flash.data(), last) << "\n";
    out << "  sha256 of all " << sha256(flash.data(), flash.size()) << "\n";

    out << "boot version: ";
    {
        std::ifstream in(dir / "bootversion.txt");
        std::string line;
        if (in && std::getline(in, line))
            out << line.substr(0, 23) << "\n";
        else
            out << "(missing; " << kDefaultBootVersion << " is used)\n";
    }

    out << "units:\n";
    for (const char *u : kUnits) {
        std::error_code ec;
        fs::path f = dir / "units" / (std::string(u) + ".bin");
        out << "  " << u << ": ";
        if (fs::is_regular_file(f, ec))
            out << fs::file_size(f, ec) << " bytes\n";
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
        std::uintmax_t files = 0, bytes = 0;
        for (auto it = fs::recursive_directory_iterator(part, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            if (it->is_regular_file(ec)) {
                ++files;
                bytes += it->file_size(ec);
            }
        out << files << (files == 1 ? " file, " : " files, ") << bytes << " bytes\n";
    }
    return out.str();
}

} // namespace host
