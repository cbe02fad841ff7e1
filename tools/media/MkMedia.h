// dlupdate mkmedia MANIFEST --out DIR: builds update media from a manifest.
#pragma once

#include "tools/media/Images.h"
#include "tools/media/Manifest.h"
#include "tools/media/Media.h"

#include <ostream>
#include <string>

namespace media {

// Everything the manifest names, loaded, checked and laid out, before a
// byte is written. Throws MediaError or MediaIoError.
MediaSet buildMedia(const Manifest &manifest, const PackageDone &done = {});

inline constexpr int kExitOk = 0;
inline constexpr int kExitUnusable = 5; // an input file or the output folder
inline constexpr int kExitUsage = 64;   // the manifest or what it describes

// Writes the media into `outDir` and one line per file on `out`; on
// failure, one line on `err` and nothing changed in `outDir`.
int runMkMedia(const std::string &manifest, const std::string &outDir, std::ostream &out,
               std::ostream &err);

} // namespace media
