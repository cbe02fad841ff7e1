// Shared helpers of the media-staging tests: media files stored as the
// storage holds them, the RAM disk read back, hand-made package buffers.
#pragma once

#include "tests/support/Harness.h"
#include "tools/media/Hdd.h"
#include "tools/media/Images.h"
#include "tools/media/Package.h"
#include "tools/media/PairSwap.h"

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace staging_test {

namespace fs = std::filesystem;
using testing_support::MachineHarness;

// The pair swap of a whole stream, written from its definition: pairs
// exchanged, an odd last byte preceded by one 0xFF.
inline std::string swapStream(const std::string &in)
{
    std::string out(in.size() + in.size() % 2, '\0');
    for (std::size_t i = 0; i + 1 < in.size(); i += 2) {
        out[i] = in[i + 1];
        out[i + 1] = in[i];
    }
    if (in.size() % 2) {
        out[in.size() - 1] = '\xFF';
        out[in.size()] = in.back();
    }
    return out;
}

inline std::string asString(const media::Bytes &b) { return std::string(b.begin(), b.end()); }
inline media::Bytes asBytes(const std::string &s) { return media::Bytes(s.begin(), s.end()); }

// Content as the storage holds it (an even-length content reads back whole).
inline std::string stored(const std::string &content)
{
    return asString(media::pairSwap(asBytes(content)));
}

// A file in the model folder of the media, written as given.
inline void putMedia(MachineHarness &h, const std::string &name, const std::string &bytes,
                     bool modelFolder = true)
{
    testing_support::writeFile(modelFolder ? h.media() / "fwstore" / name : h.media() / name,
                               bytes);
}

// A file of the bound machine's RAM disk (or any device), read whole.
inline std::optional<std::string> deviceFile(MachineHarness &h, const std::string &path)
{
    host::IoSystem &io = h.machine().io();
    int fd = io.open(path, host::iof::kRdOnly, 0);
    if (fd < 0)
        return std::nullopt;
    std::string out;
    char buf[65536];
    for (int n; (n = io.read(fd, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    io.close(fd);
    return out;
}

inline void putDeviceFile(MachineHarness &h, const std::string &path, const std::string &bytes)
{
    host::IoSystem &io = h.machine().io();
    int fd = io.open(path, host::iof::kRdWr | host::iof::kCreat | host::iof::kTrunc, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(io.write(fd, bytes.data(), bytes.size()), static_cast<int>(bytes.size()));
    io.close(fd);
}

// The names of the files in "/TMP".
inline std::set<std::string> tmpFiles(MachineHarness &h)
{
    std::set<std::string> names;
    if (auto list = h.machine().io().list("/TMP"))
        for (const auto &e : *list)
            names.insert(e.name);
    return names;
}

// Equal byte strings; on a difference, its offset and the sizes rather than
// megabytes of dump.
inline ::testing::AssertionResult sameBytes(const std::optional<std::string> &actual,
                                            const std::string &expected)
{
    if (!actual)
        return ::testing::AssertionFailure() << "file missing";
    if (*actual == expected)
        return ::testing::AssertionSuccess();
    auto diff = std::mismatch(actual->begin(), actual->end(), expected.begin(), expected.end());
    return ::testing::AssertionFailure()
           << "sizes " << actual->size() << " and " << expected.size() << ", first difference at "
           << (diff.first - actual->begin());
}

inline std::size_t countOf(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A package as the lookup reads it: the header pairs in the given order,
// then DATASTART, the data and CR LF.
using Pairs = std::vector<std::pair<std::string, std::string>>;

inline std::string header(const Pairs &pairs)
{
    std::string out;
    for (const auto &[key, value] : pairs)
        out += key + "\n" + value + std::string(1, '\0');
    return out;
}

inline std::string package(const Pairs &pairs, const std::string &data)
{
    return header(pairs) + "DATASTART\n" + data + "\r\n";
}

// A well-formed chain package whose data is `data` (not compressed: the
// lookup does not look at the data).
inline std::string simplePackage(const std::string &dbName, const std::string &data,
                                 const std::string &version = "1.00",
                                 const std::string &comment = "LASER_FIRM")
{
    return package({{"EXPANDEDSIZE", std::to_string(data.size() * 2)},
                    {"COMPRESSEDSIZE", std::to_string(data.size())},
                    {"DBNAME", dbName},
                    {"VERSION", version},
                    {"COMMENT", comment}},
                   data);
}

// A package of real compressed content, built without the media tool's
// checks (so its DBNAME may be of any length).
inline std::string zlibPackage(const std::string &dbName, const std::string &content,
                               const std::string &version = "1.00",
                               const std::string &comment = "LASER_FIRM")
{
    std::string data = asString(media::zlibDeflate(asBytes(content)));
    return package({{"EXPANDEDSIZE", std::to_string(content.size())},
                    {"COMPRESSEDSIZE", std::to_string(data.size())},
                    {"DBNAME", dbName},
                    {"VERSION", version},
                    {"COMMENT", comment}},
                   data);
}

// ---- media images made with the media tool (content before the swap) ----

// The flash ROM image: own content, the three UI packages (UI1 1.20 JA,
// UI0 1.21 EN, UIF 1.22 DE) and, when `size` asks for more, random bytes
// after the last package up to `size`.
inline std::string image0(std::size_t size = 0, bool thirdPackage = true)
{
    auto ui = [](const char *version, const char *lang, unsigned seed) {
        return media::PackageInput{{"/TMP/ui.tz", version, "UI_DATA", std::string(lang)},
                                   asBytes(testing_support::randomBytes(3000, seed)),
                                   "ui"};
    };
    media::Bytes image = media::buildImage0(asBytes(testing_support::randomBytes(0x1000, 70)),
                                            {ui("1.20", "JA", 71), ui("1.21", "EN", 72),
                                             ui("1.22", "DE", 73)});
    std::string out = asString(image);
    if (!thirdPackage) // the header of the third package overwritten
        out.replace(0x380000, 64, std::string(64, '\0'));
    if (size > out.size())
        out += testing_support::randomBytes(size - out.size(), 74);
    return out;
}

// The part before image 0, with a version head; the default one gives the
// system version "V2R3.20 B".
inline std::string image1(std::size_t size = 4096,
                          const media::VersionHead &head = {"DL02", "R3.20.00", '2', 'B'})
{
    return asString(
        media::buildImage1(asBytes(testing_support::randomBytes(size, 80)), head));
}

// The content of a unit's firmware in image 2.
inline std::string unitContent(const media::UnitTraits &u)
{
    return std::string(u.name) + " firmware " + testing_support::randomBytes(5000, u.name[0]);
}

// Image 2 with the packages of the given units (all four by default).
inline std::string image2(std::vector<media::Unit> units = {media::Unit::Laser, media::Unit::Pfc,
                                                            media::Unit::Engine,
                                                            media::Unit::Scanner})
{
    std::vector<media::PackageInput> packages;
    for (media::Unit unit : units)
        for (const auto &u : media::kUnits)
            if (u.unit == unit)
                packages.push_back({{u.dbName, std::string(u.name).substr(0, 1) + "1.03",
                                     u.comment, std::nullopt},
                                    asBytes(unitContent(u)),
                                    u.name});
    return asString(media::buildImage2(packages));
}

inline const media::VersionText kVersionText{"DL01", "1", "R2", "10", "A"};

// HDD package file 1: the version text first (under `firstName`), then a
// package for the hard disk.
inline std::string hddFile1(const std::string &firstName = "/ROM/sysDummy.txt")
{
    media::Bytes chain;
    for (const auto &pkg :
         {media::makePackage({firstName, "V1R2.10 A", "SYS_VERSION", std::nullopt},
                             media::versionTextContent(kVersionText), "text"),
          media::makePackage({"/SYS/bin/app", "V1R2.10 A", "HDD", std::nullopt},
                             asBytes(testing_support::randomBytes(20000, 90)), "app")})
        chain.insert(chain.end(), pkg.bytes.begin(), pkg.bytes.end());
    return asString(chain);
}

// Field i of the version table (0 SYS, 1 UIF, 2 UI0, 3 UI1, 4 LSR, 5 ENG,
// 6 PFC, 7 SCN, 9 FRW target).
inline std::string versionField(const char *table, int i)
{
    const char *f = table + 16 * i;
    return std::string(f, strnlen(f, 16));
}

} // namespace staging_test
