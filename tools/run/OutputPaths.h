// Where `run` may write its output files: never inside the machine folder
// or the media folder, which an output named there would clobber (a panel
// written over nvram.bin leaves the machine unusable).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dlrun {

// A folder an output must stay out of, with what to call it in a message
// ("the machine folder").
using GuardedFolder = std::pair<std::filesystem::path, std::string>;

// Why `output` (given for `option`) may not be written: it lies inside one
// of `folders`, both sides resolved through their links as far as they
// exist. nullopt when it lies outside all of them.
std::optional<std::string> outputInsideFolder(const std::string &option, const std::filesystem::path &output,
                                              const std::vector<GuardedFolder> &folders);

} // namespace dlrun
