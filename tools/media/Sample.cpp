#include "tools/media/Sample.h"

#include "tools/media/Media.h"
#include "tools/media/SampleManifest.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>

namespace media {

namespace fs = std::filesystem;

namespace {

void writeFile(const fs::path &file, const std::string &bytes)
{
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (ec || !out.flush())
        throw MediaIoError("cannot write " + file.string());
}

// Park-Miller (multiplier 48271), one byte from bits 8 to 15 of each step:
// small and the same on every machine.
std::string randomBytes(std::size_t n, std::uint64_t seed)
{
    std::string out(n, '\0');
    std::uint64_t x = seed;
    for (char &c : out) {
        x = x * 48271 % 2147483647;
        c = static_cast<char>((x >> 8) & 255);
    }
    return out;
}

// Numbered lines of text, well compressible.
std::string textLines(int lines, const std::string &words)
{
    std::string out;
    char number[16];
    for (int i = 1; i <= lines; ++i) {
        std::snprintf(number, sizeof number, "%04d ", i);
        out += number + words + "\n";
    }
    return out;
}

} // namespace

std::string_view sampleManifest() { return kSampleManifestJson; }

void writeSample(const fs::path &dir)
{
    std::error_code ec;
    if (fs::exists(dir, ec) && !(fs::is_directory(dir, ec) && fs::is_empty(dir, ec)))
        throw MediaIoError(dir.string() + " is not a missing or empty folder");
    fs::create_directories(dir, ec);
    if (ec)
        throw MediaIoError("cannot make the folder " + dir.string() + ": " + ec.message());
    writeFile(dir / "manifest.json", std::string(sampleManifest()));
    const fs::path in = dir / "inputs";
    // The UI packages of the flash ROM image: resources and tables.
    const struct {
        const char *name;
        int seed;
    } ui[] = {{"ui1", 11}, {"ui0", 12}, {"uif", 13}};
    for (const auto &u : ui)
        writeFile(in / (std::string(u.name) + ".bin"),
                  textLines(300, std::string(u.name) + " resource string") + randomBytes(6000, u.seed));
    // Sub-unit firmware; the PFC image has an odd length.
    writeFile(in / "lsr.bin", randomBytes(6000, 21));
    writeFile(in / "pfc.bin", randomBytes(4001, 22));
    writeFile(in / "engine.bin", randomBytes(16384, 23));
    writeFile(in / "scanner.bin", randomBytes(8192, 24));
    // The HDD system tree: top-level folders are the partitions.
    const fs::path tree = in / "hddtree";
    writeFile(tree / "SYS/bin/app", randomBytes(20000, 31));
    writeFile(tree / "SYS/lib/libui.so", randomBytes(12000, 32));
    writeFile(tree / "SYS/etc/system.conf", textLines(40, "key = value"));
    writeFile(tree / "ROM/PRF/default.prf", textLines(25, "panel.default = 1"));
    writeFile(tree / "PRF/panel.cfg", textLines(30, "brightness 5"));
    writeFile(tree / "UND/readme.txt", textLines(5, "service area"));
}

} // namespace media
