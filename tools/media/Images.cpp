#include "tools/media/Images.h"

#include <algorithm>
#include <cstdio>

namespace media {

namespace {

std::string hex(std::size_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%zX", v);
    return buf;
}

bool printable(char c) { return c >= 0x20 && c <= 0x7E; }

void checkPrintable(const std::string &what, const std::string &text)
{
    if (!std::all_of(text.begin(), text.end(), printable))
        throw MediaError(what + " \"" + text + "\" may hold only printable ASCII characters");
}

} // namespace

Bytes buildImage0(Bytes own, const std::array<PackageInput, 3> &ui, int level, const PackageDone &done)
{
    const auto &offsets = layout::kUiOffsets;
    if (own.size() > offsets[0])
        throw MediaError("image0.content: " + std::to_string(own.size()) + " bytes run into the package at " +
                         hex(offsets[0]) + " (at most " + std::to_string(offsets[0]) + " bytes)");
    Bytes image = std::move(own);
    for (std::size_t i = 0; i < ui.size(); ++i) {
        const PackageInput &in = ui[i];
        if (!in.info.languageCode)
            throw MediaError(in.label + ": a flash ROM image package needs a LANGUAGECODE");
        // The module formats "V<version> <language>" into a 16-byte field.
        if (in.info.version.size() + in.info.languageCode->size() + 2 > layout::kVersionFieldChars)
            throw MediaError(in.label + ": VERSION and LANGUAGECODE together exceed " +
                             std::to_string(layout::kVersionFieldChars - 2) +
                             " characters, more than the module's version field holds");
        Package pkg = makePackage(in.info, in.content, in.label, level);
        if (done)
            done(in.content.size(), pkg);
        std::size_t limit = i + 1 < ui.size() ? offsets[i + 1] : layout::kImage0Max;
        if (offsets[i] + pkg.bytes.size() > limit)
            throw MediaError(in.label + ": the package of " + std::to_string(pkg.bytes.size()) +
                             " bytes at " + hex(offsets[i]) + " runs past " + hex(limit) + " (at most " +
                             std::to_string(limit - offsets[i]) + " bytes)");
        image.resize(offsets[i], 0xFF);
        image.insert(image.end(), pkg.bytes.begin(), pkg.bytes.end());
    }
    return image;
}

Bytes versionHead(const VersionHead &head)
{
    constexpr std::size_t kVersionAt = 27, kVersionBytes = 16;
    // "V%c%s %c" must fit the module's 15-character version field.
    constexpr std::size_t kMaxCounted = layout::kVersionFieldChars - 4;

    if (head.target.size() != 4)
        throw MediaError("image1.head.target \"" + head.target + "\" must be 4 characters");
    checkPrintable("image1.head.target", head.target);
    if (head.version.size() > kVersionBytes)
        throw MediaError("image1.head.version \"" + head.version + "\" is longer than " +
                         std::to_string(kVersionBytes) + " characters (bytes 27 to 42)");
    checkPrintable("image1.head.version", head.version);
    auto first = head.version.find('.');
    auto second = first == std::string::npos ? first : head.version.find('.', first + 1);
    if (second == std::string::npos)
        throw MediaError("image1.head.version \"" + head.version +
                         "\" needs two '.': the module counts the part before the second, "
                         "e.g. \"R2.10.00\"");
    if (second > kMaxCounted)
        throw MediaError("image1.head.version \"" + head.version +
                         "\": the part before its second '.' is longer than " + std::to_string(kMaxCounted) +
                         " characters, more than the module's version field holds");
    for (const char *key : {"OEM_VER", "SHIPPING"})
        if (head.version.find(key) != std::string::npos)
            throw MediaError("image1.head.version must not hold the key " + std::string(key));
    if (!printable(head.oem) || !printable(head.shipping))
        throw MediaError("image1.head: oem and shipping must be printable characters");

    std::string text = "\t" + head.target;
    text.resize(kVersionAt, ' ');
    text += head.version;
    text.resize(kVersionAt + kVersionBytes, ' ');
    text += std::string("\nOEM_VER\n") + head.oem + "\nSHIPPING\n" + head.shipping + "\n";
    Bytes out(layout::kImage1HeadBytes, 0);
    std::copy(text.begin(), text.end(), out.begin());
    return out;
}

Bytes buildImage1(Bytes content, const std::optional<VersionHead> &head)
{
    if (content.size() > layout::kImage1Max)
        throw MediaError("image1.content: " + std::to_string(content.size()) +
                         " bytes; image 1 and image 0 must fit the 16 MiB flash ROM (at most " +
                         std::to_string(layout::kImage1Max) + " bytes)");
    if (!head)
        return content;
    if (content.size() < layout::kImage1HeadBytes)
        throw MediaError("image1.content: " + std::to_string(content.size()) +
                         " bytes cannot carry the 128-byte version head");
    Bytes bytes = versionHead(*head);
    std::copy(bytes.begin(), bytes.end(), content.begin());
    return content;
}

Bytes buildImage2(const std::vector<PackageInput> &packages, int level, const PackageDone &done)
{
    if (packages.size() > layout::kImage2MaxPackages)
        throw MediaError("image2: more than " + std::to_string(layout::kImage2MaxPackages) + " packages");
    Bytes image;
    for (const PackageInput &in : packages) {
        Package pkg = makePackage(in.info, in.content, in.label, level);
        if (done)
            done(in.content.size(), pkg);
        image.insert(image.end(), pkg.bytes.begin(), pkg.bytes.end());
    }
    return image;
}

} // namespace media
