#include "tools/media/OutputFolder.h"

#include "tools/media/Checksums.h"
#include "tools/media/PairSwap.h"
#include "tools/media/Parallel.h"
#include "tools/media/Spool.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <span>
#include <utility>

namespace media {

namespace fs = std::filesystem;

namespace {

// A folder of its own inside the output folder, removed with what it holds.
class StagingFolder {
public:
    explicit StagingFolder(const fs::path &parent)
    {
        std::string pattern = (parent / ".mkmedia-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw MediaIoError("cannot write in " + parent.string());
        path_ = pattern;
    }
    ~StagingFolder()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    StagingFolder(const StagingFolder &) = delete;
    StagingFolder &operator=(const StagingFolder &) = delete;
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

// Removes the output folder again, when this run made it and it stays empty.
class MadeFolder {
public:
    MadeFolder(fs::path dir, bool made) : dir_(std::move(dir)), made_(made) {}
    ~MadeFolder()
    {
        std::error_code ec;
        if (made_ && !kept_)
            fs::remove(dir_, ec);
    }
    MadeFolder(const MadeFolder &) = delete;
    MadeFolder &operator=(const MadeFolder &) = delete;
    void keep() { kept_ = true; }

private:
    fs::path dir_;
    bool made_;
    bool kept_ = false;
};

// Renames and folder creations that are undone in reverse on failure.
class Transaction {
public:
    Transaction() = default;
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;
    ~Transaction()
    {
        if (!committed_)
            rollback();
    }

    void move(const fs::path &from, const fs::path &to)
    {
        fs::rename(from, to);
        steps_.push_back({from, to});
    }
    void makeFolder(const fs::path &dir)
    {
        fs::create_directory(dir);
        steps_.push_back({fs::path(), dir});
    }
    void commit() { committed_ = true; }

private:
    void rollback() noexcept
    {
        std::error_code ec;
        for (auto it = steps_.rbegin(); it != steps_.rend(); ++it) {
            if (it->first.empty())
                fs::remove(it->second, ec);
            else
                fs::rename(it->second, it->first, ec);
        }
    }

    std::vector<std::pair<fs::path, fs::path>> steps_; // (from, to); empty from: made folder
    bool committed_ = false;
};

std::vector<std::string> allMediaNames()
{
    std::vector<std::string> names(std::begin(layout::kImageNames), std::end(layout::kImageNames));
    for (std::size_t n = 1; n <= layout::kMaxHddFiles; ++n)
        names.push_back(std::to_string(n));
    return names;
}

// The checksum list and its signatures: those of earlier media sign what
// is replaced, so they go with it.
std::vector<std::string> allListNames()
{
    std::vector<std::string> names = {layout::kChecksumList};
    names.insert(names.end(), std::begin(layout::kChecksumSignatures), std::end(layout::kChecksumSignatures));
    return names;
}

// Files of `names` already in `folder`.
std::vector<std::string> oldMedia(const fs::path &folder,
                                  const std::vector<std::string> &names = allMediaNames())
{
    std::vector<std::string> found;
    for (const std::string &name : names) {
        std::error_code ec;
        auto status = fs::symlink_status(folder / name, ec);
        if (!fs::exists(status))
            continue;
        if (fs::is_directory(status))
            throw MediaIoError((folder / name).string() + " is a folder, where a media file goes");
        found.push_back(name);
    }
    return found;
}

void requireOnlyMedia(const fs::path &folder)
{
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(folder, ec)) {
        std::string name = entry.path().filename().string();
        if (!isMediaName(name) || entry.is_directory())
            throw MediaIoError(folder.string() + " holds " + name +
                               ", and the module would read media from that folder; "
                               "remove it or write with \"folder\": \"fwstore\"");
    }
    if (ec)
        throw MediaIoError("cannot read " + folder.string() + ": " + ec.message());
}

// Writes the file as stored and returns the SHA-256 of what was written,
// hashed on the way out rather than read back.
std::string writeFile(const fs::path &file, const MediaFile &media)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    Sha256 digest;
    if (media.spool) {
        media.spool->copySwapped(media.from, media.to, out,
                                 [&digest](std::span<const std::uint8_t> piece) { digest.update(piece); });
    } else {
        Bytes stored = pairSwap(media.content);
        out.write(reinterpret_cast<const char *>(stored.data()), static_cast<std::streamsize>(stored.size()));
        digest.update(stored);
    }
    out.close();
    if (!out)
        throw MediaIoError("cannot write " + file.string());
    return digest.hex();
}

void writeText(const fs::path &file, const std::string &text)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw MediaIoError("cannot write " + file.string());
}

// Makes the output folder when it is missing; true when this run made it.
bool makeOutputFolder(const fs::path &dir)
{
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec))
        throw MediaIoError(dir.string() + " is not a folder");
    const bool made = fs::create_directories(dir, ec);
    if (ec)
        throw MediaIoError("cannot make " + dir.string() + ": " + ec.message());
    return made;
}

// What the output folder holds before it is written, and where the new
// files go: all of it is checked before anything is written.
struct Plan {
    fs::path model;  // the model folder
    fs::path target; // where the media files go
    bool modelExists = false;
    bool dropModel = false; // a model folder the new media do without
    std::vector<std::string> old, oldList;
};

Plan planFor(const fs::path &dir, const MediaSet &media)
{
    Plan plan;
    std::error_code ec;
    plan.model = dir / layout::kModelFolder;
    const auto modelStatus = fs::symlink_status(plan.model, ec);
    plan.modelExists = fs::exists(modelStatus);
    if (media.modelFolder && plan.modelExists && !fs::is_directory(modelStatus))
        throw MediaIoError(plan.model.string() + " is not a folder");
    plan.dropModel = !media.modelFolder && fs::is_directory(modelStatus);
    if (plan.dropModel)
        requireOnlyMedia(plan.model);
    plan.target = media.modelFolder ? plan.model : dir;
    if (plan.modelExists || !media.modelFolder)
        plan.old = oldMedia(plan.target);
    plan.oldList = oldMedia(dir, allListNames());
    return plan;
}

// A media file's path in the checksum list, from the top of the media.
std::string listedPath(const MediaSet &media, const MediaFile &file)
{
    return media.modelFolder ? std::string(layout::kModelFolder) + "/" + file.name : file.name;
}

// Writes every media file and the checksum list into `fresh`.
void writeFresh(const fs::path &fresh, const MediaSet &media, unsigned jobs)
{
    // The files are independent: written (and hashed) several at once.
    std::vector<std::pair<std::string, std::string>> sums(media.files.size());
    orderedParallel<std::string>(
        media.files.size(), std::min<unsigned>(jobsFor(jobs), static_cast<unsigned>(media.files.size())),
        AheadLimit{media.files.size(), SIZE_MAX},
        [&](std::size_t i) { return writeFile(fresh / media.files[i].name, media.files[i]); },
        [&](std::size_t i, std::string &&digest) {
            sums[i] = {std::move(digest), listedPath(media, media.files[i])};
        },
        [](const std::string &) { return std::size_t{0}; });
    writeText(fresh / layout::kChecksumList, checksumList(sums));
}

// Moves what the new media replace into `aside` and the new files from
// `fresh` in their place, all or nothing; returns the paths written.
std::vector<std::string> moveIn(const fs::path &dir, const Plan &plan, const MediaSet &media,
                                const fs::path &fresh, const fs::path &aside)
{
    const fs::path listAside = aside / "list";
    std::vector<std::string> written;
    Transaction tx;
    if (media.modelFolder && !plan.modelExists)
        tx.makeFolder(plan.model);
    for (const std::string &name : plan.old)
        tx.move(plan.target / name, aside / name);
    for (const std::string &name : plan.oldList)
        tx.move(dir / name, listAside / name);
    if (plan.dropModel)
        tx.move(plan.model, aside / layout::kModelFolder);
    for (const MediaFile &file : media.files) {
        tx.move(fresh / file.name, plan.target / file.name);
        written.push_back(listedPath(media, file));
    }
    tx.move(fresh / layout::kChecksumList, dir / layout::kChecksumList);
    written.push_back(layout::kChecksumList);
    tx.commit();
    return written;
}

} // namespace

std::vector<std::string> writeMedia(const fs::path &dir, const MediaSet &media, unsigned jobs)
{
    MadeFolder madeFolder(dir, makeOutputFolder(dir));
    const Plan plan = planFor(dir, media);

    StagingFolder staging(dir);
    const fs::path fresh = staging.path() / "new", aside = staging.path() / "old";
    try {
        fs::create_directory(fresh);
        fs::create_directory(aside);
        fs::create_directory(aside / "list");
        writeFresh(fresh, media, jobs);
        std::vector<std::string> written = moveIn(dir, plan, media, fresh, aside);
        madeFolder.keep();
        return written;
    } catch (const fs::filesystem_error &e) {
        throw MediaIoError("cannot write the media in " + dir.string() + ": " + e.what());
    }
}

} // namespace media
