// The sample media's inputs, made by the program itself so that a copied or
// installed dlupdate can run its demo anywhere: the same bytes as
// media/sample/make-inputs.sh writes.
#pragma once

#include <filesystem>
#include <string_view>

namespace media {

// The sample manifest (media/sample/manifest.json, built in).
std::string_view sampleManifest();

// Writes DIR/manifest.json and DIR/inputs/. DIR must be missing or empty;
// MediaIoError otherwise, or when a file cannot be written.
void writeSample(const std::filesystem::path &dir);

} // namespace media
