#include "tools/media/Hdd.h"

#include <algorithm>
#include <climits>
#include <iterator>

namespace media {

namespace fs = std::filesystem;

namespace {

constexpr const char *kTextKeys[] = {"TARGET", "OEM_VER", "MAJOR", "MINOR", "SHIPPING"};

std::size_t roundUpEven(std::size_t n) { return n + n % 2; }

void checkTextValue(const char *key, const std::string &value)
{
    std::string what = std::string("hdd.versionText.") + key;
    if (value.empty())
        throw MediaError(what + " must not be empty");
    for (char c : value)
        if (c < 0x20 || c > 0x7E)
            throw MediaError(what + " \"" + value + "\" may hold only printable ASCII characters");
    // The module finds each key at its first occurrence anywhere in the text.
    for (const char *other : kTextKeys)
        if (value.find(other) != std::string::npos)
            throw MediaError(what + " \"" + value + "\" holds the key name " + other);
}

bool isPartition(std::string_view name)
{
    return std::any_of(std::begin(layout::kPartitions), std::end(layout::kPartitions),
                       [&](const char *p) { return name == p; });
}

} // namespace

std::string systemVersion(const VersionText &text)
{
    const std::string *values[] = {&text.target, &text.oem, &text.major, &text.minor, &text.shipping};
    for (std::size_t i = 0; i < std::size(kTextKeys); ++i)
        checkTextValue(kTextKeys[i], *values[i]);
    if (text.target.size() > layout::kVersionFieldChars)
        throw MediaError("hdd.versionText.target is longer than 15 characters");
    std::string version = "V" + text.oem + text.major + "." + text.minor + " " + text.shipping;
    if (version.size() > layout::kVersionFieldChars)
        throw MediaError("hdd.versionText: the system version \"" + version +
                         "\" is longer than the module's 15-character version field");
    return version;
}

Bytes versionTextContent(const VersionText &text)
{
    systemVersion(text);
    const std::string *values[] = {&text.target, &text.oem, &text.major, &text.minor, &text.shipping};
    std::string out;
    for (std::size_t i = 0; i < std::size(kTextKeys); ++i)
        out += std::string(kTextKeys[i]) + "\r\n" + *values[i] + "\r\n";
    return Bytes(out.begin(), out.end());
}

void checkHddDbName(std::string_view dbName, std::string_view label)
{
    std::string what = std::string(label) + ": DBNAME \"" + std::string(dbName) + "\"";
    if (!dbName.starts_with('/'))
        throw MediaError(what + " is relative; hard-disk paths begin with '/'");
    std::vector<std::string_view> parts;
    for (std::size_t at = 1;;) {
        std::size_t slash = dbName.find('/', at);
        parts.push_back(dbName.substr(at, slash == std::string_view::npos ? slash : slash - at));
        if (slash == std::string_view::npos)
            break;
        at = slash + 1;
    }
    for (std::string_view part : parts)
        if (part.empty() || part == "." || part == "..")
            throw MediaError(what + " has an empty, \".\" or \"..\" component");
    if (parts.size() < 2 || !isPartition(parts.front()))
        throw MediaError(what + " must name a file inside a partition: /SYS, /ROM, /PRF or /UND");
    if (dbName == layout::kVersionTextName)
        throw MediaError(what + " is the version text's own name");
    checkHeaderValue(label, "DBNAME", dbName);
}

std::vector<HddEntry> scanHddTree(const fs::path &tree)
{
    std::error_code ec;
    if (!fs::is_directory(tree, ec))
        throw MediaIoError("hdd.tree: " + tree.string() + " is not a folder");
    std::vector<HddEntry> entries;
    try {
        for (const auto &entry : fs::recursive_directory_iterator(tree)) {
            fs::path rel = entry.path().lexically_relative(tree);
            auto status = entry.symlink_status();
            if (fs::is_directory(status))
                continue;
            if (fs::is_symlink(status))
                throw MediaError("hdd.tree: " + rel.generic_string() +
                                 " is a symbolic link; the tree may hold only files and folders");
            if (!fs::is_regular_file(status))
                throw MediaError("hdd.tree: " + rel.generic_string() + " is not a regular file");
            std::string dbName = "/" + rel.generic_string();
            checkHddDbName(dbName, "hdd.tree");
            entries.push_back({dbName, entry.path()});
        }
    } catch (const fs::filesystem_error &e) {
        throw MediaIoError("hdd.tree: cannot read " + tree.string() + ": " + e.what());
    }
    std::sort(entries.begin(), entries.end(),
              [](const HddEntry &a, const HddEntry &b) { return a.dbName < b.dbName; });
    return entries;
}

HddChain buildHddChain(const std::vector<PackageInput> &packages, const PackageDone &done)
{
    HddChain chain;
    for (const PackageInput &in : packages) {
        Package pkg = makePackage(in.info, in.content, in.label);
        if (done)
            done(in.content.size(), pkg);
        chain.dataEnds.push_back(chain.bytes.size() + pkg.dataEnd);
        chain.bytes.insert(chain.bytes.end(), pkg.bytes.begin(), pkg.bytes.end());
    }
    return chain;
}

std::vector<std::size_t> cutHddChain(const HddChain &chain, std::size_t fileSize)
{
    return cutHddChain(chain.dataEnds, chain.bytes.size(), fileSize);
}

std::vector<std::size_t> cutHddChain(const std::vector<std::size_t> &ends, std::size_t total,
                                     std::size_t fileSize)
{
    if (fileSize < 2 || fileSize % 2 != 0)
        throw MediaError("hdd.fileSize must be an even number of bytes, at least 2");
    std::vector<std::size_t> cuts;
    std::size_t pos = 0;
    std::size_t next = 0; // first package whose data ends after pos
    while (pos < total && next < ends.size()) {
        // At least the next package's last data byte; a CR follows it, so
        // rounding up stays within the chain.
        std::size_t end = std::max(pos + fileSize, roundUpEven(ends[next]));
        // The part buffer holds the packages ending after pos: the earlier
        // ones were consumed by the previous file's loader.
        const std::size_t maxPart = layout::kMaxPackagesPerPart;
        if (next + maxPart < ends.size() && end >= ends[next + maxPart])
            end = roundUpEven(ends[next + maxPart - 1]);
        if (cuts.empty() && ends.size() > layout::kMaxPackagesInHead &&
            std::min(end, layout::kHddHeadBytes) >= ends[layout::kMaxPackagesInHead])
            end = roundUpEven(ends[layout::kMaxPackagesInHead - 1]);
        // Bytes after the last package's data cannot make a file of their own.
        if (end >= ends.back())
            end = total;
        // The module sizes the part buffer (remainder, file, 128 bytes) in 32 bits.
        std::size_t remainderFrom = next == 0 ? 0 : ends[next - 1];
        if (end - remainderFrom + 128 > INT32_MAX)
            throw MediaError("hdd: file " + std::to_string(cuts.size() + 1) +
                             " would need a part buffer larger than the module can address");
        cuts.push_back(end);
        pos = end;
        while (next < ends.size() && ends[next] <= pos)
            ++next;
    }
    if (cuts.size() > layout::kMaxHddFiles)
        throw MediaError("hdd: the chain of " + std::to_string(total) + " bytes cut at hdd.fileSize " +
                         std::to_string(fileSize) + " needs " + std::to_string(cuts.size()) +
                         " files, more than " + std::to_string(layout::kMaxHddFiles) +
                         "; choose a larger hdd.fileSize");
    if (!ends.empty() && ends.front() > layout::kHddHeadBytes)
        throw MediaError("hdd: the version text package must end within the first 64 KiB of file 1");
    return cuts;
}

} // namespace media
