// The manifest of mkmedia: a JSON file naming what goes on the media.
//
//   {
//     "folder": "fwstore",                      // or "root"
//     "image0": {
//       "content": {"size": 262144, "seed": 1},
//       "packages": {                           // at 0x280000, 0x310000, 0x380000
//         "ui1": {"source": "ui1.bin", "version": "1.20", "language": "JA",
//                 "dbName": "/TMP/ui1.tz", "comment": "UI1_DATA"},
//         "ui0": {...}, "uif": {...}
//       }
//     },
//     "image1": {
//       "content": {"size": 65536, "fill": 255},
//       "head": {"target": "DL01", "version": "R2.10.00", "oem": "1", "shipping": "A"}
//     },
//     "image2": {"lsr": {"source": "lsr.bin", "version": "L1.03"}, "pfc": {...},
//                "engine": {...}, "scanner": {...}},
//     "hdd": {
//       "tree": "hddtree",
//       "files": [{"source": "extra.cfg", "dbName": "/PRF/extra.cfg"}],
//       "versionText": {"target": "DL01", "oem": "1", "major": "R2", "minor": "10",
//                       "shipping": "A"},
//       "fileSize": 16384
//     }
//   }
//
// A source is a path or {"size": N, "seed": S} (pseudo-random bytes) or
// {"size": N, "fill": B} (every byte B, 255 when left out). Paths are
// relative to the manifest's folder. Every image and every unit may be left
// out; "head", "tree" and "files" are optional. Unknown keys are refused,
// so that a misspelt key is not silently ignored.
#pragma once

#include "tools/media/Hdd.h"
#include "tools/media/Images.h"
#include "tools/media/Source.h"

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace media {

struct UiPackageSection {
    Source source;
    std::string version;
    std::string language;
    std::string dbName;
    std::string comment;
};

struct Image0Section {
    Source content;
    std::array<UiPackageSection, 3> packages; // ui1, ui0, uif: in offset order
};

struct Image1Section {
    Source content;
    std::optional<VersionHead> head;
};

struct UnitSection {
    Source source;
    std::string version;
};

struct Image2Section {
    std::array<std::optional<UnitSection>, 4> units; // in the order of kUnits
};

struct ListedHddFile {
    std::filesystem::path source;
    std::string dbName;
};

struct HddSection {
    std::optional<std::filesystem::path> tree;
    std::vector<ListedHddFile> files;
    VersionText versionText;
    std::size_t fileSize = 0;
};

struct Manifest {
    bool modelFolder = true;
    std::optional<Image0Section> image0;
    std::optional<Image1Section> image1;
    std::optional<Image2Section> image2;
    std::optional<HddSection> hdd;
};

inline constexpr const char *kUiPackageNames[] = {"ui1", "ui0", "uif"};

// Throws MediaError naming the file and the key for anything wrong.
Manifest parseManifest(const std::string &text, const std::filesystem::path &baseDir,
                       const std::string &name);
Manifest readManifest(const std::filesystem::path &file);

} // namespace media
