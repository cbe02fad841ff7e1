// Update media as the module reads them: the names of the files on the
// storage, the fixed layout of the flash ROM image, the limits of the
// module's tables, and the two kinds of error mkmedia reports.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace media {

using Bytes = std::vector<std::uint8_t>;

// The media description is wrong (manifest, values, layout): exit 64.
struct MediaError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An input file cannot be read or the output folder cannot be written: exit 5.
struct MediaIoError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

namespace layout {
// Where the fixed-offset lookup searches image 0 for its three packages.
inline constexpr std::array<std::size_t, 3> kUiOffsets = {0x280000, 0x310000, 0x380000};
// The module reads image 0 into an area of this size.
inline constexpr std::size_t kImage0Max = 0x800000;
// Image 1 and image 0 together fill at most the 16 MiB flash ROM.
inline constexpr std::size_t kImage1Max = 0x800000;
inline constexpr std::size_t kImage1HeadBytes = 128;
// The module keeps packages of image 2 in a 16-record table.
inline constexpr std::size_t kImage2MaxPackages = 16;

inline constexpr std::size_t kMaxHddFiles = 32;
// Records of the loader's package table, per part buffer.
inline constexpr std::size_t kMaxPackagesPerPart = 2048;
// Head of HDD file 1 read for the version text, and its table's records.
inline constexpr std::size_t kHddHeadBytes = 65536;
inline constexpr std::size_t kMaxPackagesInHead = 256;

// Version and name fields of the module: 15 characters and a NUL.
inline constexpr std::size_t kVersionFieldChars = 15;
// The module copies DBNAME into a 256-byte, NUL-ended buffer.
inline constexpr std::size_t kMaxDbName = 255;

inline constexpr const char *kImageNames[] = {"firmImage0.bin", "firmImage1.bin", "firmImage2.bin"};
inline constexpr const char *kModelFolder = "fwstore";
inline constexpr const char *kPartitions[] = {"SYS", "ROM", "PRF", "UND"};
inline constexpr const char *kVersionTextName = "/ROM/sysDummy.txt";

// The checksum list mkmedia writes at the top of the media folder, in the
// format `sha256sum -c` reads, and the names of its detached signatures
// (gpg --detach-sign, and with --armor). The module reads none of them.
inline constexpr const char *kChecksumList = "SHA256SUMS";
inline constexpr const char *kChecksumSignatures[] = {"SHA256SUMS.sig", "SHA256SUMS.asc"};
} // namespace layout

class ChainSpool;

// One file of the media, by its name within the media folder, holding the
// content the module should read back (before the pair swap): in memory,
// or, for an HDD file, bytes [from, to) of the spooled chain.
struct MediaFile {
    std::string name;
    Bytes content;
    std::shared_ptr<const ChainSpool> spool;
    std::size_t from = 0;
    std::size_t to = 0;
};

struct MediaSet {
    bool modelFolder = true; // files in "fwstore/" rather than at the root
    std::vector<MediaFile> files;
};

// Every name mkmedia may write in a media folder: an old file of one of
// these names belongs to earlier media and is replaced or removed.
inline bool isMediaName(const std::string &name)
{
    for (const char *image : layout::kImageNames)
        if (name == image)
            return true;
    for (std::size_t n = 1; n <= layout::kMaxHddFiles; ++n)
        if (name == std::to_string(n))
            return true;
    return false;
}

} // namespace media
