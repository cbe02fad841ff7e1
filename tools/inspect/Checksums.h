// The media's checksum list: SHA256SUMS at the top of the media folder, as
// `dlupdate mkmedia` writes it and `sha256sum -c` reads it. Every listed
// file is hashed and compared, and every file of the folders the module
// reads (the top and fwstore/) must be listed; nothing outside the media
// folder is ever opened.
#pragma once

#include "tools/inspect/Report.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace inspect {

// The problem codes of the check, in inspect --json's problemDetails.
namespace checksum {
inline constexpr const char *kMismatch = "checksum-mismatch";        // content differs from the list
inline constexpr const char *kMissing = "checksum-file-missing";     // a listed file is not there
inline constexpr const char *kUnlisted = "checksum-file-unlisted";   // a media file the list does not name
inline constexpr const char *kMalformed = "checksum-line-malformed"; // not a checksum line; a path twice
inline constexpr const char *kOutside = "checksum-path-outside";     // absolute, "..", a link leading out
inline constexpr const char *kUnchecked = "checksum-file-unchecked"; // not a file, unreadable, past 32 bits
inline constexpr const char *kListUnreadable = "checksum-list-unreadable"; // SHA256SUMS itself
} // namespace checksum

struct ChecksumCheck {
    ChecksumSummary summary;
    std::vector<Problem> problems; // in the list's order, then the unlisted files by path
    // The digest of every file hashed, by its path from the media folder
    // ("fwstore/1"), so that inspect --json need not hash it again.
    std::map<std::string, std::string> digests;
};

// Checks `mediaDir`/SHA256SUMS against the files beside it; nullopt when
// the media folder holds no such list. Never throws.
std::optional<ChecksumCheck> checkChecksums(const std::filesystem::path &mediaDir);

} // namespace inspect
