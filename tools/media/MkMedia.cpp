#include "tools/media/MkMedia.h"

#include "tools/common/ExitStatus.h"
#include "tools/media/Hdd.h"
#include "tools/media/Images.h"
#include "tools/media/OutputFolder.h"
#include "tools/media/Parallel.h"
#include "tools/media/Source.h"
#include "tools/media/Spool.h"
#include "tools/progress/Progress.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <new>

namespace media {

namespace {

constexpr std::size_t kMaxPackageInput = INT32_MAX;
constexpr const char *kVersionTextComment = "SYS_VERSION";
constexpr const char *kHddComment = "HDD_SYS";

Bytes image0(const Image0Section &section, int level, const PackageDone &done)
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
    return buildImage0(std::move(own), ui, level, done);
}

Bytes image1(const Image1Section &section)
{
    return buildImage1(loadSource(section.content, layout::kImage1Max, "image1.content"), section.head);
}

Bytes image2(const Image2Section &section, int level, const PackageDone &done)
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
    return buildImage2(packages, level, done);
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
std::vector<MediaFile> hddFiles(const HddSection &section, const MkMediaOptions &options,
                                const PackageDone &done)
{
    struct Made {
        std::size_t inputBytes;
        Package package;
    };
    const std::string version = systemVersion(section.versionText);
    const std::vector<HddEntry> entries = hddEntries(section);
    auto spool = std::make_shared<ChainSpool>();
    std::vector<std::size_t> dataEnds;
    dataEnds.reserve(entries.size() + 1);
    auto add = [&](const Made &made) {
        dataEnds.push_back(spool->size() + made.package.dataEnd);
        spool->append(made.package.bytes);
        if (done)
            done(made.inputBytes, made.package);
    };
    // First, so the module finds the version text at the start of file 1.
    const Bytes textContent = versionTextContent(section.versionText);
    add({textContent.size(),
         makePackage({layout::kVersionTextName, version, kVersionTextComment, std::nullopt}, textContent,
                     "hdd.versionText", options.level)});
    // Made packages wait in order as compressed bytes only (their inputs
    // are dropped once made): up to 256 per thread, and up to 64 MiB past
    // the first. A narrower window idled a core whenever spooling lagged
    // behind a run of small files.
    const unsigned jobs = jobsFor(options.jobs);
    orderedParallel<Made>(
        entries.size(), jobs, AheadLimit{256 * static_cast<std::size_t>(jobs), std::size_t{64} << 20},
        [&](std::size_t i) {
            const HddEntry &entry = entries[i];
            std::string label = "hdd " + entry.dbName;
            Bytes content = readInput(entry.source, kMaxPackageInput, label);
            return Made{content.size(), makePackage({entry.dbName, version, kHddComment, std::nullopt},
                                                    content, label, options.level)};
        },
        [&](std::size_t, Made &&made) { add(made); },
        [](const Made &made) { return made.package.bytes.size(); });

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

MediaSet buildMedia(const Manifest &manifest, const MkMediaOptions &options, const PackageDone &done)
{
    MediaSet media;
    media.modelFolder = manifest.modelFolder;
    if (manifest.image0)
        media.files.push_back(
            {layout::kImageNames[0], image0(*manifest.image0, options.level, done), nullptr, 0, 0});
    if (manifest.image1)
        media.files.push_back({layout::kImageNames[1], image1(*manifest.image1), nullptr, 0, 0});
    if (manifest.image2)
        media.files.push_back(
            {layout::kImageNames[2], image2(*manifest.image2, options.level, done), nullptr, 0, 0});
    if (manifest.hdd)
        for (MediaFile &file : hddFiles(*manifest.hdd, options, done))
            media.files.push_back(std::move(file));
    if (media.files.empty())
        throw MediaError("the manifest names no image and no HDD system: nothing to make");
    return media;
}

namespace {

// What the packages will take in, for the estimate of the time left. An
// input that cannot be read counts nothing here: the build says so.
struct Plan {
    std::size_t packages = 0;
    std::uint64_t bytes = 0;
};

std::uint64_t sourceSize(const Source &source)
{
    if (const Generated *g = std::get_if<Generated>(&source))
        return g->size;
    std::error_code ec;
    auto size = std::filesystem::file_size(std::get<std::filesystem::path>(source), ec);
    return ec ? 0 : size;
}

Plan plan(const Manifest &m)
{
    Plan p;
    auto add = [&p](std::uint64_t bytes) {
        ++p.packages;
        p.bytes += bytes;
    };
    if (m.image0)
        for (const UiPackageSection &ui : m.image0->packages)
            add(sourceSize(ui.source));
    if (m.image2)
        for (const auto &unit : m.image2->units)
            if (unit)
                add(sourceSize(unit->source));
    if (m.hdd) {
        add(0); // the version text
        try {
            if (m.hdd->tree)
                for (const HddEntry &e : scanHddTree(*m.hdd->tree))
                    add(sourceSize(e.source));
        } catch (const std::exception &) {
        }
        for (const ListedHddFile &f : m.hdd->files)
            add(sourceSize(f.source));
    }
    return p;
}

} // namespace

int runMkMedia(const std::string &manifest, const std::string &outDir, std::ostream &out,
               const dltool::Voice &err, const MkMediaOptions &options)
{
    if (options.level < kMinLevel || options.level > kMaxLevel) {
        err.say() << "--level " << options.level << " is not in " << kMinLevel << " to " << kMaxLevel << "\n";
        return dltool::kUsage;
    }
    progress::Line line(2, {options.quiet, progress::Line::Clock::now, progress::kLargeWork});
    auto fail = [&](const std::string &why, int status) {
        line.clear();
        err.say() << why << "\n";
        return status;
    };
    try {
        Manifest m = readManifest(manifest);
        Plan planned = line.active() || line.plain() ? plan(m) : Plan{};
        std::size_t packages = 0;
        std::uint64_t bytesIn = 0, bytesOut = 0;
        auto done = [&](std::size_t inputBytes, const Package &pkg) {
            ++packages;
            bytesIn += inputBytes;
            bytesOut += pkg.bytes.size();
            if (!line.active() && !line.plain())
                return;
            double total = static_cast<double>(std::max<std::uint64_t>(planned.bytes, bytesIn));
            std::string text = err.path() + ": package " + std::to_string(packages) + " of " +
                               std::to_string(std::max(planned.packages, packages)) + ", " +
                               progress::Line::bytes(bytesIn) + " of " +
                               progress::Line::bytes(static_cast<std::uint64_t>(total)) + " " +
                               progress::Line::bar(static_cast<double>(bytesIn), total, 20);
            std::string left = progress::Line::timeLeft(line.elapsed(), static_cast<double>(bytesIn) / total);
            line.step(left.empty() ? text : text + " " + left, static_cast<double>(bytesIn), total);
        };
        MediaSet media = buildMedia(m, options, done);
        std::size_t hddFileCount = 0;
        for (const std::string &name : writeMedia(outDir, media, options.jobs)) {
            out << name << "\n";
            hddFileCount += name.find_first_not_of("0123456789", name.rfind('/') + 1) == std::string::npos;
        }
        line.clear();
        // What was made, in one line; scripts read the file list.
        if (options.summary)
            err.say() << packages << " packages, " << bytesIn << " bytes in, " << bytesOut << " bytes out, "
                      << hddFileCount << " HDD files, system version "
                      << (m.hdd ? systemVersion(m.hdd->versionText) : std::string("none (no HDD system)"))
                      << "\n";
        return dltool::kOk;
    } catch (const MediaError &e) {
        return fail(e.what(), dltool::kUsage);
    } catch (const MediaIoError &e) {
        return fail(e.what(), dltool::kUnusable);
    } catch (const std::bad_alloc &) {
        return fail("out of memory", dltool::kUnusable);
    }
}

} // namespace media
