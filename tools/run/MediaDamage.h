// Damaged copies of update media, as a worn USB stick gives them: files cut
// short, a header line or value changed, a bit of package data flipped, an
// HDD file of the series dropped or two of them swapped. Every change is
// made in the module's view of a file (its pairs exchanged back) and the
// file stored pair-swapped again, so an odd cut reads back with the 0xFF
// pad of the storage rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace dlrun {

// The storage's byte order: the two bytes of every 16-bit unit exchanged,
// an odd length padded with 0xFF before its last byte. Its own inverse on
// even lengths.
std::string pairSwapped(const std::string &bytes);

// Where a package lies in a file's view: its header from `start`, its data
// from `dataStart` to `dataEnd`, CR LF to `end`.
struct PackageSpan {
    std::size_t start = 0, dataStart = 0, dataEnd = 0, end = 0;
    // Each header value: the offset of its text and its text.
    std::map<std::string, std::pair<std::size_t, std::string>> values;
};

// The package whose header begins at `at`, read strictly: key lines and NUL
// ended values, the DATASTART line, COMPRESSEDSIZE bytes of data, CR LF.
std::optional<PackageSpan> readPackage(const std::string &view, std::size_t at);

// Packages one after another from `at` for as long as they read.
std::vector<PackageSpan> readChain(const std::string &view, std::size_t at = 0);

// One change to the media's files, in their views.
struct Edit {
    enum class Op { cut, patch, drop, swap };
    Op op = Op::patch;
    std::string file;   // name in the media's firmware folder
    std::size_t at = 0; // cut: the new length; patch: where
    std::string bytes;  // patch: the new bytes
    std::string other;  // swap: the other file
};

struct Damage {
    std::string name; // what a row calls it: "firmImage2.bin cut at 4022 (package 1 end-2)"
    std::string kind; // "cut", "datastart", "size", "bit", "drop", "swap", "text", "content"
    std::vector<Edit> edits;
    // False for damage the package format cannot show; `why` says so.
    bool detectable = true;
    std::string why;
};

class MediaImage {
public:
    // Reads every file of the media once. Throws std::runtime_error when
    // the folder holds no update file at all.
    explicit MediaImage(const std::filesystem::path &media);

    const std::filesystem::path &media() const { return media_; }
    // The folder of the update files relative to the media: "fwstore" or "".
    const std::filesystem::path &filesFolder() const { return folder_; }
    // The views of the update files, by name.
    const std::map<std::string, std::string> &views() const { return views_; }
    int hddFiles() const { return hddFiles_; }

    // Every damage of the kinds above: cuts at each package boundary and one
    // or two bytes either side, and in the middle of each package's data;
    // each DATASTART line and numeric size changed; one bit flipped in each
    // package's data (a sample of `maxFlips` packages, drawn from `seed`,
    // when there are more); each HDD file dropped, each two neighbours
    // swapped; and a few changes the format cannot show.
    std::vector<Damage> damages(std::uint32_t seed, std::size_t maxFlips = 64) const;

    // Writes the whole media as read into `dir` (missing), once.
    void writeCopy(const std::filesystem::path &dir) const;
    // A damaged copy in `dir` (missing): every file of `pristine` (a
    // writeCopy) linked where the damage leaves it alone, the damaged files
    // written anew.
    void writeDamaged(const Damage &damage, const std::filesystem::path &pristine,
                      const std::filesystem::path &dir) const;

private:
    std::map<std::string, std::string> damagedViews(const Damage &d, std::vector<std::string> &removed) const;
    bool hddChainCleanPrefix(const std::map<std::string, std::string> &views,
                             const std::vector<std::string> &removed, std::string &why) const;

    std::filesystem::path media_, folder_;
    std::map<std::string, std::string> views_;
    std::map<std::string, std::string> others_; // other files of the media, by relative path, as stored
    std::vector<std::string> otherDirs_;
    int hddFiles_ = 0;
};

} // namespace dlrun
