// The three media images: the flash ROM image (image 0) with its UI
// packages at fixed offsets, the part of the flash image before it
// (image 1) with its version head, and the engine image (image 2).
#pragma once

#include "tools/media/Media.h"
#include "tools/media/Package.h"

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace media {

struct PackageInput {
    PackageInfo info;
    Bytes content;
    std::string label; // names the package in error messages
};

// Called once each package is made, with the size of its input, for
// progress; may be empty.
using PackageDone = std::function<void(std::size_t inputBytes, const Package &)>;

// Image 0: its own content from offset 0, then the UI packages with their
// headers at 0x280000, 0x310000 and 0x380000; the module shows the first as
// UI1, the second as UI0, the third as UIF. Bytes between them are 0xFF,
// as erased flash. Throws MediaError when anything would overlap a
// package's offset or run past 8 MiB.
Bytes buildImage0(Bytes own, const std::array<PackageInput, 3> &ui, int level = kDefaultLevel,
                  const PackageDone &done = {});

// The 128-byte head of image 1, as the module's fallback reads the system
// version from it: "V" + oem + the version up to its second '.' + " " +
// shipping.
struct VersionHead {
    std::string target;  // FRW target: 4 characters after the first TAB
    std::string version; // bytes 27 to 42, e.g. "R2.10.00"; needs two '.'
    char oem = '1';
    char shipping = 'A';
};

// TAB and target at byte 0, blanks to byte 26, the version at byte 27
// padded with blanks to byte 42, then "\nOEM_VER\n" oem "\nSHIPPING\n"
// shipping "\n"; NUL bytes fill the rest.
Bytes versionHead(const VersionHead &head);

// The head, when given, replaces the content's first 128 bytes.
Bytes buildImage1(Bytes content, const std::optional<VersionHead> &head);

enum class Unit { Laser, Pfc, Engine, Scanner };

struct UnitTraits {
    Unit unit;
    const char *name; // as the manifest names it
    const char *dbName;
    const char *comment;
};

inline constexpr UnitTraits kUnits[] = {
    {Unit::Laser, "lsr", "/TMP/lsrfirm.tz", "LASER_FIRM"},
    {Unit::Pfc, "pfc", "/TMP/pfcfirm.tz", "PFC_FIRM"},
    {Unit::Engine, "engine", "/TMP/mfirm.tz", "ENGINE_MAIN_FIRM"},
    {Unit::Scanner, "scanner", "/TMP/scmfirm.tz", "SCANNER_FIRM"},
};

// Image 2: the packages one after another.
Bytes buildImage2(const std::vector<PackageInput> &packages, int level = kDefaultLevel,
                  const PackageDone &done = {});

} // namespace media
