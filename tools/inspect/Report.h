// What `dlupdate inspect` found on update media: the packages of every
// image and HDD file as the module's lookup sees them, the system version,
// and the problems, rendered as text or as one JSON object.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace inspect {

struct PackageReport {
    std::string dbName;
    std::string version;
    std::string comment;
    std::optional<std::string> languageCode; // flash ROM image packages only
    std::int64_t offset = 0;                 // of the data, in its image or part buffer
    std::int32_t compressedSize = 0;
    std::int32_t expandedSize = 0;
    bool inflates = false;   // to exactly expandedSize bytes
    std::string inflateNote; // why not, when it does not
    std::string content;     // what it inflates to, kept only when asked for
};

struct ImageReport {
    explicit ImageReport(std::string name) : file(std::move(name)) {}

    std::string file; // "firmImage0.bin" ...
    bool present = false;
    std::int64_t bytes = 0; // as the module reads it: the file rounded up to even
    std::vector<PackageReport> packages;
};

struct HeadReport {
    std::string target;  // FRW target after the first TAB
    std::string version; // the system version the head gives
};

struct HddFileReport {
    int number = 0;
    std::int64_t bytes = 0;     // the file's length on the storage
    std::int64_t carriedIn = 0; // remainder of the file before
    std::int64_t leftOver = 0;  // bytes after the last complete package
    std::vector<PackageReport> packages;
};

enum class VersionSource { None, VersionText, Image1Head };

// A problem with a stable code for scripts, the media file it concerns
// ("firmImage2.bin", "3"; "" for the media as a whole) and the package
// (from 1; 0 for none), besides its text.
struct Problem {
    std::string code;
    std::string text;
    std::string file;
    int package = 0;
};

// What the operator will be offered with these media, as the module's
// availability check finds it after staging them (no service flag set).
struct MenuReport {
    bool reached = false; // staging succeeded and the ROMDATA check passed
    std::uint32_t offered = 0;
    std::string why; // when not reached
};

// What the media's checksum list (SHA256SUMS, beside fwstore/) says of
// them; its problems go with the others. Absent without a list.
struct ChecksumSummary {
    std::size_t listed = 0;              // files the list names
    std::size_t matching = 0;            // of those, with the content listed
    std::vector<std::string> signatures; // SHA256SUMS.sig, .asc beside it (not verified)
};

struct Report {
    std::string folder; // the host folder the media files lie in
    bool modelFolder = false;

    ImageReport image0{"firmImage0.bin"};
    ImageReport image1{"firmImage1.bin"};
    ImageReport image2{"firmImage2.bin"};
    std::optional<HeadReport> image1Head;
    std::optional<std::int64_t> flashImageBytes; // when images 0 and 1 make one

    std::vector<int> hddPresent; // numbers of the HDD files found, 1 to 32
    bool hddSeries = false;      // as dlFirmUsbCheckHDD judges
    bool hddEveryFileEndsPackage = false;
    std::vector<HddFileReport> hddFiles; // those the loader would walk

    std::string systemVersion;
    std::string frwTarget;
    VersionSource versionSource = VersionSource::None;
    std::optional<bool> romdataOk; // no verdict without a system version

    std::vector<Problem> problems;
    // Not problems: what the module copes with but an engineer should know.
    std::vector<Problem> warnings;
    // Stored files' digests, by file name; filled for the JSON report.
    std::vector<std::pair<std::string, std::string>> sha256;
    std::optional<MenuReport> menu;
    std::optional<ChecksumSummary> checksums;

    bool ok() const { return problems.empty(); }
};

inline constexpr std::int64_t kFlashAreaBytes = 16 * 1024 * 1024;

std::string toText(const Report &report);
nlohmann::ordered_json toJson(const Report &report);

} // namespace inspect
