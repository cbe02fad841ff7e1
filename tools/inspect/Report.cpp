#include "tools/inspect/Report.h"
#include "tools/common/JsonFormat.h"
#include "tools/common/UpdateScreen.h"

#include <nlohmann/json.hpp>

#include <sstream>

namespace inspect {

namespace {

using json = nlohmann::ordered_json;

void packageLines(std::ostream &out, const std::vector<PackageReport> &packages, const std::string &indent)
{
    int i = 0;
    for (const PackageReport &p : packages) {
        out << indent << ++i << " " << p.dbName << "  version " << p.version << "  tag " << p.comment;
        if (p.languageCode)
            out << "  language " << *p.languageCode;
        out << "  " << p.compressedSize << " -> " << p.expandedSize << " bytes  "
            << (p.inflates ? "inflates" : "DOES NOT INFLATE: " + p.inflateNote) << "\n";
    }
}

void imageLines(std::ostream &out, const ImageReport &image)
{
    out << image.file << ": ";
    if (!image.present) {
        out << "not present\n";
        return;
    }
    out << image.bytes << " bytes";
    if (image.file != "firmImage1.bin")
        out << ", " << image.packages.size() << " packages";
    out << "\n";
    packageLines(out, image.packages, "  ");
}

const char *sourceName(VersionSource s)
{
    switch (s) {
    case VersionSource::VersionText:
        return "versionText";
    case VersionSource::Image1Head:
        return "image1Head";
    case VersionSource::None:
        break;
    }
    return nullptr;
}

json packageJson(const PackageReport &p)
{
    json j = {{"dbName", p.dbName}, {"version", p.version}, {"comment", p.comment}};
    if (p.languageCode)
        j["languageCode"] = *p.languageCode;
    j["offset"] = p.offset;
    j["compressedSize"] = p.compressedSize;
    j["expandedSize"] = p.expandedSize;
    j["inflates"] = p.inflates;
    if (!p.inflates)
        j["inflateError"] = p.inflateNote;
    return j;
}

json packagesJson(const std::vector<PackageReport> &packages)
{
    json a = json::array();
    for (const auto &p : packages)
        a.push_back(packageJson(p));
    return a;
}

json imageJson(const ImageReport &image)
{
    return {{"file", image.file},
            {"present", image.present},
            {"bytes", image.bytes},
            {"packages", packagesJson(image.packages)}};
}

template <class T>
json orNull(const std::optional<T> &v)
{
    return v ? json(*v) : json(nullptr);
}

json image1HeadJson(const Report &r)
{
    if (!r.image1Head)
        return nullptr;
    return {{"target", r.image1Head->target}, {"version", r.image1Head->version}};
}

json flashImageJson(const Report &r)
{
    if (!r.flashImageBytes)
        return nullptr;
    return {{"bytes", *r.flashImageBytes},
            {"limit", kFlashAreaBytes},
            {"fits", *r.flashImageBytes <= kFlashAreaBytes}};
}

json hddJson(const Report &r)
{
    json files = json::array();
    for (const HddFileReport &f : r.hddFiles)
        files.push_back({{"number", f.number},
                         {"bytes", f.bytes},
                         {"carriedIn", f.carriedIn},
                         {"leftOver", f.leftOver},
                         {"packages", packagesJson(f.packages)}});
    return {{"present", r.hddPresent},
            {"series", r.hddSeries},
            {"everyFileEndsPackage", r.hddEveryFileEndsPackage},
            {"files", files}};
}

json systemJson(const Report &r)
{
    const char *source = sourceName(r.versionSource);
    return {{"version", r.systemVersion},
            {"target", r.frwTarget},
            {"source", source ? json(source) : json(nullptr)},
            {"romdata", orNull(r.romdataOk)}};
}

json problemTexts(const std::vector<Problem> &problems)
{
    json texts = json::array();
    for (const Problem &p : problems)
        texts.push_back(p.text);
    return texts;
}

json filesJson(const Report &r)
{
    json files = json::array();
    for (const auto &[file, digest] : r.sha256)
        files.push_back({{"file", file}, {"sha256", digest}});
    return files;
}

json menuJson(const Report &r)
{
    if (!r.menu)
        return nullptr;
    json items = json::array();
    for (const auto &row : dlrun::screen::kRows)
        if (r.menu->offered & row.bit)
            items.push_back(row.reportName);
    json menu = {{"reached", r.menu->reached}, {"offered", r.menu->offered}, {"items", items}};
    if (!r.menu->why.empty())
        menu["why"] = r.menu->why;
    return menu;
}

json checksumsJson(const Report &r)
{
    if (!r.checksums)
        return nullptr;
    return {{"list", "SHA256SUMS"},
            {"listed", r.checksums->listed},
            {"matching", r.checksums->matching},
            {"signatures", r.checksums->signatures}};
}

} // namespace

std::string toText(const Report &r)
{
    std::ostringstream out;
    out << "media: " << r.folder << (r.modelFolder ? " (model folder)" : " (storage root)") << "\n";

    imageLines(out, r.image0);
    imageLines(out, r.image1);
    if (r.image1Head)
        out << "  head: target " << r.image1Head->target << ", version " << r.image1Head->version << "\n";
    if (r.flashImageBytes)
        out << "  flash image file: " << *r.flashImageBytes << " bytes of " << kFlashAreaBytes
            << (*r.flashImageBytes <= kFlashAreaBytes ? ", fits" : ", DOES NOT FIT") << "\n";
    imageLines(out, r.image2);

    out << "HDD files: ";
    if (r.hddPresent.empty()) {
        out << "none\n";
    } else {
        for (std::size_t i = 0; i < r.hddPresent.size(); ++i)
            out << (i ? ", " : "") << r.hddPresent[i];
        out << (r.hddSeries ? ": a series from 1" : ": NOT a series from 1")
            << (r.hddEveryFileEndsPackage ? ", every file ends a package" : ", NOT every file ends a package")
            << "\n";
    }
    for (const HddFileReport &f : r.hddFiles) {
        out << "  file " << f.number << ": " << f.bytes << " bytes, " << f.carriedIn << " carried in, "
            << f.packages.size() << " packages, " << f.leftOver << " left over\n";
        packageLines(out, f.packages, "    ");
    }

    out << "system version: ";
    if (r.versionSource == VersionSource::None) {
        out << "none\n";
    } else {
        out << r.systemVersion
            << (r.versionSource == VersionSource::VersionText ? " (version text in HDD file 1)"
                                                              : " (head of image 1)")
            << ", FRW target " << r.frwTarget << "\n";
        out << "ROMDATA: " << (*r.romdataOk ? "ok" : "MISMATCH") << "\n";
    }

    if (r.checksums) {
        out << "checksums: SHA256SUMS lists " << r.checksums->listed << " files, " << r.checksums->matching
            << " match";
        for (std::size_t i = 0; i < r.checksums->signatures.size(); ++i)
            out << (i ? " and " : "; signed in ") << r.checksums->signatures[i];
        out << (r.checksums->signatures.empty() ? "" : " (gpg --verify checks it; inspect does not)") << "\n";
    }

    if (r.problems.empty())
        out << "no problems\n";
    for (const Problem &p : r.problems)
        out << "problem: " << p.text << "\n";
    return out.str();
}

// The JSON report, one object:
//   folder, modelFolder                 where the media files lie
//   images: [3 x {file, present, bytes, packages}]   firmImage0..2.bin
//   image1Head: {target, version} | null
//   flashImage: {bytes, limit, fits} | null
//   hdd: {present: [numbers], series, everyFileEndsPackage,
//         files: [{number, bytes, carriedIn, leftOver, packages}]}
//   system: {version, target, source: "versionText"|"image1Head"|null,
//            romdata: true|false|null}
//   problems: [text], ok
//   format                              version of this layout
//   problemDetails, warnings: [{code, text, file, package}]
//   files: [{file, sha256}]             every media file as stored
//   menu: {reached, offered, items: [names], why} | null
//   checksums: {list, listed, matching, signatures: [names]} | null
//                                       SHA256SUMS, when the media hold one
// A package: {dbName, version, comment, languageCode (image 0 only),
// offset, compressedSize, expandedSize, inflates, inflateError (when not)}.
json details(const std::vector<Problem> &list)
{
    json out = json::array();
    for (const Problem &p : list)
        out.push_back({{"code", p.code},
                       {"text", p.text},
                       {"file", p.file.empty() ? json(nullptr) : json(p.file)},
                       {"package", p.package ? json(p.package) : json(nullptr)}});
    return out;
}

json toJson(const Report &r)
{
    json doc = dltool::envelope(dltool::kInspectFormat);
    doc.update({{"folder", r.folder},
                {"modelFolder", r.modelFolder},
                {"images", {imageJson(r.image0), imageJson(r.image1), imageJson(r.image2)}},
                {"image1Head", image1HeadJson(r)},
                {"flashImage", flashImageJson(r)},
                {"hdd", hddJson(r)},
                {"system", systemJson(r)},
                {"problems", problemTexts(r.problems)},
                {"ok", r.ok()},
                {"problemDetails", details(r.problems)},
                {"warnings", details(r.warnings)},
                {"files", filesJson(r)},
                {"menu", menuJson(r)},
                {"checksums", checksumsJson(r)}});
    return doc;
}

} // namespace inspect
