// Helpers of the media-staging tests: media stored as the storage holds
// them, the RAM disk read back, hand-made packages and tool-made images.
#pragma once

#include "support/Compare.h"
#include "support/Harness.h"
#include "support/PairSwap.h"
#include "tools/media/Hdd.h"
#include "tools/media/Images.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

using testing_support::MachineHarness;
using testing_support::randomBytes;
using testing_support::sameBytes;
using testing_support::swapPairs;

inline std::string str(const media::Bytes &b) { return std::string(b.begin(), b.end()); }
inline media::Bytes bytes(const std::string &s) { return media::Bytes(s.begin(), s.end()); }
inline std::string stored(const std::string &content) { return swapPairs(content); }

inline void putMedia(MachineHarness &h, const std::string &name, const std::string &content,
                     bool modelFolder = true)
{
    testing_support::writeFile((modelFolder ? h.media() / "fwstore" : h.media()) / name, content);
}

inline std::optional<std::string> deviceFile(MachineHarness &h, const std::string &path)
{
    host::IoSystem &io = h.machine().io();
    int fd = io.open(path, host::iof::kRdOnly, 0);
    if (fd < 0)
        return std::nullopt;
    std::string out(static_cast<std::size_t>(io.lseek(fd, 0, host::iof::kSeekEnd)), '\0');
    io.lseek(fd, 0, host::iof::kSeekSet);
    out.resize(static_cast<std::size_t>(std::max(0, io.read(fd, out.data(), out.size()))));
    io.close(fd);
    return out;
}

inline void putDeviceFile(MachineHarness &h, const std::string &path, const std::string &content)
{
    host::IoSystem &io = h.machine().io();
    int fd = io.open(path, host::iof::kRdWr | host::iof::kCreat | host::iof::kTrunc, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(io.write(fd, content.data(), content.size()), static_cast<int>(content.size()));
    io.close(fd);
}

inline std::set<std::string> tmpFiles(MachineHarness &h)
{
    std::set<std::string> names;
    if (auto list = h.machine().io().list("/TMP"))
        for (const auto &e : *list)
            names.insert(e.name);
    return names;
}

inline std::size_t countOf(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A package as the lookup reads it: key and value lines in the given
// order, DATASTART, the data, CR LF.
using Pairs = std::vector<std::pair<std::string, std::string>>;
inline std::string package(const Pairs &pairs, const std::string &data)
{
    std::string out;
    for (const auto &[key, value] : pairs)
        out += key + "\n" + value + '\0';
    return out + "DATASTART\n" + data + "\r\n";
}

// A package of content compressed by zlib itself at its best level, so that
// the lengths the tests cut at stay whatever the media tool's compressor,
// and without the media tool's checks.
inline std::string zlibPackage(const std::string &dbName, const std::string &content)
{
    uLongf size = compressBound(static_cast<uLong>(content.size()));
    std::string data(size, '\0');
    if (compress2(reinterpret_cast<Bytef *>(data.data()), &size,
                  reinterpret_cast<const Bytef *>(content.data()), static_cast<uLong>(content.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        throw std::runtime_error("compress2 failed");
    data.resize(size);
    return package({{"EXPANDEDSIZE", std::to_string(content.size())},
                    {"COMPRESSEDSIZE", std::to_string(data.size())},
                    {"DBNAME", dbName},
                    {"VERSION", "1.00"},
                    {"COMMENT", "LASER_FIRM"}},
                   data);
}

// Image 0 with UI packages 1.20 JA, 1.21 EN, 1.22 DE (the third one's
// header blanked when `third` is false), random bytes after them up to
// `size`.
inline std::string image0(std::size_t size = 0, bool third = true)
{
    auto ui = [](const char *version, const char *lang, unsigned seed) {
        return media::PackageInput{
            {"/TMP/ui.tz", version, "UI_DATA", std::string(lang)}, bytes(randomBytes(3000, seed)), "ui"};
    };
    std::string out = str(media::buildImage0(
        bytes(randomBytes(0x1000, 70)), {ui("1.20", "JA", 71), ui("1.21", "EN", 72), ui("1.22", "DE", 73)}));
    if (!third)
        out.replace(0x380000, 64, std::string(64, '\0'));
    return size > out.size() ? out + randomBytes(size - out.size(), 74) : out;
}

// Image 1 whose version head gives the system version "V2R3.20 B".
inline std::string image1(std::size_t size = 4096)
{
    return str(
        media::buildImage1(bytes(randomBytes(size, 80)), media::VersionHead{"DL02", "R3.20.00", '2', 'B'}));
}

inline std::string unitContent(const media::UnitTraits &u)
{
    return std::string(u.name) + randomBytes(5000, static_cast<unsigned>(u.unit));
}

// Image 2 with the first `units` of laser, PFC, engine, scanner; versions
// "l1.03", "p1.03", "e1.03", "s1.03".
inline std::string image2(std::size_t units = 4)
{
    std::vector<media::PackageInput> packages;
    for (std::size_t i = 0; i < units; ++i) {
        const auto &u = media::kUnits[i];
        packages.push_back({{u.dbName, u.name[0] + std::string("1.03"), u.comment, std::nullopt},
                            bytes(unitContent(u)),
                            u.name});
    }
    return str(media::buildImage2(packages));
}

inline const media::VersionText kVersionText{"DL01", "1", "R2", "10", "A"}; // "V1R2.10 A"

// HDD package file 1: the version text under `firstName`, then a package
// for the hard disk.
inline std::string hddFile1(const std::string &firstName = "/ROM/sysDummy.txt")
{
    auto text = media::makePackage({firstName, "V1R2.10 A", "SYS", std::nullopt},
                                   media::versionTextContent(kVersionText), "text");
    auto app = media::makePackage({"/SYS/app", "V1R2.10 A", "HDD", std::nullopt},
                                  bytes(randomBytes(20000, 90)), "app");
    return str(text.bytes) + str(app.bytes);
}

// Field i of the version table: 0 SYS, 1 UIF, 2 UI0, 3 UI1, 4 LSR, 5 ENG,
// 6 PFC, 7 SCN, 9 FRW target.
inline std::string field(const char *table, int i)
{
    return std::string(table + 16 * i, strnlen(table + 16 * i, 16));
}

} // namespace testing_support
