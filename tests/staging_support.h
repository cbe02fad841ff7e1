// Shared helpers of the media-staging tests: media files stored as the
// storage holds them, the RAM disk read back, hand-made package buffers.
#pragma once

#include "tests/support/Harness.h"
#include "tools/media/Package.h"
#include "tools/media/PairSwap.h"

#include <algorithm>
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

} // namespace staging_test
