#include "tools/inspect/Checksums.h"

#include "host/machine/Digest.h"
#include "tools/media/Media.h"
#include "tools/media/Parallel.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <map>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace inspect {

namespace {

namespace fs = std::filesystem;

constexpr const char *kList = media::layout::kChecksumList;
// A list of 35 media files takes about 3 KiB; anything past this is no list.
constexpr std::size_t kMaxListBytes = 1 << 20;
// The module states file sizes in 32 bits: a larger file is no media file
// (inspect names it), and hashing gigabytes would only hold the report up.
constexpr std::uintmax_t kMaxHashedBytes = INT32_MAX;
constexpr std::size_t kReadPiece = 1 << 20;

// Bytes a reader should see as they are: control and non-ASCII bytes as
// \xNN, so a name can neither break a line of the report nor its JSON.
std::string printable(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            static constexpr char kDigits[] = "0123456789ABCDEF";
            out += "\\x";
            out += kDigits[c >> 4];
            out += kDigits[c & 0x0F];
        }
    }
    return out;
}

bool isHex(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

std::string lower(std::string s)
{
    for (char &c : s)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// A name written with sha256sum's escapes (a line starting with '\'):
// "\\", "\n" and "\r". False for any other escape.
bool unescape(std::string &name)
{
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '\\') {
            out += name[i];
            continue;
        }
        if (++i == name.size())
            return false;
        switch (name[i]) {
        case '\\':
            out += '\\';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            return false;
        }
    }
    name = std::move(out);
    return true;
}

struct Line {
    std::string digest; // lowercase
    std::string path;   // as listed
};

// One line as `sha256sum -c` reads it: "<64 hex>  <path>" (or " *" for
// binary mode, or one blank), or the tagged form "SHA256 (<path>) = <64
// hex>"; a line starting with '\' has an escaped name. Hex in either case.
std::optional<Line> parseLine(std::string_view text)
{
    bool escaped = !text.empty() && text.front() == '\\';
    if (escaped)
        text.remove_prefix(1);
    Line line;
    constexpr std::string_view kTag = "SHA256 (", kTagEnd = ") = ";
    if (text.starts_with(kTag)) {
        auto end = text.rfind(kTagEnd);
        if (end == std::string_view::npos || end < kTag.size())
            return std::nullopt;
        line.path = std::string(text.substr(kTag.size(), end - kTag.size()));
        line.digest = std::string(text.substr(end + kTagEnd.size()));
    } else {
        if (text.size() < 66 || text[64] != ' ')
            return std::nullopt;
        line.digest = std::string(text.substr(0, 64));
        std::size_t from = text[65] == ' ' || text[65] == '*' ? 66 : 65;
        line.path = std::string(text.substr(from));
    }
    if (line.digest.size() != 64 || !isHex(line.digest) || line.path.empty())
        return std::nullopt;
    if (escaped && !unescape(line.path))
        return std::nullopt;
    line.digest = lower(line.digest);
    return line;
}

const char *kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

// `inner` is `root` or lies below it (both canonical).
bool within(const fs::path &inner, const fs::path &root)
{
    return std::mismatch(root.begin(), root.end(), inner.begin(), inner.end()).first == root.end();
}

// What reading a file inside the media folder came to.
struct Read {
    std::optional<std::string> digest; // when hashed
    const char *code = nullptr;        // otherwise, the problem
    std::string why;
};

// Hashes `rel` below `root` (canonical), never following a link out of it
// and never opening anything but a regular file of a 32-bit size.
Read hashFile(const fs::path &root, const fs::path &rel)
{
    std::error_code ec;
    const fs::path real = fs::canonical(root / rel, ec);
    if (ec) {
        if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory)
            return {std::nullopt, checksum::kMissing, "is missing"};
        return {std::nullopt, checksum::kUnchecked, "cannot be read: " + ec.message()};
    }
    if (!within(real, root))
        return {std::nullopt, checksum::kOutside, "leads out of the media folder through a link; not read"};
    struct stat st {};
    if (::stat(real.c_str(), &st) != 0)
        return {std::nullopt, checksum::kUnchecked, std::string("cannot be read: ") + std::strerror(errno)};
    if (!S_ISREG(st.st_mode))
        return {std::nullopt, checksum::kUnchecked, std::string("is ") + kindOf(st.st_mode) + ", not a file"};
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxHashedBytes)
        return {std::nullopt, checksum::kUnchecked,
                "has " + std::to_string(st.st_size) + " bytes, more than a 32-bit file size; not hashed"};
    int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return {std::nullopt, checksum::kUnchecked, std::string("cannot be read: ") + std::strerror(errno)};
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return {std::nullopt, checksum::kUnchecked, "changed while it was read"};
    }
    host::Sha256Stream digest;
    std::vector<unsigned char> piece(kReadPiece);
    std::uintmax_t total = 0;
    for (;;) {
        ssize_t n = ::read(fd, piece.data(), piece.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            return {std::nullopt, checksum::kUnchecked, std::string("cannot be read: ") + std::strerror(err)};
        }
        if (n == 0)
            break;
        digest.update(piece.data(), static_cast<std::size_t>(n));
        // A file that grows while it is read is held to the same bound.
        if ((total += static_cast<std::uintmax_t>(n)) > kMaxHashedBytes) {
            ::close(fd);
            return {std::nullopt, checksum::kUnchecked, "grew past a 32-bit file size while it was read"};
        }
    }
    ::close(fd);
    return {digest.hex(), nullptr, {}};
}

// The list's bytes, or why it cannot be used.
std::optional<std::string> readList(const fs::path &root, std::string &why)
{
    std::error_code ec;
    const fs::path real = fs::canonical(root / kList, ec);
    if (ec) {
        why = "cannot be read: " + ec.message();
        return std::nullopt;
    }
    if (!within(real, root)) {
        why = "leads out of the media folder through a link; not read";
        return std::nullopt;
    }
    struct stat st {};
    if (::stat(real.c_str(), &st) != 0) {
        why = std::string("cannot be read: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        why = std::string("is ") + kindOf(st.st_mode) + ", not a list";
        return std::nullopt;
    }
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxListBytes) {
        why = "holds " + std::to_string(st.st_size) + " bytes, more than the " +
              std::to_string(kMaxListBytes) + " a list of media files needs; not read";
        return std::nullopt;
    }
    int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        why = std::string("cannot be read: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                why = std::string("cannot be read: ") + std::strerror(errno);
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxListBytes) {
            why = "grew past " + std::to_string(kMaxListBytes) + " bytes while it was read";
            break;
        }
    }
    ::close(fd);
    if (!why.empty())
        return std::nullopt;
    return text;
}

bool isListOrSignature(const std::string &name)
{
    if (name == kList)
        return true;
    for (const char *sig : media::layout::kChecksumSignatures)
        if (name == sig)
            return true;
    return false;
}

// The files of the folders the module reads: the top of the media folder
// (but the list and its signatures) and fwstore/, by path from the top.
// Folders are not files; a link counts as the file it is.
std::vector<std::string> mediaFolderFiles(const fs::path &root)
{
    std::vector<std::string> found;
    auto scan = [&](const fs::path &folder, const std::string &prefix) {
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            std::error_code ignored;
            if (fs::is_directory(it->status(ignored)))
                continue;
            if (prefix.empty() && isListOrSignature(name))
                continue;
            found.push_back(prefix + name);
        }
    };
    scan(root, "");
    std::error_code ec;
    if (fs::is_directory(root / media::layout::kModelFolder, ec))
        scan(root / media::layout::kModelFolder, std::string(media::layout::kModelFolder) + "/");
    std::sort(found.begin(), found.end());
    return found;
}

// One line of the list, as far as it could be taken before any hashing:
// a problem already, or a file to hash and compare.
struct Slot {
    std::size_t line = 0;
    std::optional<Problem> problem;
    std::string rel;    // the listed path, normalized
    std::string digest; // as listed
};

Problem listProblem(const char *code, std::string what, const std::string &file)
{
    return Problem{code, std::string(kList) + " " + std::move(what), printable(file), 0};
}

// Takes one line of the list into `slot`: the file to hash, or why it is
// none. `firstLine` holds the line each path was first listed on.
void takeLine(Slot &slot, std::string_view raw, std::map<std::string, std::size_t> &firstLine)
{
    const std::string where = "line " + std::to_string(slot.line) + ": ";
    auto line = parseLine(raw);
    if (!line) {
        constexpr std::size_t kShown = 48;
        slot.problem =
            listProblem(checksum::kMalformed,
                        where + "not a checksum line (\"<64 hex digits>  <path>\"): \"" +
                            printable(raw.substr(0, kShown)) + (raw.size() > kShown ? "...\"" : "\""),
                        kList);
        return;
    }
    const fs::path path(line->path);
    const std::string shown = printable(line->path);
    if (path.is_absolute()) {
        slot.problem = listProblem(checksum::kOutside, where + shown + " is absolute; not read", line->path);
        return;
    }
    if (std::any_of(path.begin(), path.end(), [](const fs::path &part) { return part == ".."; })) {
        slot.problem = listProblem(
            checksum::kOutside,
            where + shown + " goes through \"..\"; not read (a listed path stays below the media folder)",
            line->path);
        return;
    }
    slot.rel = path.lexically_normal().generic_string();
    if (auto [it, fresh] = firstLine.emplace(slot.rel, slot.line); !fresh) {
        slot.problem = listProblem(checksum::kMalformed,
                                   where + "lists " + printable(slot.rel) + " again (first on line " +
                                       std::to_string(it->second) + ")",
                                   slot.rel);
        return;
    }
    slot.digest = line->digest;
}

// The list's lines but blank ones and comments, as sha256sum -c passes
// over them.
std::vector<Slot> readSlots(const std::string &text, std::map<std::string, std::size_t> &firstLine,
                            ChecksumCheck &out)
{
    std::vector<Slot> slots;
    std::size_t number = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t nl = text.find('\n', at);
        std::string_view raw(text.data() + at, (nl == std::string::npos ? text.size() : nl) - at);
        at = nl == std::string::npos ? text.size() : nl + 1;
        ++number;
        if (raw.ends_with('\r'))
            raw.remove_suffix(1);
        if (raw.empty() || raw.front() == '#')
            continue;
        Slot &slot = slots.emplace_back();
        slot.line = number;
        takeLine(slot, raw, firstLine);
        if (!slot.problem)
            ++out.summary.listed;
    }
    return slots;
}

// What hashing a slot's file came to: a match, or a problem of its own.
void judgeRead(Slot &slot, Read &&read, ChecksumCheck &out)
{
    if (read.digest)
        out.digests[slot.rel] = *read.digest;
    const std::string where = "line " + std::to_string(slot.line) + ": " + printable(slot.rel);
    if (read.digest && *read.digest == slot.digest)
        ++out.summary.matching;
    else if (read.digest)
        slot.problem =
            listProblem(checksum::kMismatch,
                        where + " differs from the list (its SHA-256 " + read.digest->substr(0, 16) +
                            "..., listed " + slot.digest.substr(0, 16) + "...)",
                        slot.rel);
    else
        slot.problem = listProblem(read.code, where + " " + read.why, slot.rel);
}

// The files are hashed several at once; what they come to is taken in the
// list's order.
void hashSlots(const fs::path &root, std::vector<Slot> &slots, ChecksumCheck &out)
{
    std::vector<std::size_t> toHash;
    for (std::size_t i = 0; i < slots.size(); ++i)
        if (!slots[i].problem)
            toHash.push_back(i);
    media::orderedParallel<Read>(
        toHash.size(), std::min<unsigned>(media::jobsFor(0), static_cast<unsigned>(toHash.size())),
        media::AheadLimit{toHash.size(), SIZE_MAX},
        [&](std::size_t k) { return hashFile(root, slots[toHash[k]].rel); },
        [&](std::size_t k, Read &&read) { judgeRead(slots[toHash[k]], std::move(read), out); },
        [](const Read &) { return std::size_t{0}; });
}

void check(const fs::path &root, const std::string &text, ChecksumCheck &out)
{
    std::map<std::string, std::size_t> firstLine;
    std::vector<Slot> slots = readSlots(text, firstLine, out);
    hashSlots(root, slots, out);
    for (Slot &slot : slots)
        if (slot.problem)
            out.problems.push_back(std::move(*slot.problem));
    for (const std::string &file : mediaFolderFiles(root))
        if (!firstLine.count(file))
            out.problems.push_back(
                listProblem(checksum::kUnlisted,
                            "does not list " + printable(file) + ", which the media folder holds", file));
}

} // namespace

std::optional<ChecksumCheck> checkChecksums(const fs::path &mediaDir)
{
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(mediaDir / kList, ec)))
        return std::nullopt;
    ChecksumCheck out;
    try {
        const fs::path root = fs::canonical(mediaDir);
        for (const char *sig : media::layout::kChecksumSignatures)
            if (fs::exists(fs::symlink_status(root / sig, ec)))
                out.summary.signatures.push_back(sig);
        std::string why;
        if (auto text = readList(root, why))
            check(root, *text, out);
        else
            out.problems.push_back({checksum::kListUnreadable, std::string(kList) + ": " + why, kList, 0});
    } catch (const std::exception &e) {
        out.problems.push_back(
            {checksum::kListUnreadable, std::string(kList) + ": cannot be checked: " + e.what(), kList, 0});
    }
    return out;
}

} // namespace inspect
