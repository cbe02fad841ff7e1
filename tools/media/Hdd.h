// The HDD system image: the version text, the host tree mapped to paths on
// the hard disk, one chain of packages, and its cut into numbered files.
#pragma once

#include "tools/media/Images.h"
#include "tools/media/Media.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace media {

// The keys of the version text, each a line of its own with its value on
// the next, CR LF line ends.
struct VersionText {
    std::string target;
    std::string oem;
    std::string major;
    std::string minor;
    std::string shipping;
};

// "V" oem major "." minor " " shipping, e.g. "V1R2.10 A"; throws MediaError
// when a value would be misread or the result would not fit the module's
// 15-character version field.
std::string systemVersion(const VersionText &text);
Bytes versionTextContent(const VersionText &text);

struct HddEntry {
    std::string dbName;           // "/SYS/bin/app"
    std::filesystem::path source; // host file
};

// A destination on the hard disk: absolute, its first component a
// partition (SYS, ROM, PRF, UND), no empty, "." or ".." component, not the
// version text's own name. Throws MediaError naming `label`.
void checkHddDbName(std::string_view dbName, std::string_view label);

// Every regular file of `tree` becomes an entry: tree file "SYS/bin/app"
// goes to "/SYS/bin/app", so the tree's top-level folders are partitions.
// Files at the top level, symbolic links and special files are refused;
// empty folders make nothing. Entries come sorted by destination.
std::vector<HddEntry> scanHddTree(const std::filesystem::path &tree);

struct HddChain {
    Bytes bytes;
    std::vector<std::size_t> dataEnds; // per package, one past its last data byte
};

HddChain buildHddChain(const std::vector<PackageInput> &packages, const PackageDone &done = {});

// Where the chain is cut: the end offset of each file. Files are
// `fileSize` bytes where they can be; a file is made longer when it would
// not hold the last data byte of any package (its loader would find no
// package), and shorter when its part buffer would hold more complete
// packages than the loader's table, or file 1's first 64 KiB more than the
// version-text lookup's table. Every cut is even (the pad of an odd length
// would land inside the chain). More than 32 files throw MediaError.
std::vector<std::size_t> cutHddChain(const HddChain &chain, std::size_t fileSize);
// The same for a chain of `total` bytes known by its packages' data ends.
std::vector<std::size_t> cutHddChain(const std::vector<std::size_t> &ends, std::size_t total,
                                     std::size_t fileSize);

} // namespace media
