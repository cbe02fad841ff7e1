#include "tools/media/MkMedia.h"

#include "tools/media/Hdd.h"
#include "tools/media/Images.h"
#include "tools/media/OutputFolder.h"
#include "tools/media/Parallel.h"
#include "tools/media/Source.h"
#include "tools/media/Spool.h"

#include <algorithm>
#include <climits>
#include <new>

namespace media {

namespace {

constexpr std::size_t kMaxPackageInput = INT32_MAX;
constexpr const char *kVersionTextComment = "SYS_VERSION";
constexpr const char *kHddComment = "HDD_SYS";

Bytes image0(const Image0Section &section, int level)
{
    Bytes own = loadSource(section.content, layout::kUiOffsets[0], "image0.content");
    std::array<PackageInput, 3> ui;
    for (std::size_t i = 0; i < ui.size(); ++i) {
        const UiPackageSection &p = section.packages[i];
        std::string label = std::string("image0.packages.") + kUiPackageNames[i];
        ui[i] = {{p.dbName, p.version, p.comment, p.language},
                 loadSource(p.source, layout::kImage0Max, label + ".source"),
                 label};
    }
    return buildImage0(std::move(own), ui, level);
}

Bytes image1(const Image1Section &section)
{
    return buildImage1(loadSource(section.content, layout::kImage1Max, "image1.content"), section.head);
}

Bytes image2(const Image2Section &section, int level)
{
    std::vector<PackageInput> packages;
    for (std::size_t i = 0; i < section.units.size(); ++i) {
        if (!section.units[i])
            continue;
        const UnitTraits &unit = kUnits[i];
        std::string label = std::string("image2.") + unit.name;
        packages.push_back({{unit.dbName, section.units[i]->version, unit.comment, std::nullopt},
                            loadSource(section.units[i]->source, kMaxPackageInput, label + ".source"),
                            label});
    }
    return buildImage2(packages, level);
}

std::vector<HddEntry> hddEntries(const HddSection &section)
{
    std::vector<HddEntry> entries;
    if (section.tree)
        entries = scanHddTree(*section.tree);
    for (std::size_t i = 0; i < section.files.size(); ++i) {
        checkHddDbName(section.files[i].dbName, "hdd.files[" + std::to_string(i) + "]");
        entries.push_back({section.files[i].dbName, section.files[i].source});
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const HddEntry &a, const HddEntry &b) { return a.dbName < b.dbName; });
    auto twin = std::adjacent_find(entries.begin(), entries.end(),
                                   [](const HddEntry &a, const HddEntry &b) { return a.dbName == b.dbName; });
    if (twin != entries.end())
        throw MediaError("hdd: two files go to " + twin->dbName);
    return entries;
}

// Packages are made on every core but spooled in the order of their
// destinations, so the chain is the same whatever the number of threads;
// only the packages being made are held in memory.
std::vector<MediaFile> hddFiles(const HddSection &section, const MkMediaOptions &options)
{
    const std::string version = systemVersion(section.versionText);
    const std::vector<HddEntry> entries = hddEntries(section);
    auto spool = std::make_shared<ChainSpool>();
    std::vector<std::size_t> dataEnds;
    dataEnds.reserve(entries.size() + 1);
    auto add = [&](const Package &pkg) {
        dataEnds.push_back(spool->size() + pkg.dataEnd);
        spool->append(pkg.bytes);
    };
    // First, so the module finds the version text at the start of file 1.
    add(makePackage({layout::kVersionTextName, version, kVersionTextComment, std::nullopt},
                    versionTextContent(section.versionText), "hdd.versionText", options.level));
    orderedParallel<Package>(
        entries.size(), jobsFor(options.jobs),
        [&](std::size_t i) {
            const HddEntry &entry = entries[i];
            std::string label = "hdd " + entry.dbName;
            return makePackage({entry.dbName, version, kHddComment, std::nullopt},
                               readInput(entry.source, kMaxPackageInput, label), label,
                               options.level);
        },
        [&](std::size_t, Package &&pkg) { add(pkg); });

    std::vector<std::size_t> cuts = cutHddChain(dataEnds, spool->size(), section.fileSize);
    std::vector<MediaFile> files;
    std::size_t from = 0;
    for (std::size_t end : cuts) {
        files.push_back({std::to_string(files.size() + 1), {}, spool, from, end});
        from = end;
    }
    return files;
}

} // namespace

MediaSet buildMedia(const Manifest &manifest, const MkMediaOptions &options)
{
    MediaSet media;
    media.modelFolder = manifest.modelFolder;
    if (manifest.image0)
        media.files.push_back(
            {layout::kImageNames[0], image0(*manifest.image0, options.level), nullptr, 0, 0});
    if (manifest.image1)
        media.files.push_back({layout::kImageNames[1], image1(*manifest.image1), nullptr, 0, 0});
    if (manifest.image2)
        media.files.push_back(
            {layout::kImageNames[2], image2(*manifest.image2, options.level), nullptr, 0, 0});
    if (manifest.hdd)
        for (MediaFile &file : hddFiles(*manifest.hdd, options))
            media.files.push_back(std::move(file));
    if (media.files.empty())
        throw MediaError("the manifest names no image and no HDD system: nothing to make");
    return media;
}

int runMkMedia(const std::string &manifest, const std::string &outDir, std::ostream &out,
               std::ostream &err, const MkMediaOptions &options)
{
    if (options.level < kMinLevel || options.level > kMaxLevel) {
        err << "dlupdate mkmedia: --level " << options.level << " is not in " << kMinLevel << " to "
            << kMaxLevel << "\n";
        return kExitUsage;
    }
    try {
        MediaSet media = buildMedia(readManifest(manifest), options);
        for (const std::string &name : writeMedia(outDir, media))
            out << name << "\n";
        return kExitOk;
    } catch (const MediaError &e) {
        err << "dlupdate mkmedia: " << e.what() << "\n";
        return kExitUsage;
    } catch (const MediaIoError &e) {
        err << "dlupdate mkmedia: " << e.what() << "\n";
        return kExitUnusable;
    } catch (const std::bad_alloc &) {
        err << "dlupdate mkmedia: out of memory\n";
        return kExitUnusable;
    }
}

} // namespace media
