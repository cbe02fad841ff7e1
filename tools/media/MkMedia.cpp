#include "tools/media/MkMedia.h"

#include "tools/media/Hdd.h"
#include "tools/media/Images.h"
#include "tools/media/OutputFolder.h"
#include "tools/media/Source.h"

#include <algorithm>
#include <climits>
#include <new>

namespace media {

namespace {

constexpr std::size_t kMaxPackageInput = INT32_MAX;
constexpr const char *kVersionTextComment = "SYS_VERSION";
constexpr const char *kHddComment = "HDD_SYS";

Bytes image0(const Image0Section &section)
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
    return buildImage0(std::move(own), ui);
}

Bytes image1(const Image1Section &section)
{
    return buildImage1(loadSource(section.content, layout::kImage1Max, "image1.content"), section.head);
}

Bytes image2(const Image2Section &section)
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
    return buildImage2(packages);
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

std::vector<MediaFile> hddFiles(const HddSection &section)
{
    const std::string version = systemVersion(section.versionText);
    std::vector<PackageInput> packages;
    // First, so the module finds the version text at the start of file 1.
    packages.push_back({{layout::kVersionTextName, version, kVersionTextComment, std::nullopt},
                        versionTextContent(section.versionText),
                        "hdd.versionText"});
    for (const HddEntry &entry : hddEntries(section)) {
        std::string label = "hdd " + entry.dbName;
        packages.push_back({{entry.dbName, version, kHddComment, std::nullopt},
                            readInput(entry.source, kMaxPackageInput, label),
                            label});
    }
    HddChain chain = buildHddChain(packages);
    std::vector<std::size_t> cuts = cutHddChain(chain, section.fileSize);
    std::vector<MediaFile> files;
    std::size_t from = 0;
    for (std::size_t end : cuts) {
        files.push_back({std::to_string(files.size() + 1),
                         Bytes(chain.bytes.begin() + static_cast<std::ptrdiff_t>(from),
                               chain.bytes.begin() + static_cast<std::ptrdiff_t>(end))});
        from = end;
    }
    return files;
}

} // namespace

MediaSet buildMedia(const Manifest &manifest)
{
    MediaSet media;
    media.modelFolder = manifest.modelFolder;
    if (manifest.image0)
        media.files.push_back({layout::kImageNames[0], image0(*manifest.image0)});
    if (manifest.image1)
        media.files.push_back({layout::kImageNames[1], image1(*manifest.image1)});
    if (manifest.image2)
        media.files.push_back({layout::kImageNames[2], image2(*manifest.image2)});
    if (manifest.hdd)
        for (MediaFile &file : hddFiles(*manifest.hdd))
            media.files.push_back(std::move(file));
    if (media.files.empty())
        throw MediaError("the manifest names no image and no HDD system: nothing to make");
    return media;
}

int runMkMedia(const std::string &manifest, const std::string &outDir, std::ostream &out,
               std::ostream &err)
{
    try {
        MediaSet media = buildMedia(readManifest(manifest));
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
