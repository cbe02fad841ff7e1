// Puts media into an output folder without ever leaving half media there:
// every file is written into a staging folder inside it first, and only
// then moved into place, together with the removal of the old media.
#pragma once

#include "tools/media/Media.h"

#include <filesystem>
#include <string>
#include <vector>

namespace media {

// Writes every file of `media` pair-swapped into `dir` (or `dir`/fwstore),
// creating `dir` when missing. Old media there is replaced: files with
// media names (firmImage0.bin to firmImage2.bin, 1 to 32) in the folder
// written to are removed, and with the root layout a "fwstore" folder too,
// since the module would read from it; a "fwstore" folder holding anything
// else is refused. Other files are left alone. Beside them, at the top of
// `dir`, goes the checksum list (layout::kChecksumList): the SHA-256 of
// every file written, in the order of `media`, as `sha256sum -c` reads it;
// an earlier list and its signatures (SHA256SUMS.sig, .asc) are removed
// with the media they signed. Up to `jobs` files (0: one per core) are
// written at once. Throws MediaIoError, after putting back what it moved,
// when the folder cannot be used. Returns the written paths relative to
// `dir`, the list last.
std::vector<std::string> writeMedia(const std::filesystem::path &dir, const MediaSet &media,
                                    unsigned jobs = 0);

} // namespace media
