#include "tools/media/Package.h"

#include <zlib.h>
#ifdef DL_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <new>

namespace media {

namespace {

constexpr std::string_view kDataStart = "DATASTART";
constexpr std::string_view kKeys[] = {"EXPANDEDSIZE", "COMPRESSEDSIZE", "DBNAME",  "VERSION",
                                      "COMMENT",      "LANGUAGECODE",   kDataStart};

std::string quoted(std::string_view s) { return "\"" + std::string(s) + "\""; }

std::size_t maxLength(std::string_view key)
{
    if (key == "VERSION" || key == "LANGUAGECODE")
        return layout::kVersionFieldChars;
    return layout::kMaxDbName;
}

void appendLine(Bytes &out, std::string_view text, char end)
{
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(static_cast<std::uint8_t>(end));
}

void appendPair(Bytes &out, std::string_view key, std::string_view value)
{
    appendLine(out, key, '\n');
    appendLine(out, value, '\0');
}

} // namespace

#ifdef DL_HAVE_LIBDEFLATE
namespace {

struct CompressorFree {
    void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};

// One compressor per thread and level, kept: making one costs more than
// compressing a small file.
libdeflate_compressor &compressor(int level)
{
    thread_local std::unique_ptr<libdeflate_compressor, CompressorFree> kept[kMaxLevel + 1];
    auto &c = kept[level];
    if (!c)
        c.reset(libdeflate_alloc_compressor(level));
    if (!c)
        throw std::bad_alloc();
    return *c;
}

} // namespace
#endif

Bytes zlibDeflate(std::span<const std::uint8_t> content, int level)
{
    level = std::clamp(level, kMinLevel, kMaxLevel);
#ifdef DL_HAVE_LIBDEFLATE
    libdeflate_compressor &c = compressor(level);
    Bytes out(libdeflate_zlib_compress_bound(&c, content.size()));
    std::size_t size = libdeflate_zlib_compress(&c, content.data(), content.size(), out.data(), out.size());
    if (size == 0)
        throw MediaError("libdeflate compression failed");
    out.resize(size);
    return out;
#else
    uLongf size = compressBound(static_cast<uLong>(content.size()));
    Bytes out(size);
    int rc = compress2(out.data(), &size, content.data(), static_cast<uLong>(content.size()),
                       std::min(level, Z_BEST_COMPRESSION));
    if (rc != Z_OK)
        throw MediaError("zlib compression failed (" + std::to_string(rc) + ")");
    out.resize(size);
    return out;
#endif
}

void checkHeaderValue(std::string_view label, std::string_view key, std::string_view value)
{
    std::string what = std::string(label) + ": " + std::string(key) + " " + quoted(value);
    if (value.empty())
        throw MediaError(std::string(label) + ": " + std::string(key) + " must not be empty");
    for (char c : value) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            throw MediaError(what + " holds a control character");
    }
    for (std::string_view k : kKeys)
        if (value.starts_with(k))
            throw MediaError(what + " begins with the key name " + std::string(k) +
                             ", which the module would take for a key line");
    if (value.size() > maxLength(key))
        throw MediaError(what + " is longer than " + std::to_string(maxLength(key)) + " characters");
}

Package makePackage(const PackageInfo &info, std::span<const std::uint8_t> content, std::string_view label,
                    int level)
{
    checkHeaderValue(label, "DBNAME", info.dbName);
    checkHeaderValue(label, "VERSION", info.version);
    checkHeaderValue(label, "COMMENT", info.comment);
    if (info.languageCode)
        checkHeaderValue(label, "LANGUAGECODE", *info.languageCode);
    // The module takes both sizes as signed 32-bit numbers.
    if (content.size() > INT32_MAX)
        throw MediaError(std::string(label) + ": content of " + std::to_string(content.size()) +
                         " bytes is larger than a package can hold");
    Bytes data = zlibDeflate(content, level);
    if (data.size() > INT32_MAX)
        throw MediaError(std::string(label) + ": compressed data is larger than a package can hold");

    Package pkg;
    Bytes &out = pkg.bytes;
    appendPair(out, "EXPANDEDSIZE", std::to_string(content.size()));
    appendPair(out, "COMPRESSEDSIZE", std::to_string(data.size()));
    appendPair(out, "DBNAME", info.dbName);
    appendPair(out, "VERSION", info.version);
    appendPair(out, "COMMENT", info.comment);
    if (info.languageCode)
        appendPair(out, "LANGUAGECODE", *info.languageCode);
    // After a NUL, so it stands where the data-start search expects a line.
    appendLine(out, kDataStart, '\n');
    pkg.dataStart = out.size();
    out.insert(out.end(), data.begin(), data.end());
    pkg.dataEnd = out.size();
    out.push_back('\r');
    out.push_back('\n');
    return pkg;
}

} // namespace media
