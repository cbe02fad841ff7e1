#include "tools/inspect/ModuleReader.h"

#include "host/BoundMachine.h"
#include "host/Console.h"
#include "tools/inspect/Inflate.h"
#include "tools/media/Media.h"
#include "tools/media/Parallel.h"
#include "update/hdd/dlFirmHDDUpdate.h"
#include "update/session/dlFirmUpMain.h"
#include "update/staging/dlFirmUpSubFunction.h"
#include "update/version/dlFirmVersion.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace inspect {

namespace {

constexpr std::int64_t kImageArea = vx::DL_FROM_IMAGE_SIZE;
constexpr int kUiPackages = 3;
constexpr int kHddHeadBytes = vx::DL_SWAP_CHUNK;
// The HDD update task gives each part buffer this much room beyond the file
// and the remainder.
constexpr int kPartSlack = 128;
constexpr std::string_view kVersionTextName = "/ROM/sysDummy.txt";
// The version text is small; expanding more than this is no version text.
constexpr std::int64_t kVersionTextLimit = 1 << 20;

std::int64_t roundEven(std::int64_t n) { return n + (n & 1); }

// A value of the header, read as the module reads it, up to its NUL but
// never past the buffer.
std::string textAt(const char *p, const char *end)
{
    if (p == nullptr || p >= end)
        return {};
    return std::string(p, ::strnlen(p, static_cast<std::size_t>(end - p)));
}

std::string quote(std::string_view s) { return "\"" + std::string(s) + "\""; }

// An open file of the machine's I/O system.
class DeviceFile {
public:
    explicit DeviceFile(const std::string &path) : fd_(vx::open(path.c_str(), vx::O_RDONLY, 0)) {}
    ~DeviceFile()
    {
        if (fd_ >= 0)
            vx::close(fd_);
    }
    DeviceFile(const DeviceFile &) = delete;
    DeviceFile &operator=(const DeviceFile &) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // -1 when the device cannot state the size (beyond 32 bits).
    std::int64_t length() const
    {
        std::int64_t n = vx::lseek(fd_, 0, SEEK_END);
        vx::lseek(fd_, 0, SEEK_SET);
        return n;
    }

private:
    int fd_;
};

// Memory the module allocated and hands over.
struct ModuleFree {
    void operator()(char *p) const { vx::free(p); }
};
using ModuleBuffer = std::unique_ptr<char, ModuleFree>;

// What the module printed since the mark: its reason for stopping.
class ConsoleTail {
public:
    explicit ConsoleTail(const host::CapturedConsole &console)
        : console_(console), mark_(console.output().size())
    {}
    std::string lastLine() const
    {
        std::string_view s(console_.output());
        s.remove_prefix(std::min(mark_, s.size()));
        while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
            s.remove_suffix(1);
        auto nl = s.rfind('\n');
        return std::string(nl == std::string_view::npos ? s : s.substr(nl + 1));
    }

private:
    const host::CapturedConsole &console_;
    std::size_t mark_;
};

// The module's globals that reading touches, as they were before.
class ModuleStateGuard {
public:
    ModuleStateGuard() : folderFlag_(vx::dlupdateFolderCheckFlag), frwCheck_(vx::bootUpdateFRWCheck) {}
    ~ModuleStateGuard()
    {
        vx::dlupdateFolderCheckFlag = folderFlag_;
        vx::bootUpdateFRWCheck = frwCheck_;
    }
    ModuleStateGuard(const ModuleStateGuard &) = delete;
    ModuleStateGuard &operator=(const ModuleStateGuard &) = delete;

private:
    vx::INT32 folderFlag_;
    vx::INT32 frwCheck_;
};

struct Lookup {
    std::vector<vx::DL_DB_INFO> records;
    std::string endReason; // the lookup's last console line
    vx::DL_DB_END end{};   // whether it ended on a damaged package, and where
    bool damaged() const { return end.damage != vx::DL_DB_WHOLE; }
};

// The files the module makes in the RAM disk for its own work: a package
// expanded under one of these names overwrites it mid-session.
constexpr const char *kWorkingFiles[] = {
    vx::DL_TMP_TEMP_DB, vx::DL_TMP_HDD_BIN, vx::DL_TMP_FROM_BIN,  vx::DL_TMP_FROM_CHECK,   vx::DL_TMP_IMAGE0,
    vx::DL_TMP_IMAGE1,  vx::DL_TMP_IMAGE2,  vx::DL_TMP_SYS_DUMMY, vx::DL_TMP_PROGRESS_LOG,
};

// The file each unit of image 2 is rewritten from, by its COMMENT.
constexpr std::pair<std::string_view, const char *> kUnitFiles[] = {
    {"LASER_FIRM", vx::DL_TMP_LSR_FIRM},
    {"PFC_FIRM", vx::DL_TMP_PFC_FIRM},
    {"ENGINE_MAIN_FIRM", vx::DL_TMP_ENG_FIRM},
    {"SCANNER_FIRM", vx::DL_TMP_SCN_FIRM},
};

// The lookup's ordinary ends of a chain; any other end drops a package.
bool ordinaryChainEnd(const std::string &reason)
{
    return reason == "can not find start address" || reason == "serch end";
}

// Where a package's DBNAME must point for its target, checked by the
// returned reason (empty when the name is good).
enum class NameRule { Any, RamDisk, Disk };

// The engine side expands into files of the RAM disk; the loader writes to
// files inside a hard-disk partition. A name that is a folder, no name, or
// climbs out makes the expansion fail.
std::string badName(const std::string &name, NameRule rule)
{
    if (rule == NameRule::Any)
        return {};
    std::vector<std::string> parts;
    for (std::size_t at = 1; name.starts_with('/');) {
        std::size_t slash = name.find('/', at);
        parts.push_back(name.substr(at, slash == std::string::npos ? slash : slash - at));
        if (slash == std::string::npos)
            break;
        at = slash + 1;
    }
    for (const std::string &part : parts)
        if (part.empty() || part == "." || part == "..")
            return "does not name a file";
    if (parts.size() < 2)
        return "does not name a file";
    if (name.size() >= static_cast<std::size_t>(vx::DL_DB_NAME_SIZE))
        return "is longer than 255 characters";
    if (rule == NameRule::RamDisk) {
        if (parts.front() != "TMP" || parts.size() != 2)
            return "is not a file of the RAM disk /TMP";
        return {};
    }
    if (std::none_of(std::begin(media::layout::kPartitions), std::end(media::layout::kPartitions),
                     [&](const char *p) { return parts.front() == p; }))
        return "is not a file in a disk partition (/SYS, /ROM, /PRF, /UND)";
    return {};
}

using VersionTable = std::array<char, vx::DL_VERSION_TABLE_SIZE>;

std::string field(const VersionTable &table, int at)
{
    return textAt(table.data() + at, table.data() + at + vx::DL_VERSION_FIELD);
}

} // namespace

// One reading of the media: the module's buffers, kept while they are
// needed, and the report being filled.
class ModuleReader::Session {
public:
    Session(const host::CapturedConsole &console, const std::filesystem::path &dir, bool keepContent,
            const PackageSink &hddSink, const std::function<void(const std::string &)> &fileRead)
        : console_(console), dir_(dir), keepContent_(keepContent), hddSink_(hddSink), fileRead_(fileRead)
    {}

    Report run()
    {
        ModuleStateGuard guard;
        chooseFolder();
        readImage0();
        read(media::layout::kImageNames[0]);
        readImage1();
        read(media::layout::kImageNames[1]);
        readImage2();
        read(media::layout::kImageNames[2]);
        readHddFiles();
        readSystemVersion();
        judgeWhole();
        return std::move(r_);
    }

private:
    void read(const std::string &file) const
    {
        if (fileRead_)
            fileRead_(file);
    }

    // "/usbstor/0/fwstore/" when that folder exists, as the session driver
    // chooses; the HDD file check reads the same flag.
    void chooseFolder()
    {
        vx::DIR *d = vx::opendir("/usbstor/0/fwstore");
        r_.modelFolder = d != nullptr;
        if (d)
            vx::closedir(d);
        vx::dlupdateFolderCheckFlag = r_.modelFolder ? 1 : 0;
        prefix_ = r_.modelFolder ? "/usbstor/0/fwstore/" : "/usbstor/0/";
        r_.folder = (r_.modelFolder ? dir_ / "fwstore" : dir_).string();
    }

    // Every problem gets its code where it is found; `file` is the media
    // file's name ("" for the media as a whole), `package` counts from 1.
    void problem(const char *code, std::string text, std::string file = {}, int package = 0)
    {
        r_.problems.push_back({code, std::move(text), std::move(file), package});
    }
    // The media file a "where" names: "HDD file 3" is file "3".
    static std::string fileOf(const std::string &where)
    {
        const std::string hdd = "HDD file ";
        return where.rfind(hdd, 0) == 0 ? where.substr(hdd.size()) : where;
    }

    // The whole file through the module's memory reader, into a cleared
    // area of at least `minSize` bytes.
    // Nothing, with the problem said, for a file the module cannot stage:
    // one whose size does not fit 32 bits, or longer than the RAM disk
    // that every image is copied into first.
    std::optional<std::vector<char>> readSwapped(const DeviceFile &file, const std::string &name,
                                                 std::int64_t minSize, std::int64_t &placed)
    {
        std::int64_t length = file.length();
        if (length < 0) {
            problem("file-size-over-32-bits",
                    name + ": larger than a 32-bit file size; the module cannot measure it", fileOf(name));
            return std::nullopt;
        }
        if (length > vx::DL_RAMDISK_BYTES) {
            problem("file-over-ramdisk",
                    name + ": " + std::to_string(length) + " bytes, longer than the " +
                        std::to_string(vx::DL_RAMDISK_BYTES) + "-byte RAM disk it is staged in",
                    fileOf(name));
            return std::nullopt;
        }
        std::vector<char> area(static_cast<std::size_t>(std::max(minSize, roundEven(length))), 0);
        placed = vx::bootUsbReadMem_Swap(area.data(), file.fd());
        return area;
    }

    // `checked`: with the module's damage checks, as every reading but the
    // version text's head takes them.
    Lookup lookUp(char *buffer, std::int64_t size, int mode, int capacity, bool checked = true)
    {
        Lookup l;
        l.records.resize(static_cast<std::size_t>(capacity));
        ConsoleTail tail(console_);
        int n = vx::dlFirmGetDBInfoChecked(l.records.data(), buffer, static_cast<vx::INT32>(size), mode,
                                           capacity, checked ? &l.end : nullptr);
        l.records.resize(static_cast<std::size_t>(std::max(n, 0)));
        l.endReason = tail.lastLine();
        return l;
    }

    PackageReport package(const vx::DL_DB_INFO &rec, const char *buffer, const char *end, bool withLanguage,
                          bool keep, std::int64_t &streamBytes)
    {
        PackageReport p;
        p.dbName = textAt(rec.dbName, end);
        p.version = textAt(rec.version, end);
        p.comment = textAt(rec.comment, end);
        if (withLanguage)
            p.languageCode = textAt(rec.languageCode, end);
        p.offset = rec.dataStart - buffer;
        p.compressedSize = rec.compressedSize;
        p.expandedSize = rec.expandedSize;
        // the lookup counts only packages whose data lies in the buffer
        std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t *>(rec.dataStart),
                                           static_cast<std::size_t>(rec.compressedSize));
        InflateResult inflated = inflateData(data, rec.expandedSize, keep ? &p.content : nullptr);
        streamBytes = inflated.complete ? inflated.streamBytes : -1;
        p.inflates = inflated.complete && inflated.produced == rec.expandedSize;
        if (!inflated.error.empty())
            p.inflateNote = inflated.error;
        else if (inflated.produced > rec.expandedSize)
            p.inflateNote = "expands to more than " + std::to_string(rec.expandedSize) + " bytes";
        else if (!p.inflates)
            p.inflateNote = "expands to " + std::to_string(inflated.produced) + " bytes, not " +
                            std::to_string(rec.expandedSize);
        return p;
    }

    void addPackages(std::vector<PackageReport> &to, const Lookup &lookup, const char *buffer,
                     const char *end, bool withLanguage, const std::string &where,
                     NameRule rule = NameRule::Any)
    {
        // Packages inflate on every core; the report keeps their order. A
        // wide window keeps both busy past a large package.
        using Checked = std::pair<PackageReport, std::int64_t>; // and its stream's bytes
        const unsigned jobs = media::jobsFor(0);
        const bool sink = rule == NameRule::Disk && hddSink_;
        media::orderedParallel<Checked>(
            lookup.records.size(), jobs,
            media::AheadLimit{16 * static_cast<std::size_t>(jobs), std::size_t{64} << 20},
            [&](std::size_t i) {
                Checked c{PackageReport{}, -1};
                c.first =
                    package(lookup.records[i], buffer, end, withLanguage, keepContent_ || sink, c.second);
                return c;
            },
            [&](std::size_t i, Checked &&c) {
                PackageReport &p = c.first;
                const std::int64_t streamBytes = c.second;
                std::string which = where + ": package " + std::to_string(i + 1) + " " + p.dbName;
                if (!p.inflates)
                    problem("package-inflate", which + " does not inflate to its size: " + p.inflateNote,
                            fileOf(where), static_cast<int>(i + 1));
                // bytes behind the stream are a package the lookup skipped
                if (streamBytes >= 0 && streamBytes != p.compressedSize)
                    problem("package-stream-short",
                            which + ": its zlib stream ends after " + std::to_string(streamBytes) +
                                " of its COMPRESSEDSIZE " + std::to_string(p.compressedSize) + " bytes",
                            fileOf(where), static_cast<int>(i + 1));
                std::string why = badName(p.dbName, rule);
                if (!why.empty())
                    problem("package-bad-dbname", which + ": DBNAME " + quote(p.dbName) + " " + why,
                            fileOf(where), static_cast<int>(i + 1));
                if (std::any_of(std::begin(kWorkingFiles), std::end(kWorkingFiles),
                                [&](const char *f) { return p.dbName == f; }))
                    problem("package-dbname-working-file",
                            which + ": DBNAME " + quote(p.dbName) +
                                " is one of the module's own working files; expanding it there breaks the "
                                "session",
                            fileOf(where), static_cast<int>(i + 1));
                if (rule == NameRule::RamDisk)
                    for (const auto &[comment, file] : kUnitFiles)
                        if (p.comment == comment && p.dbName != file)
                            problem("image2-dbname-not-unit",
                                    which + ": COMMENT " + quote(p.comment) + " but DBNAME " +
                                        quote(p.dbName) + ", not " + quote(file) +
                                        ": the firmware would go to another unit",
                                    fileOf(where), static_cast<int>(i + 1));
                if (sink) {
                    hddSink_(p);
                    if (!keepContent_)
                        std::string().swap(p.content);
                }
                to.push_back(std::move(p));
            },
            [](const Checked &c) { return c.first.content.size(); });
    }

    // Image 0: the flash ROM image, read into the 8 MiB image area; the
    // fixed-offset lookup must find its three packages.
    void readImage0()
    {
        DeviceFile file(prefix_ + r_.image0.file);
        if (!file.isOpen())
            return;
        r_.image0.present = true;
        std::int64_t placed = 0;
        auto read = readSwapped(file, r_.image0.file, kImageArea, placed);
        if (!read)
            return;
        std::vector<char> &area = *read;
        r_.image0.bytes = placed;
        if (placed > kImageArea)
            problem("image0-too-long",
                    r_.image0.file + ": " + std::to_string(placed) +
                        " bytes, longer than the 8 MiB image area (" + std::to_string(kImageArea) + ")",
                    r_.image0.file);
        Lookup l = lookUp(area.data(), kImageArea, vx::DL_DB_FIXED, vx::DL_DB_TABLE_IMAGE);
        if (l.records.empty())
            problem("image0-no-packages",
                    r_.image0.file +
                        ": the fixed-offset lookup finds none of its 3 packages (the "
                        "module says " +
                        quote(l.endReason) + "): no flash image file is made, OS UI is not offered",
                    r_.image0.file);
        else if (l.damaged())
            problem("image0-damaged",
                    r_.image0.file + ": the package searched from offset " + std::to_string(l.end.offset) +
                        " is damaged (the module says " + quote(l.endReason) +
                        "): no flash image file is made, OS UI is not offered",
                    r_.image0.file, static_cast<int>(l.records.size()) + 1);
        else if (l.records.size() != kUiPackages)
            problem("image0-packages-missing",
                    r_.image0.file + ": the fixed-offset lookup finds " + std::to_string(l.records.size()) +
                        " of its 3 packages (the module says " + quote(l.endReason) + ")",
                    r_.image0.file);
        addPackages(r_.image0.packages, l, area.data(), area.data() + kImageArea, true, r_.image0.file);
        // the image area is zero past what the stick held: a package whose
        // data (and CR LF) runs past it is cut, and the image is not flashed
        bool cut = false;
        for (std::size_t i = 0; i < l.records.size() && !cut; ++i) {
            const vx::DL_DB_INFO &rec = l.records[i];
            if (rec.dataStart - area.data() + rec.compressedSize + 2 > placed) {
                cut = true;
                problem("image0-cut",
                        r_.image0.file + ": package " + std::to_string(i + 1) + " runs past the " +
                            std::to_string(placed) +
                            " bytes of the file: no flash image file is made, OS UI is not offered",
                        r_.image0.file, static_cast<int>(i + 1));
            }
        }
        image0Flashable_ = !l.records.empty() && !l.damaged() && !cut &&
                           std::all_of(r_.image0.packages.begin(), r_.image0.packages.end(),
                                       [](const PackageReport &p) { return p.inflates; });
        // the flash image file holds the area's upper half behind image 1
        std::copy_n(area.begin() + vx::DL_FROM_HALF_SIZE, upperHalfHead_.size(), upperHalfHead_.begin());
    }

    // Image 1: what precedes image 0 in the flash image file, with the
    // version head at its start.
    void readImage1()
    {
        DeviceFile file(prefix_ + r_.image1.file);
        if (!file.isOpen())
            return;
        r_.image1.present = true;
        std::int64_t placed = 0;
        auto read = readSwapped(file, r_.image1.file, 0, placed);
        if (!read)
            return;
        std::vector<char> &bytes = *read;
        r_.image1.bytes = placed;
        if (placed == 0)
            problem("image1-empty",
                    r_.image1.file + ": empty: image 0 would land at the start of the flash, so "
                                     "no flash image file is made",
                    r_.image1.file);
        r_.flashImageBytes = placed + kImageArea;
        if (*r_.flashImageBytes > kFlashAreaBytes)
            problem("flash-image-too-large",
                    "flash image file: " + std::to_string(*r_.flashImageBytes) +
                        " bytes (image 1 and the 8 MiB image area) do not fit the " +
                        std::to_string(kFlashAreaBytes) + "-byte flash area",
                    r_.image1.file);

        // the first 128 bytes of the flash image file, a NUL behind them
        head_.fill(0);
        std::size_t fromImage1 =
            std::min<std::size_t>(static_cast<std::size_t>(placed), vx::DL_VER_HEAD_SIZE);
        std::copy_n(bytes.begin(), fromImage1, head_.begin());
        // the flash image file continues into the image area's upper half;
        // without it the module reads image 1's head alone
        if (image0Flashable_)
            std::copy_n(upperHalfHead_.begin(), vx::DL_VER_HEAD_SIZE - fromImage1,
                        head_.begin() + static_cast<std::ptrdiff_t>(fromImage1));
        VersionTable table{};
        vx::dlFirmUsbVersionGet(table.data(), 0, nullptr, head_.data(), vx::DL_VER_HEAD);
        r_.image1Head = HeadReport{field(table, vx::DL_VT_FRW), field(table, vx::DL_VT_SYS)};
    }

    // Image 2: the engine and scanner packages, one after another.
    void readImage2()
    {
        DeviceFile file(prefix_ + r_.image2.file);
        if (!file.isOpen())
            return;
        r_.image2.present = true;
        std::int64_t placed = 0;
        auto read = readSwapped(file, r_.image2.file, 0, placed);
        if (!read)
            return;
        std::vector<char> &bytes = *read;
        r_.image2.bytes = placed;
        // a larger table than the module's, to count what it would drop
        Lookup l = lookUp(bytes.data(), placed, vx::DL_DB_CHAIN_WHOLE, vx::DL_DB_TABLE_HDD);
        if (l.records.size() > vx::DL_DB_TABLE_IMAGE)
            problem("image2-too-many-packages",
                    r_.image2.file + ": " + std::to_string(l.records.size()) +
                        " packages, more than the 16 the module's table holds",
                    r_.image2.file);
        if (!ordinaryChainEnd(l.endReason))
            problem("image2-chain-broken",
                    r_.image2.file + ": the chain breaks after package " + std::to_string(l.records.size()) +
                        " (the module says " + quote(l.endReason) + ")",
                    r_.image2.file, static_cast<int>(l.records.size()) + 1);
        addPackages(r_.image2.packages, l, bytes.data(), bytes.data() + placed, false, r_.image2.file,
                    NameRule::RamDisk);
    }

    // The HDD package files: the module's series check, then the loader's
    // walk, each file behind the remainder of the one before.
    void readHddFiles()
    {
        for (int n = 1; n <= vx::DL_HDD_FILES_MAX; ++n)
            if (DeviceFile(hddPath(n)).isOpen())
                r_.hddPresent.push_back(n);
        if (r_.hddPresent.empty())
            return;
        if (DeviceFile(hddPath(vx::DL_HDD_FILES_MAX + 1)).isOpen())
            problem("hdd-too-many-files",
                    "HDD file " + std::to_string(vx::DL_HDD_FILES_MAX + 1) + ": beyond the " +
                        std::to_string(vx::DL_HDD_FILES_MAX) +
                        " files the module loads: the HDD update fails",
                    std::to_string(vx::DL_HDD_FILES_MAX + 1));

        vx::INT32 count = 0;
        std::array<vx::INT32, vx::DL_HDD_FILES_MAX> sizes{};
        r_.hddSeries = vx::dlFirmUsbCheckHDD(&count, sizes.data()) == 0;
        int walk = r_.hddSeries ? count : seriesFromOne();
        if (!r_.hddSeries)
            problem("hdd-series-broken",
                    "HDD files: " + presentList() + " do not form a series from 1" + missingList());

        std::vector<char> remainder;
        r_.hddEveryFileEndsPackage = walk > 0;
        for (int n = 1; n <= walk; ++n) {
            HddFileReport file;
            file.number = n;
            file.bytes = sizes[static_cast<std::size_t>(n - 1)];
            file.carriedIn = static_cast<std::int64_t>(remainder.size());
            std::string where = "HDD file " + std::to_string(n);
            if ((file.bytes & 1) && n < walk)
                problem("hdd-odd-length",
                        where + ": odd length " + std::to_string(file.bytes) +
                            " but not the last file: its pad byte lands inside the chain",
                        std::to_string(n));
            if (!loadPart(file, remainder, where))
                r_.hddEveryFileEndsPackage = false;
            r_.hddFiles.push_back(std::move(file));
            read(std::to_string(n));
            if (hddDamaged_)
                return;
        }
        // after the last file only the chain's trailer may be left
        vx::INT32 lost =
            vx::dlFirmHddRemainderLost(remainder.data(), static_cast<vx::INT32>(remainder.size()));
        if (walk > 0 && lost > 0)
            problem("hdd-last-file-cut",
                    "HDD file " + std::to_string(walk) + ": the last file ends inside a package, " +
                        std::to_string(lost) + " bytes after its last complete package are never loaded",
                    std::to_string(walk));
    }

    std::string hddPath(int n) const { return prefix_ + std::to_string(n); }

    int seriesFromOne() const
    {
        int n = 0;
        while (n < static_cast<int>(r_.hddPresent.size()) && r_.hddPresent[n] == n + 1)
            ++n;
        return n;
    }

    std::string presentList() const
    {
        std::string s;
        for (int n : r_.hddPresent)
            s += (s.empty() ? "" : ", ") + std::to_string(n);
        return s;
    }

    std::string missingList() const
    {
        std::string s;
        for (int n = 1; n < r_.hddPresent.back(); ++n)
            if (std::find(r_.hddPresent.begin(), r_.hddPresent.end(), n) == r_.hddPresent.end())
                s += (s.empty() ? "" : ", ") + std::to_string(n);
        return s.empty() ? "" : " (missing: " + s + ")";
    }

    // One file as the HDD update task hands it to its loader; false when
    // the loader would fail on it.
    bool loadPart(HddFileReport &file, std::vector<char> &remainder, const std::string &where)
    {
        auto carried = static_cast<vx::INT32>(remainder.size());
        vx::INT32 length = static_cast<vx::INT32>(file.bytes) + carried + kPartSlack;
        ConsoleTail tail(console_);
        ModuleBuffer part(vx::bootUsbStrageTenkai_HDD(hddPath(file.number).c_str(), &length, carried));
        if (!part) {
            problem("hdd-file-unreadable",
                    where + ": cannot be read (the module says " + quote(tail.lastLine()) + ")",
                    fileOf(where));
            return false;
        }
        std::copy(remainder.begin(), remainder.end(), part.get());
        std::int64_t partLength = carried + length;
        // one record more than the loader's table, to see the table overflow
        if (lookUp(part.get(), partLength, vx::DL_DB_CHAIN, vx::DL_DB_TABLE_HDD + 1).records.size() >
            static_cast<std::size_t>(vx::DL_DB_TABLE_HDD))
            problem("hdd-part-table-full",
                    where + ": its part buffer holds more than the " + std::to_string(vx::DL_DB_TABLE_HDD) +
                        " packages of the loader's table; the rest is carried on",
                    fileOf(where));
        Lookup l = lookUp(part.get(), partLength, vx::DL_DB_CHAIN, vx::DL_DB_TABLE_HDD);
        if (l.damaged()) {
            problem("hdd-package-damaged",
                    where + ": the package at offset " + std::to_string(l.end.offset) +
                        " of its part buffer (" + std::to_string(carried) +
                        " bytes carried over, then the file) is damaged (the module says " +
                        quote(l.endReason) + "): the HDD update fails",
                    fileOf(where), static_cast<int>(l.records.size()) + 1);
            // the update ends here: what follows cannot be placed in the chain
            addPackages(file.packages, l, part.get(), part.get() + partLength, false, where, NameRule::Disk);
            remainder.clear();
            file.leftOver = partLength - l.end.offset;
            hddDamaged_ = true;
            return false;
        }
        if (l.records.empty()) {
            problem("hdd-file-no-package-end",
                    where + ": holds the end of no package, with the " + std::to_string(carried) +
                        " bytes carried over (the module says " + quote(l.endReason) + ")",
                    fileOf(where));
            // carry everything on, so that later files are still judged
            remainder.assign(part.get(), part.get() + partLength);
            file.leftOver = partLength;
            return false;
        }
        addPackages(file.packages, l, part.get(), part.get() + partLength, false, where, NameRule::Disk);
        const vx::DL_DB_INFO &last = l.records.back();
        std::int64_t consumed = last.dataStart + last.compressedSize - part.get();
        remainder.assign(part.get() + consumed, part.get() + partLength);
        file.leftOver = partLength - consumed;
        return true;
    }

    // The system version as staging finds it: the version text at the head
    // of HDD file 1, else the head of the flash image file.
    void readSystemVersion()
    {
        DeviceFile first(hddPath(1));
        if (!first.isOpen())
            return;
        VersionTable table{};
        std::pair<const char *, std::string> problemText = versionFromText(first, table);
        if (problemText.second.empty()) {
            r_.versionSource = VersionSource::VersionText;
        } else {
            problem(problemText.first, problemText.second, "1", 1);
            // the flash image file exists only when images 0 and 1 were staged
            if (!r_.image0.present || !r_.image1.present)
                return;
            vx::dlFirmUsbVersionGet(table.data(), 0, nullptr, head_.data(), vx::DL_VER_HEAD);
            r_.versionSource = VersionSource::Image1Head;
        }
        r_.systemVersion = field(table, vx::DL_VT_SYS);
        r_.frwTarget = field(table, vx::DL_VT_FRW);
        r_.romdataOk = r_.systemVersion.size() > 2 && r_.systemVersion[2] == 'R';
        if (!*r_.romdataOk)
            problem("romdata-mismatch", "ROMDATA mismatch: the system version " + quote(r_.systemVersion) +
                                            " does not have 'R' as its third character");
    }

    // Empty when the version text was read into the table; otherwise why not.
    std::pair<const char *, std::string> versionFromText(const DeviceFile &first, VersionTable &table)
    {
        std::vector<char> head(kHddHeadBytes, 0);
        vx::INT32 placed = vx::bootUsbReadMem_Swap_Size(head.data(), first.fd(), kHddHeadBytes);
        Lookup l = lookUp(head.data(), placed, vx::DL_DB_CHAIN, vx::DL_DB_TABLE_HDD_HEAD, false);
        // only the first package counts, as the module takes only that one
        if (!l.records.empty()) {
            vx::INT32 damage =
                vx::dlFirmDbCheck(&l.records.front(), head.data(), head.data() + placed, vx::DL_DB_CHAIN, 1);
            if (damage != vx::DL_DB_WHOLE)
                return {"version-text-damaged", std::string("HDD file 1: its first package is damaged: ") +
                                                    vx::dlFirmDbDamageText(damage)};
        }
        if (l.records.empty())
            return {"version-text-missing",
                    "HDD file 1: no package in its first 64 KiB, so no version text (the module "
                    "says " +
                        quote(l.endReason) + ")"};
        const vx::DL_DB_INFO &rec = l.records.front();
        std::string name = textAt(rec.dbName, head.data() + placed);
        if (name != kVersionTextName)
            return {"version-text-not-first", "HDD file 1: the first package is " + quote(name) +
                                                  ", not the version text " + std::string(kVersionTextName)};
        std::string text;
        InflateResult inflated = inflateData({reinterpret_cast<const std::uint8_t *>(rec.dataStart),
                                              static_cast<std::size_t>(rec.compressedSize)},
                                             kVersionTextLimit, &text);
        if (!inflated.complete)
            return {"version-text-inflate",
                    "HDD file 1: the version text does not inflate (" +
                        (inflated.error.empty() ? std::string("too long") : inflated.error) + ")"};
        for (const char *key : {"TARGET", "OEM_VER", "MAJOR", "MINOR", "SHIPPING"}) {
            std::array<char, vx::DL_VERSION_FIELD> value{};
            if (vx::dlFirmVersionTxtFindByKey(text.data(), key, value.data(),
                                              static_cast<int>(text.size())) != 0)
                problem("version-text-key-missing",
                        "HDD file 1: the version text has no " + std::string(key) + " line", "1", 1);
        }
        vx::dlFirmUsbVersionGet(table.data(), static_cast<int>(text.size()), l.records.data(), text.data(),
                                vx::DL_VER_TEXT);
        return {"", ""};
    }

    void judgeWhole()
    {
        if (!r_.image0.present && !r_.image1.present && !r_.image2.present && r_.hddPresent.empty())
            problem("no-media", "no update media: none of firmImage0.bin, firmImage1.bin, "
                                "firmImage2.bin, 1 ... 32 in " +
                                    r_.folder);
        if (r_.image0.present && !r_.image1.present)
            problem("image0-without-image1",
                    "firmImage0.bin without firmImage1.bin: the module builds no flash image "
                    "file from it",
                    r_.image0.file);
        if (r_.image1.present && !r_.image0.present)
            problem("image1-without-image0", "firmImage1.bin without firmImage0.bin: the module skips both",
                    r_.image1.file);
    }

    const host::CapturedConsole &console_;
    std::filesystem::path dir_;
    bool keepContent_;
    const PackageSink &hddSink_;
    const std::function<void(const std::string &)> &fileRead_;
    std::string prefix_;
    Report r_;
    std::array<char, vx::DL_VER_HEAD_SIZE> upperHalfHead_{};
    bool image0Flashable_ = false;                      // the module makes the flash image file
    bool hddDamaged_ = false;                           // the HDD update stops at a damaged package
    std::array<char, vx::DL_VER_HEAD_SIZE + 1> head_{}; // keeps a NUL after the head
};

ModuleReader::ModuleReader(const host::CapturedConsole &console, std::filesystem::path dir)
    : console_(console), dir_(std::move(dir))
{}

Report ModuleReader::read() { return Session(console_, dir_, keepContent_, hddSink_, onFileRead_).run(); }

host::MachineConfig readerConfig(const std::filesystem::path &media) { return {media, {}}; }

bool runReader(host::BoundMachine &m, const std::function<void()> &body)
{
    return m.runInTask(body, {.name = "tVerify", .forwardErrors = true}).returned();
}

ModuleVersion readVersion(host::BoundMachine &m, std::string text, int mode)
{
    std::array<char, vx::DL_VERSION_TABLE_SIZE> table{};
    int n = static_cast<int>(text.size());
    text.push_back('\0'); // the readers stop at a NUL
    runReader(m, [&] { vx::dlFirmUsbVersionGet(table.data(), n, nullptr, text.data(), mode); });
    auto field = [&table](int at) {
        return std::string(table.data() + at, ::strnlen(table.data() + at, vx::DL_VERSION_FIELD));
    };
    return {field(vx::DL_VT_SYS), field(vx::DL_VT_FRW)};
}

int stageAsSession(bool modelFolder)
{
    // Where the session driver looks for the images.
    vx::dlupdateFolderCheckFlag = modelFolder ? 1 : 0;
    std::string prefix = modelFolder ? "/usbstor/0/fwstore/" : "/usbstor/0/";
    std::strcpy(vx::firmImageFile0, (prefix + "firmImage0.bin").c_str());
    std::strcpy(vx::firmImageFile1, (prefix + "firmImage1.bin").c_str());
    std::strcpy(vx::firmImageFile2, (prefix + "firmImage2.bin").c_str());
    std::array<char, vx::DL_VERSION_TABLE_SIZE> table{};
    return vx::dlFirmUsbStrageTenkai(table.data());
}

} // namespace inspect
