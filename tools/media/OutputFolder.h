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
// else is refused. Other files are left alone. Throws MediaIoError, after
// putting back what it moved, when the folder cannot be used. Returns the
// written paths relative to `dir`.
std::vector<std::string> writeMedia(const std::filesystem::path &dir, const MediaSet &media);

} // namespace media
