// dlupdate mkmedia MANIFEST --out DIR: builds update media from a manifest.
#pragma once

#include "tools/media/Images.h"
#include "tools/media/Manifest.h"
#include "tools/media/Media.h"
#include "tools/media/Package.h"
#include "tools/common/Voice.h"

#include <ostream>
#include <string>

namespace media {

struct MkMediaOptions {
    int level = kDefaultLevel; // kMinLevel to kMaxLevel
    unsigned jobs = 0;         // threads compressing packages, then writing files; 0: one per core
    bool quiet = false;        // no progress on standard error
    bool summary = true;       // the closing line of what was made, on standard error
};

// Everything the manifest names, loaded, checked and laid out, before a
// byte is written to the media; the HDD chain waits in a temporary file.
// The result is the same whatever options.jobs is. `done` is called for
// each package, in the order of the media. Throws MediaError or
// MediaIoError.
MediaSet buildMedia(const Manifest &manifest, const MkMediaOptions &options = {},
                    const PackageDone &done = {});

// Writes the media into `outDir` and one line per file on `out`; on
// failure, one line on `err` and nothing changed in `outDir`: 5 for an input
// file or the output folder, 64 for the manifest or what it describes.
int runMkMedia(const std::string &manifest, const std::string &outDir, std::ostream &out,
               const dltool::Voice &err, const MkMediaOptions &options = {});

} // namespace media
