#include "tools/run/MediaDamage.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>
#include <sstream>
#include <stdexcept>

namespace dlrun {

namespace fs = std::filesystem;

namespace {

// Image 0's packages stand at fixed offsets of the flash image.
constexpr std::size_t kImage0Packages[] = {0x280000, 0x310000, 0x380000};
constexpr int kHddFilesMax = 32;
// A file past this is none a session could load (the RAM disk is 48 MiB);
// reading it whole would only exhaust memory.
constexpr std::uintmax_t kFileBytesMax = 64u << 20;
// A header is a few short lines; a longer one is no header.
constexpr std::size_t kHeaderBytesMax = 4096;

std::string readWhole(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    return std::move(bytes).str();
}

void writeWhole(const fs::path &file, const std::string &bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + file.string());
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Another character of the same sort: a digit for a digit, a letter for a
// letter, so the value still reads as before to anything but a comparison.
char changedChar(char c)
{
    if (isDigit(c))
        return c == '9' ? '8' : static_cast<char>(c + 1);
    if ((c >= 'a' && c < 'z') || (c >= 'A' && c < 'Z'))
        return static_cast<char>(c + 1);
    if (c == 'z' || c == 'Z')
        return static_cast<char>(c - 1);
    return c == '_' ? '-' : '_';
}

// The expanded content of a zlib stream, or nothing when it is damaged.
std::optional<std::string> inflated(const std::string &data)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return std::nullopt;
    std::string out;
    char buffer[16384];
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef *>(buffer);
        z.avail_out = sizeof buffer;
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
        if (rc == Z_BUF_ERROR && z.avail_in == 0)
            break;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END)
        return std::nullopt;
    return out;
}

bool hddName(const std::string &name)
{
    return !name.empty() && std::all_of(name.begin(), name.end(), isDigit) && name[0] != '0';
}

// A file's name in a row: "firmImage2.bin", "HDD file 2".
std::string shown(const std::string &file) { return hddName(file) ? "HDD file " + file : file; }

// A header value as a row quotes it: bytes that are no printable ASCII
// become '?', so that tables, JSON and XML take it whole.
std::string printable(const std::string &value)
{
    std::string out = value;
    for (char &c : out)
        if (c < 0x20 || c > 0x7E)
            c = '?';
    return out;
}

std::string offsetText(long d) { return d == 0 ? "" : (d > 0 ? "+" : "") + std::to_string(d); }

// The bytes a package's files are read as, in one coordinate space: one
// image, or the HDD chain over its consecutive files.
struct Space {
    struct Segment {
        std::string file;
        std::size_t base, length;
    };
    std::vector<Segment> segments;
    std::string bytes;
    std::vector<PackageSpan> packages;
    bool chain = false; // the HDD series

    // The file holding byte `at`, and `at` in it.
    std::pair<const Segment *, std::size_t> locate(std::size_t at) const
    {
        for (const auto &s : segments)
            if (at >= s.base && at < s.base + s.length)
                return {&s, at - s.base};
        return {nullptr, 0};
    }
    // Patches `bytes` at `at`, split where it crosses from one file into
    // the next.
    void patch(Damage &d, std::size_t at, const std::string &with) const
    {
        for (std::size_t i = 0; i < with.size(); ++i) {
            auto [seg, local] = locate(at + i);
            if (!seg)
                continue;
            if (!d.edits.empty() && d.edits.back().file == seg->file &&
                d.edits.back().at + d.edits.back().bytes.size() == local)
                d.edits.back().bytes += with[i];
            else
                d.edits.push_back({Edit::Op::patch, seg->file, local, std::string(1, with[i]), ""});
        }
    }
    // "firmImage2.bin package 3", "HDD package 5 (file 2)".
    std::string where(std::size_t index, std::size_t at) const
    {
        const std::string n = "package " + std::to_string(index + 1);
        if (!chain)
            return segments.front().file + " " + n;
        auto [seg, local] = locate(at);
        (void)local;
        return "HDD " + n + (seg ? " (file " + seg->file + ")" : "");
    }
};

// An image alone as a space, with the packages where the module looks for
// them: image 0's at fixed offsets, image 2's one after another.
Space imageSpace(const std::string &image, const std::string &view)
{
    Space s;
    s.segments.push_back({image, 0, view.size()});
    s.bytes = view;
    if (image == "firmImage0.bin") {
        for (std::size_t at : kImage0Packages)
            if (auto p = readPackage(s.bytes, at))
                s.packages.push_back(*p);
    } else if (image == "firmImage2.bin") {
        s.packages = readChain(s.bytes);
    }
    return s;
}

// The HDD series 1..`files` as one chain.
Space hddSpace(const std::map<std::string, std::string> &views, int files)
{
    Space s;
    s.chain = true;
    for (int n = 1; n <= files; ++n) {
        const std::string &v = views.at(std::to_string(n));
        s.segments.push_back({std::to_string(n), s.bytes.size(), v.size()});
        s.bytes += v;
    }
    s.packages = readChain(s.bytes);
    return s;
}

// The coordinate spaces: each image alone, the HDD series as one chain.
std::vector<Space> spacesOf(const std::map<std::string, std::string> &views, int hddFiles)
{
    std::vector<Space> spaces;
    for (const char *image : {"firmImage0.bin", "firmImage1.bin", "firmImage2.bin"})
        if (auto it = views.find(image); it != views.end())
            spaces.push_back(imageSpace(it->first, it->second));
    if (hddFiles > 0)
        spaces.push_back(hddSpace(views, hddFiles));
    return spaces;
}

// Where a file of `s` is cut, by offset in the file: around each package's
// start and end and in the middle of its data.
std::map<std::size_t, std::string> cutPoints(const Space &s, const Space::Segment &seg)
{
    std::map<std::size_t, std::string> cuts;
    auto add = [&](std::size_t boundary, const std::string &label) {
        for (long d = -2; d <= 2; ++d) {
            const long pos = static_cast<long>(boundary) + d;
            if (pos >= static_cast<long>(seg.base) && pos < static_cast<long>(seg.base + seg.length))
                cuts.emplace(static_cast<std::size_t>(pos) - seg.base, label + offsetText(d));
        }
    };
    for (std::size_t i = 0; i < s.packages.size(); ++i) {
        const auto &p = s.packages[i];
        add(p.start, "package " + std::to_string(i + 1) + " start");
        add(p.end, "package " + std::to_string(i + 1) + " end");
        const std::size_t mid = (p.dataStart + p.dataEnd) / 2;
        if (mid >= seg.base && mid < seg.base + seg.length)
            cuts.emplace(mid - seg.base, "package " + std::to_string(i + 1) + " data middle");
    }
    return cuts;
}

Damage cut(const Space &s, const Space::Segment &seg, std::size_t at, const std::string &label)
{
    Damage d;
    d.kind = "cut";
    d.name = shown(seg.file) + " cut at " + std::to_string(at) + " (" + label + ")";
    d.edits.push_back({Edit::Op::cut, seg.file, at, "", ""});
    // A cut of an image that cuts no package leaves those after it absent,
    // which an image may be: only a cut package shows.
    const std::size_t cutAt = seg.base + at;
    const bool cutsPackage = std::any_of(s.packages.begin(), s.packages.end(),
                                         [cutAt](const auto &p) { return p.start < cutAt && cutAt < p.end; });
    const bool image = seg.file == "firmImage0.bin" || seg.file == "firmImage2.bin";
    if (image && !cutsPackage &&
        (seg.file != "firmImage0.bin" || s.packages.size() == std::size(kImage0Packages))) {
        const std::size_t lastEnd = s.packages.empty() ? 0 : s.packages.back().end;
        d.detectable = false;
        d.why = at >= lastEnd ? "image content after the last package: no package covers it"
                              : "image cut between packages: those after it are absent, as an "
                                "image's packages may be";
    }
    return d;
}

// Cuts, file by file.
void addCuts(const Space &s, std::vector<Damage> &out)
{
    for (const auto &seg : s.segments)
        for (const auto &[at, label] : cutPoints(s, seg))
            out.push_back(cut(s, seg, at, label));
}

// Header value `key` of package `i` with its last character changed.
Damage valueChanged(const Space &s, std::size_t i, const std::string &key, const std::string &kind)
{
    const auto &[at, value] = s.packages[i].values.at(key);
    std::string changed = value;
    changed.back() = changedChar(changed.back());
    Damage d;
    d.kind = kind;
    d.name = s.where(i, at) + " " + key + " " + printable(value) + " -> " + printable(changed);
    s.patch(d, at + value.size() - 1, changed.substr(changed.size() - 1));
    return d;
}

// Header lines and values, package by package.
void addHeaderEdits(const Space &s, std::vector<Damage> &out)
{
    for (std::size_t i = 0; i < s.packages.size(); ++i) {
        const auto &p = s.packages[i];
        Damage d;
        d.kind = "datastart";
        d.name = s.where(i, p.dataStart - 10) + " DATASTART line -> DATASTARX";
        s.patch(d, p.dataStart - 2, "X");
        out.push_back(std::move(d));
        for (const char *key : {"EXPANDEDSIZE", "COMPRESSEDSIZE"}) {
            auto v = p.values.find(key);
            if (v != p.values.end() && !v->second.second.empty() && isDigit(v->second.second.back()))
                out.push_back(valueChanged(s, i, key, "size"));
        }
    }
}

// Which of `count` packages get a bit flipped: all of them, or `maxFlips`
// drawn from `rng` in ascending order.
std::vector<std::size_t> flipSample(std::size_t count, std::size_t maxFlips, std::mt19937 &rng)
{
    std::vector<std::size_t> chosen(count);
    std::iota(chosen.begin(), chosen.end(), 0);
    if (chosen.size() > maxFlips) {
        // A partial Fisher-Yates shuffle with the engine's own numbers:
        // the same seed draws the same packages on every platform.
        for (std::size_t k = 0; k < maxFlips; ++k)
            std::swap(chosen[k], chosen[k + rng() % (chosen.size() - k)]);
        chosen.resize(maxFlips);
        std::sort(chosen.begin(), chosen.end());
    }
    return chosen;
}

// One bit of package `i`'s data flipped, the byte and bit drawn from `rng`.
Damage bitFlip(const Space &s, std::size_t i, std::mt19937 &rng)
{
    const auto &p = s.packages[i];
    const std::size_t at = p.dataStart + rng() % (p.dataEnd - p.dataStart);
    const unsigned bit = rng() % 8;
    std::string data = s.bytes.substr(p.dataStart, p.dataEnd - p.dataStart);
    const std::string before = data;
    data[at - p.dataStart] = static_cast<char>(data[at - p.dataStart] ^ (1u << bit));
    Damage d;
    d.kind = "bit";
    auto [seg, local] = s.locate(at);
    d.name = s.where(i, at) + " data: bit " + std::to_string(bit) + " of byte " + std::to_string(local) +
             (s.chain ? " of file " + seg->file : "") + " flipped";
    s.patch(d, at, std::string(1, data[at - p.dataStart]));
    const auto a = inflated(before), b = inflated(data);
    if (a && b && *a == *b) {
        d.detectable = false;
        d.why = "the flipped bit is one the expansion never reads: the content is the same";
    }
    return d;
}

// One bit flipped in each package's data; a seeded sample when there are
// more packages than `maxFlips`.
void addBitFlips(const std::vector<Space> &spaces, std::uint32_t seed, std::size_t maxFlips,
                 std::vector<Damage> &out)
{
    std::vector<std::pair<const Space *, std::size_t>> all;
    for (const Space &s : spaces)
        for (std::size_t i = 0; i < s.packages.size(); ++i)
            if (s.packages[i].dataEnd > s.packages[i].dataStart)
                all.emplace_back(&s, i);
    // One engine for the sample and then the flips, in this order.
    std::mt19937 rng(seed);
    for (std::size_t c : flipSample(all.size(), maxFlips, rng))
        out.push_back(bitFlip(*all[c].first, all[c].second, rng));
}

// The HDD series: each file dropped, each two neighbours swapped.
void addHddDropsAndSwaps(int hddFiles, std::vector<Damage> &out)
{
    for (int n = 1; n <= hddFiles; ++n) {
        Damage d;
        d.kind = "drop";
        d.name = "HDD file " + std::to_string(n) + " dropped";
        d.edits.push_back({Edit::Op::drop, std::to_string(n), 0, "", ""});
        out.push_back(std::move(d));
    }
    for (int n = 1; n < hddFiles; ++n) {
        Damage d;
        d.kind = "swap";
        d.name = "HDD files " + std::to_string(n) + " and " + std::to_string(n + 1) + " swapped";
        d.edits.push_back({Edit::Op::swap, std::to_string(n), 0, "", std::to_string(n + 1)});
        out.push_back(std::move(d));
    }
}

// Byte `at` of an image, outside its packages, changed.
void addContent(const Space &s, std::size_t at, const std::string &where, std::vector<Damage> &out)
{
    if (at >= s.bytes.size())
        return;
    Damage d;
    d.kind = "content";
    d.name = s.segments.front().file + " byte " + std::to_string(at) + " changed (" + where + ")";
    s.patch(d, at, std::string(1, static_cast<char>(s.bytes[at] ^ 0xFF)));
    d.detectable = false;
    d.why = "image content outside packages: no package covers it";
    out.push_back(std::move(d));
}

// The text value `key` of package `i` changed.
void addText(const Space &s, std::size_t i, const char *key, std::vector<Damage> &out)
{
    if (i >= s.packages.size())
        return;
    auto v = s.packages[i].values.find(key);
    if (v == s.packages[i].values.end() || v->second.second.empty())
        return;
    Damage d = valueChanged(s, i, key, "text");
    d.detectable = false;
    d.why = "a header's text value: nothing in the package format checks it";
    out.push_back(std::move(d));
}

// A few changes the package format cannot show, so that the category is
// seen: image content outside packages, a header's text value.
void addHidden(const Space &s, std::vector<Damage> &out)
{
    const std::string &file = s.segments.front().file;
    if (file == "firmImage0.bin") {
        addContent(s, 0x1000, "before the packages", out);
        addText(s, 0, "COMMENT", out);
    } else if (file == "firmImage1.bin") {
        addContent(s, 0x100, "after the version head", out);
    } else if (file == "firmImage2.bin") {
        addText(s, 0, "VERSION", out);
    } else if (s.chain) {
        addText(s, s.packages.size() > 1 ? 1 : 0, "DBNAME", out);
    }
}

} // namespace

std::string pairSwapped(const std::string &bytes)
{
    const std::size_t n = bytes.size();
    std::string out(n + n % 2, '\0');
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        out[i] = bytes[i + 1];
        out[i + 1] = bytes[i];
    }
    if (n % 2 != 0) {
        out[n - 1] = '\xFF';
        out[n] = bytes[n - 1];
    }
    return out;
}

std::optional<PackageSpan> readPackage(const std::string &v, std::size_t at)
{
    // An image shorter than a fixed package offset has no package there.
    if (at >= v.size())
        return std::nullopt;
    PackageSpan p;
    p.start = at;
    std::size_t pos = at;
    while (v.compare(pos, 10, "DATASTART\n") != 0) {
        const std::size_t lf = v.find('\n', pos);
        if (lf == std::string::npos || lf == pos || lf - at > kHeaderBytesMax)
            return std::nullopt;
        const std::string key = v.substr(pos, lf - pos);
        if (key.find('\0') != std::string::npos)
            return std::nullopt;
        const std::size_t nul = v.find('\0', lf + 1);
        if (nul == std::string::npos || nul - at > kHeaderBytesMax)
            return std::nullopt;
        p.values[key] = {lf + 1, v.substr(lf + 1, nul - lf - 1)};
        pos = nul + 1;
    }
    p.dataStart = pos + 10;
    auto size = p.values.find("COMPRESSEDSIZE");
    if (size == p.values.end() || size->second.second.empty() || size->second.second.size() > 9 ||
        !std::all_of(size->second.second.begin(), size->second.second.end(), isDigit))
        return std::nullopt;
    p.dataEnd = p.dataStart + std::stoul(size->second.second);
    p.end = p.dataEnd + 2;
    if (p.end > v.size() || v.compare(p.dataEnd, 2, "\r\n") != 0)
        return std::nullopt;
    return p;
}

std::vector<PackageSpan> readChain(const std::string &v, std::size_t at)
{
    std::vector<PackageSpan> chain;
    while (at < v.size()) {
        auto p = readPackage(v, at);
        if (!p)
            break;
        at = p->end;
        chain.push_back(std::move(*p));
    }
    return chain;
}

MediaImage::MediaImage(const fs::path &media) : media_(media)
{
    std::error_code ec;
    folder_ = fs::is_directory(media / "fwstore", ec) ? fs::path("fwstore") : fs::path();
    const fs::path files = media / folder_;
    auto take = [&](const std::string &name) {
        const fs::path file = files / name;
        if (!fs::is_regular_file(fs::symlink_status(file, ec)))
            return false;
        if (fs::file_size(file, ec) > kFileBytesMax)
            throw std::runtime_error(file.string() + " is larger than any file a session loads (" +
                                     std::to_string(kFileBytesMax >> 20) + " MiB)");
        views_[name] = pairSwapped(readWhole(file));
        return true;
    };
    for (const char *image : {"firmImage0.bin", "firmImage1.bin", "firmImage2.bin"})
        take(image);
    while (hddFiles_ < kHddFilesMax && take(std::to_string(hddFiles_ + 1)))
        ++hddFiles_;
    if (views_.empty())
        throw std::runtime_error("no update file (firmImage0.bin ... or the HDD files 1, 2, ...) in " +
                                 files.string());
}

void MediaImage::writeCopy(const fs::path &dir) const
{
    // What the media hold besides the update files goes along as it is:
    // folders, files and links; a FIFO or a device is no part of media.
    const fs::path files = folder_.empty() ? media_ : media_ / folder_;
    fs::create_directories(dir);
    for (auto it = fs::recursive_directory_iterator(media_); it != fs::recursive_directory_iterator(); ++it) {
        const fs::path to = dir / it->path().lexically_relative(media_);
        const auto st = it->symlink_status();
        if (fs::is_directory(st))
            fs::create_directories(to);
        else if (fs::is_symlink(st))
            fs::copy_symlink(it->path(), to);
        else if (fs::is_regular_file(st) &&
                 !(it->path().parent_path() == files && views_.count(it->path().filename().string())))
            fs::copy_file(it->path(), to);
    }
    fs::create_directories(dir / folder_);
    for (const auto &[name, view] : views_)
        writeWhole(dir / folder_ / name, pairSwapped(view));
}

std::map<std::string, std::string> MediaImage::damagedViews(const Damage &d,
                                                            std::vector<std::string> &removed) const
{
    std::map<std::string, std::string> changed;
    auto viewOf = [&](const std::string &f) -> std::string & {
        auto it = changed.find(f);
        if (it == changed.end())
            it = changed.emplace(f, views_.at(f)).first;
        return it->second;
    };
    for (const Edit &e : d.edits) {
        switch (e.op) {
        case Edit::Op::cut:
            viewOf(e.file).resize(std::min(e.at, viewOf(e.file).size()));
            break;
        case Edit::Op::patch:
            viewOf(e.file).replace(e.at, e.bytes.size(), e.bytes);
            break;
        case Edit::Op::drop:
            changed.erase(e.file);
            removed.push_back(e.file);
            break;
        case Edit::Op::swap: {
            std::string a = viewOf(e.file), b = viewOf(e.other);
            changed[e.file] = std::move(b);
            changed[e.other] = std::move(a);
            break;
        }
        }
    }
    return changed;
}

void MediaImage::writeDamaged(const Damage &damage, const fs::path &pristine, const fs::path &dir) const
{
    std::vector<std::string> removed;
    const auto changed = damagedViews(damage, removed);
    const fs::path folder = folder_.empty() ? pristine : pristine / folder_;
    fs::create_directories(dir);
    for (auto it = fs::recursive_directory_iterator(pristine); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::path rel = it->path().lexically_relative(pristine);
        const fs::path to = dir / rel;
        const auto st = it->symlink_status();
        if (fs::is_directory(st)) {
            fs::create_directories(to);
            continue;
        }
        if (it->path().parent_path() == folder) {
            const std::string name = it->path().filename().string();
            if (changed.count(name) || std::find(removed.begin(), removed.end(), name) != removed.end())
                continue;
        }
        if (fs::is_symlink(st)) {
            fs::copy_symlink(it->path(), to);
            continue;
        }
        // A link costs nothing and leaves the pristine copy as it is: the
        // media are read-only to the session, and a damaged file is always
        // written anew, never through a link.
        std::error_code ec;
        fs::create_hard_link(it->path(), to, ec);
        if (ec)
            fs::copy_file(it->path(), to);
    }
    for (const auto &[name, view] : changed)
        writeWhole(dir / folder_ / name, pairSwapped(view));
}

bool MediaImage::hddChainCleanPrefix(const std::map<std::string, std::string> &changed,
                                     const std::vector<std::string> &removed, std::string &why) const
{
    std::string series, original;
    for (int n = 1; n <= hddFiles_; ++n) {
        const std::string name = std::to_string(n);
        original += views_.at(name);
    }
    for (int n = 1; n <= hddFiles_; ++n) {
        const std::string name = std::to_string(n);
        if (std::find(removed.begin(), removed.end(), name) != removed.end())
            break;
        auto it = changed.find(name);
        series += it != changed.end() ? it->second : views_.at(name);
    }
    const auto was = readChain(original), is = readChain(series);
    if (is.empty() || is.size() >= was.size())
        return false;
    for (std::size_t i = 0; i < is.size(); ++i)
        if (is[i].start != was[i].start || is[i].end != was[i].end ||
            series.compare(is[i].start, is[i].end - is[i].start, original, was[i].start,
                           was[i].end - was[i].start) != 0)
            return false;
    const std::string rest = series.substr(is.back().end);
    if (!(std::all_of(rest.begin(), rest.end(), [](char c) { return c == '\0'; }) ||
          std::all_of(rest.begin(), rest.end(), [](char c) { return c == '\xFF'; })))
        return false;
    why = "the HDD chain ends cleanly after package " + std::to_string(is.size()) + " of " +
          std::to_string(was.size()) + ": nothing in the package format shows that the rest is missing";
    return true;
}

std::vector<Damage> MediaImage::damages(std::uint32_t seed, std::size_t maxFlips) const
{
    const std::vector<Space> spaces = spacesOf(views_, hddFiles_);
    std::vector<Damage> out;
    for (const Space &s : spaces)
        addCuts(s, out);
    for (const Space &s : spaces)
        addHeaderEdits(s, out);
    addBitFlips(spaces, seed, maxFlips, out);
    addHddDropsAndSwaps(hddFiles_, out);
    // A cut, drop or swap that leaves the HDD chain a clean prefix of
    // itself is one the format cannot show.
    for (Damage &d : out)
        if (d.detectable && (d.kind == "cut" || d.kind == "drop" || d.kind == "swap") &&
            hddName(d.edits.front().file)) {
            std::vector<std::string> removed;
            const auto changed = damagedViews(d, removed);
            d.detectable = !hddChainCleanPrefix(changed, removed, d.why);
        }
    // Undetectable by construction, listed last.
    for (const Space &s : spaces)
        addHidden(s, out);
    return out;
}

} // namespace dlrun
