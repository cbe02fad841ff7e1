// The module's way of reading update media, written from its documented
// rules apart from mkmedia's writer: the chunked pair-swap reader, the
// package header lookup, the decompressor, the version readers and the HDD
// loader's walk over the numbered files. Plus a scratch folder.
#pragma once

#include "support/Files.h"
#include "support/TempDir.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

using testing_support::readBytes;
using testing_support::TempDir;
using testing_support::writeFile;

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

// 64 KiB chunks, each swapped by itself, an odd one padded with 0xFF in
// front of its last byte.
inline Bytes moduleRead(const Bytes &stored)
{
    Bytes out;
    for (std::size_t at = 0; at < stored.size(); at += 65536) {
        std::size_t n = std::min<std::size_t>(65536, stored.size() - at);
        Bytes chunk(n + n % 2);
        for (std::size_t i = 0; i < n; ++i)
            chunk[i % 2 == 0 ? i + 1 : i - 1] = stored[at + i];
        if (n % 2 != 0)
            chunk[n - 1] = 0xFF;
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

// The value line after the first line from `origin` that begins with
// `key`; a line ending on or past the last byte of the range is not found.
inline std::optional<std::size_t> findPtrByKey(const Bytes &buf, std::size_t origin, std::string_view key,
                                               std::size_t length)
{
    for (std::size_t consumed = 0;;) {
        std::size_t start = origin + consumed, len = 0;
        while (consumed + len < length && buf[start + len] != 0 && buf[start + len] != '\n')
            ++len;
        consumed += len < length - consumed ? len + 1 : len;
        if (consumed >= length)
            return std::nullopt;
        if (std::string_view(reinterpret_cast<const char *>(&buf[start]), len).starts_with(key))
            return origin + consumed;
    }
}

inline std::int64_t longValue(const Bytes &buf, std::optional<std::size_t> at)
{
    if (!at || *at >= buf.size() || buf[*at] < '0' || buf[*at] > '9')
        return -1;
    std::int64_t n = 0;
    for (std::size_t i = *at; i < buf.size() && buf[i] >= '0' && buf[i] <= '9' && n <= INT32_MAX; ++i)
        n = n * 10 + (buf[i] - '0');
    return n > INT32_MAX ? -1 : n;
}

// The byte after the first "DATASTART\n" at `from` or after a NUL or LF.
inline std::optional<std::size_t> findDataStart(const Bytes &buf, std::size_t from, std::size_t end)
{
    constexpr std::string_view kLine = "DATASTART\n";
    for (std::size_t i = from; i + kLine.size() <= end; ++i)
        if ((i == from || buf[i - 1] == 0 || buf[i - 1] == '\n') &&
            std::memcmp(&buf[i], kLine.data(), kLine.size()) == 0)
            return i + kLine.size() < end ? std::optional(i + kLine.size()) : std::nullopt;
    return std::nullopt;
}

struct Record {
    std::size_t dataStart = 0;
    std::int64_t expandedSize = 0, compressedSize = 0;
    std::string dbName, version, comment, languageCode;
};

// The lookup over the first `size` bytes: mode 0 from the three fixed
// offsets, any other mode along the chain.
inline std::vector<Record> getDbInfo(const Bytes &buf, std::size_t size, int mode)
{
    constexpr std::size_t kOffsets[] = {0x280000, 0x310000, 0x380000};
    std::vector<Record> records;
    for (std::size_t origin = mode == 0 ? kOffsets[0] : 0; origin < size;) {
        Record r;
        std::size_t length = size - origin;
        auto start = findDataStart(buf, origin, size);
        if (!start)
            break;
        r.dataStart = *start;
        r.expandedSize = longValue(buf, findPtrByKey(buf, origin, "EXPANDEDSIZE", length));
        r.compressedSize = longValue(buf, findPtrByKey(buf, origin, "COMPRESSEDSIZE", length));
        if (r.expandedSize < 0 || r.compressedSize <= 0 ||
            r.dataStart + static_cast<std::size_t>(r.compressedSize) > size)
            break;
        bool complete = true;
        auto text = [&](const char *key, std::string &field) {
            auto at = findPtrByKey(buf, origin, key, length);
            complete = complete && at;
            for (std::size_t i = at.value_or(size); i < size && buf[i] != 0; ++i)
                field += static_cast<char>(buf[i]);
        };
        text("DBNAME", r.dbName);
        if (mode == 0)
            text("LANGUAGECODE", r.languageCode);
        text("VERSION", r.version);
        text("COMMENT", r.comment);
        if (!complete)
            break;
        records.push_back(r);
        if (mode == 0 && records.size() == 3)
            break;
        origin = mode == 0 ? kOffsets[records.size()]
                           : r.dataStart + static_cast<std::size_t>(r.compressedSize) + 2;
    }
    return records;
}

// Stricter than the module's decompressor: the stream must end exactly at
// the package's last data byte and give exactly EXPANDEDSIZE bytes.
inline Bytes inflateData(const Bytes &buf, const Record &r)
{
    z_stream zs{};
    inflateInit(&zs);
    Bytes out(static_cast<std::size_t>(r.expandedSize) + 1);
    zs.next_in = const_cast<Bytef *>(&buf[r.dataStart]);
    zs.avail_in = static_cast<uInt>(r.compressedSize);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&zs, Z_FINISH);
    inflateEnd(&zs);
    if (rc != Z_STREAM_END || zs.avail_in != 0 || zs.avail_out != 1)
        throw std::runtime_error("package " + r.dbName + " does not inflate to its stated size");
    out.pop_back();
    return out;
}

// A key's value in the version text: after its line end and one more.
inline std::string versionTextValue(const std::string &text, const std::string &key)
{
    auto eol = text.find_first_of("\r\n", text.find(key));
    if (text.find(key) == std::string::npos || eol == std::string::npos)
        return "";
    std::size_t v = eol + 1 + (text.find_first_of("\r\n", eol + 1) == eol + 1);
    return text.substr(v, std::min<std::size_t>(15, text.find_first_of("\r\n", v) - v));
}

inline std::string systemVersionOfText(const Bytes &content)
{
    std::string text(content.begin(), content.end());
    return "V" + versionTextValue(text, "OEM_VER") + versionTextValue(text, "MAJOR") + "." +
           versionTextValue(text, "MINOR") + " " + versionTextValue(text, "SHIPPING");
}

// The fallback over the flash image's first 128 bytes: target after the
// first TAB, version from byte 27 to its second '.', the characters after
// "OEM_VER" and "SHIPPING" and one line end.
inline std::pair<std::string, std::string> versionOfHead(const Bytes &image)
{
    std::string head(image.begin(), image.begin() + 128);
    std::string text = head.substr(0, head.find('\0'));
    std::string field = head.substr(27, 16);
    auto second = field.find('.', field.find('.') + 1);
    auto oem = text.find("OEM_VER"), ship = text.find("SHIPPING");
    if (oem == std::string::npos || ship == std::string::npos || ship + 9 >= text.size())
        throw std::runtime_error("head without OEM_VER or SHIPPING");
    return {head.substr(head.find('\t') + 1, 4),
            "V" + text.substr(oem + 8, 1) + field.substr(0, second) + " " + text.substr(ship + 9, 1)};
}

struct Expanded {
    std::string dbName, version;
    Bytes content;
};

// Each file read behind the previous remainder, its complete packages
// expanded, the rest carried on. A file without one fails, as the loader.
struct HddWalk {
    std::vector<Expanded> packages;
    std::vector<std::size_t> perPart;
};

inline HddWalk walkHddFiles(const std::vector<Bytes> &storedFiles)
{
    HddWalk walk;
    Bytes part;
    for (const Bytes &file : storedFiles) {
        Bytes content = moduleRead(file);
        part.insert(part.end(), content.begin(), content.end());
        auto records = getDbInfo(part, part.size(), 1);
        if (records.empty())
            throw std::runtime_error("an HDD file holds no complete package");
        walk.perPart.push_back(records.size());
        for (const Record &r : records)
            walk.packages.push_back({r.dbName, r.version, inflateData(part, r)});
        part.erase(part.begin(), part.begin() + static_cast<std::ptrdiff_t>(records.back().dataStart +
                                                                            records.back().compressedSize));
    }
    return walk;
}

// The version-text lookup over the first 64 KiB of HDD file 1.
inline std::vector<Record> headOfFirstHddFile(const Bytes &storedFirst, Bytes &area)
{
    area = moduleRead(Bytes(storedFirst.begin(),
                            storedFirst.begin() + std::min<std::ptrdiff_t>(std::ssize(storedFirst), 65536)));
    area.resize(65536, 0);
    return getDbInfo(area, area.size(), 1);
}

} // namespace testing_support
