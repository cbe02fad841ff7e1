#include "host/io/IoSystem.h"

#include "host/Console.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>

namespace host {

namespace {

// The current directory of every task.
constexpr std::string_view kCurrentDirectory = "/TMP";

// Bytes moved per step by copy().
constexpr std::size_t kCopyChunk = 64 * 1024;

std::string quoted(std::string_view path)
{
    std::string s = "\"";
    s += path;
    s += '"';
    return s;
}

// Handles given out are looked up among those owned, so that a stale or
// made-up pointer is refused rather than followed.
template <class T>
auto findOwned(const std::vector<std::unique_ptr<T>> &owned, const T *p)
{
    return std::find_if(owned.begin(), owned.end(), [p](const auto &o) { return o.get() == p; });
}

} // namespace

// Listed at the first readdir: the module opens a folder only to learn that
// it exists far more often than it reads one, and a listing costs a look
// at every entry.
struct IoSystem::Dir {
    Device *device = nullptr;
    std::string rest;
    std::optional<std::vector<std::string>> names;
    std::size_t next = 0;
};

struct IoSystem::Stream {
    int fd = -1;
    bool canRead = false;
    bool canWrite = false;
    bool append = false;
    std::size_t pending = 0; // written bytes not yet in the file
    std::array<char, kStreamBuffer> buffer{};
};

IoSystem::IoSystem(Console &console) : console_(console) { fds_.resize(kMaxFiles); }

IoSystem::~IoSystem()
{
    // As a program's exit does: what streams still hold reaches the files.
    for (auto &s : streams_)
        flush(*s);
}

void IoSystem::dropStreams()
{
    for (auto &s : streams_)
        s->pending = 0;
}

bool IoSystem::addDevice(std::unique_ptr<Device> device)
{
    if (!device || device->name().empty() || this->device(device->name()))
        return false;
    devices_.push_back(std::move(device));
    return true;
}

Device *IoSystem::device(std::string_view name) const
{
    for (const auto &d : devices_)
        if (d->name() == name)
            return d.get();
    return nullptr;
}

Device *IoSystem::find(std::string_view name, std::string_view *rest) const
{
    Device *best = nullptr;
    for (const auto &d : devices_)
        if (name.starts_with(d->name()) && (!best || d->name().size() > best->name().size()))
            best = d.get();
    if (best) {
        if (rest)
            *rest = name.substr(best->name().size());
        return best;
    }
    Device *fallback = device(kCurrentDirectory);
    if (fallback && rest)
        *rest = name;
    return fallback;
}

Device *IoSystem::resolve(std::string_view path, std::string *rest) const
{
    std::string full;
    if (path.starts_with('/')) {
        full = path;
    } else {
        full = kCurrentDirectory;
        full += '/';
        full += path;
    }
    // The longest device name that ends at a boundary of the path: "/TMPX/a"
    // must not reach "/TMP".
    Device *best = nullptr;
    for (const auto &d : devices_) {
        const std::string &name = d->name();
        if (!std::string_view(full).starts_with(name))
            continue;
        bool boundary = name.ends_with('/') || full.size() == name.size() || full[name.size()] == '/';
        if (boundary && (!best || name.size() > best->name().size()))
            best = d.get();
    }
    if (best && rest)
        *rest = full.substr(best->name().size());
    return best;
}

Device *IoSystem::resolveFor(const char *call, std::string_view path, std::string *rest) const
{
    Device *d = resolve(path, rest);
    if (!d)
        console_.report(std::string("io: ") + call + " " + quoted(path) + ": no device serves this path");
    return d;
}

// --- descriptors -------------------------------------------------------------

bool IoSystem::valid(int fd) const { return slot(fd) != nullptr; }

int IoSystem::open(std::string_view path, int flags, int mode)
{
    int access = flags & iof::kAccMode;
    if (access == iof::kAccMode)
        return -1;
    std::string rest;
    Device *d = resolveFor("open", path, &rest);
    if (!d)
        return -1;
    auto free = std::find(fds_.begin() + 3, fds_.end(), nullptr);
    if (free == fds_.end()) {
        console_.report("io: open " + quoted(path) + ": all " + std::to_string(kMaxFiles) +
                        " descriptors are in use");
        return -1;
    }
    auto file = d->open(rest, flags, mode);
    if (!file)
        return -1;
    auto s = std::make_unique<Slot>();
    s->file = std::move(file);
    s->canRead = access != iof::kWrOnly;
    s->canWrite = access != iof::kRdOnly;
    s->path = path;
    *free = std::move(s);
    return static_cast<int>(free - fds_.begin());
}

int IoSystem::read(int fd, char *buffer, std::size_t n) { return read(fd, buffer, n, 0, nullptr); }

int IoSystem::write(int fd, const char *buffer, std::size_t n)
{
    Slot *s = slot(fd);
    if (!s || !s->canWrite || (!buffer && n))
        return -1;
    return static_cast<int>(s->file->write(buffer, std::min<std::size_t>(n, INT_MAX)));
}

const char *IoSystem::contiguous(int fd, std::size_t *size) const
{
    Slot *s = slot(fd);
    return s && s->canRead ? s->file->contiguous(size) : nullptr;
}

long IoSystem::lseek(int fd, long offset, int whence)
{
    Slot *s = slot(fd);
    if (!s || whence < iof::kSeekSet || whence > iof::kSeekEnd)
        return -1;
    long before = s->file->seek(0, iof::kSeekCur);
    long pos = s->file->seek(offset, whence);
    if (pos < 0)
        return -1;
    // The device's offsets are 32-bit: a position it cannot state fails,
    // as its file system would, and the file stays where it was.
    if (pos > kMaxOffset) {
        s->file->seek(before, iof::kSeekSet);
        return -1;
    }
    return pos;
}

int IoSystem::ioctl(int fd, int function, long arg)
{
    Slot *s = slot(fd);
    return s ? s->file->ioctl(function, arg) : -1;
}

int IoSystem::close(int fd)
{
    if (!slot(fd))
        return -1;
    fds_[static_cast<std::size_t>(fd)].reset();
    return 0;
}

std::string IoSystem::pathOf(int fd) const
{
    Slot *s = slot(fd);
    return s ? s->path : std::string();
}

void IoSystem::setTag(int fd, unsigned tag)
{
    if (Slot *s = slot(fd))
        s->tag = tag;
}

unsigned IoSystem::tag(int fd) const
{
    Slot *s = slot(fd);
    return s ? s->tag : 0;
}

// --- whole files and folders -------------------------------------------------

int IoSystem::remove(std::string_view path)
{
    std::string rest;
    Device *d = resolveFor("remove", path, &rest);
    return d && d->remove(rest) ? 0 : -1;
}

int IoSystem::copy(std::string_view from, std::string_view to)
{
    std::string fromRest, toRest;
    Device *src = resolveFor("copy", from, &fromRest);
    Device *dst = src ? resolveFor("copy", to, &toRest) : nullptr;
    if (!dst)
        return -1;
    auto in = src->open(fromRest, iof::kRdOnly, 0);
    if (!in)
        return -1;
    // Truncating the destination would destroy the source.
    if (src == dst && src->sameFile(fromRest, toRest))
        return 0;
    auto out = dst->open(toRest, iof::kWrOnly | iof::kCreat | iof::kTrunc, 0644);
    if (!out)
        return -1;
    std::vector<char> chunk(kCopyChunk);
    bool ok = true;
    for (;;) {
        long got = in->read(chunk.data(), chunk.size());
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        if (out->write(chunk.data(), static_cast<std::size_t>(got)) != got) {
            ok = false;
            break;
        }
    }
    out.reset();
    if (!ok) {
        // A half copy would pass for the whole file.
        dst->remove(toRest);
        return -1;
    }
    return 0;
}

int IoSystem::mkdir(std::string_view path)
{
    std::string rest;
    Device *d = resolveFor("mkdir", path, &rest);
    return d && d->makeDirectory(rest) ? 0 : -1;
}

bool IoSystem::isDirectory(std::string_view path) const
{
    std::string rest;
    Device *d = resolve(path, &rest);
    return d && d->isDirectory(rest);
}

std::optional<std::vector<DirEntry>> IoSystem::list(std::string_view path) const
{
    std::string rest;
    Device *d = resolve(path, &rest);
    if (!d)
        return std::nullopt;
    return d->list(rest);
}

// --- directories -------------------------------------------------------------

IoSystem::Dir *IoSystem::opendir(std::string_view path)
{
    std::string rest;
    Device *d = resolveFor("opendir", path, &rest);
    if (!d || !d->isDirectory(rest))
        return nullptr;
    if (dirs_.size() >= static_cast<std::size_t>(kMaxFiles)) {
        console_.report("io: opendir " + quoted(path) + ": " + std::to_string(kMaxFiles) +
                        " directories are open already");
        return nullptr;
    }
    auto dir = std::make_unique<Dir>();
    dir->device = d;
    dir->rest = std::move(rest);
    dirs_.push_back(std::move(dir));
    return dirs_.back().get();
}

const char *IoSystem::readdir(Dir *dir)
{
    if (findOwned(dirs_, dir) == dirs_.end())
        return nullptr;
    if (!dir->names) {
        // A folder gone since opendir reads as an empty one.
        auto entries = dir->device->list(dir->rest);
        dir->names.emplace();
        if (entries) {
            dir->names->reserve(entries->size());
            for (auto &e : *entries)
                dir->names->push_back(std::move(e.name));
        }
    }
    if (dir->next >= dir->names->size())
        return nullptr;
    return (*dir->names)[dir->next++].c_str();
}

int IoSystem::closedir(Dir *dir)
{
    auto it = findOwned(dirs_, dir);
    if (it == dirs_.end())
        return -1;
    dirs_.erase(it);
    return 0;
}

// --- buffered streams --------------------------------------------------------

IoSystem::Stream *IoSystem::stream(Stream *s) const
{
    return findOwned(streams_, s) == streams_.end() ? nullptr : s;
}

std::size_t IoSystem::drain(Stream &s)
{
    std::size_t n = s.pending;
    s.pending = 0;
    if (n == 0 || (s.append && lseek(s.fd, 0, iof::kSeekEnd) < 0))
        return 0;
    std::size_t done = 0;
    while (done < n) {
        int w = write(s.fd, s.buffer.data() + done, n - done);
        if (w <= 0)
            break; // what did not fit is lost, as on a full device
        done += static_cast<std::size_t>(w);
    }
    return done;
}

int IoSystem::flush(Stream &s)
{
    std::size_t n = s.pending;
    return drain(s) == n ? 0 : -1;
}

IoSystem::Stream *IoSystem::fopen(std::string_view path, std::string_view mode)
{
    if (mode.empty())
        return nullptr;
    bool plus = false;
    for (char c : mode.substr(1)) {
        if (c == '+')
            plus = true;
        else if (c != 'b')
            return nullptr;
    }
    int flags = 0;
    bool append = false;
    switch (mode[0]) {
    case 'r':
        flags = plus ? iof::kRdWr : iof::kRdOnly;
        break;
    case 'w':
        flags = (plus ? iof::kRdWr : iof::kWrOnly) | iof::kCreat | iof::kTrunc;
        break;
    case 'a':
        flags = (plus ? iof::kRdWr : iof::kWrOnly) | iof::kCreat;
        append = true;
        break;
    default:
        return nullptr;
    }
    int fd = open(path, flags, 0644);
    if (fd < 0)
        return nullptr;
    auto s = std::make_unique<Stream>();
    s->fd = fd;
    s->canRead = (flags & iof::kAccMode) != iof::kWrOnly;
    s->canWrite = (flags & iof::kAccMode) != iof::kRdOnly;
    s->append = append;
    streams_.push_back(std::move(s));
    return streams_.back().get();
}

std::size_t IoSystem::fread(void *buffer, std::size_t size, std::size_t count, Stream *s)
{
    if (!stream(s) || !s->canRead || size == 0 || count == 0 || !buffer)
        return 0;
    if (count > SIZE_MAX / size)
        return 0;
    if (flush(*s) != 0)
        return 0;
    std::size_t total = size * count;
    std::size_t done = 0;
    auto *out = static_cast<char *>(buffer);
    while (done < total) {
        int got = read(s->fd, out + done, total - done);
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done / size;
}

std::size_t IoSystem::fwrite(const void *buffer, std::size_t size, std::size_t count, Stream *s)
{
    if (!stream(s) || !s->canWrite || size == 0 || count == 0 || !buffer)
        return 0;
    if (count > SIZE_MAX / size)
        return 0;
    std::size_t total = size * count;
    const auto *in = static_cast<const char *>(buffer);
    std::size_t earlier = s->pending; // bytes of earlier calls still held
    std::size_t done = 0;
    while (done < total) {
        std::size_t k = std::min(total - done, s->buffer.size() - s->pending);
        std::memcpy(s->buffer.data() + s->pending, in + done, k);
        s->pending += k;
        done += k;
        if (s->pending == s->buffer.size()) {
            std::size_t held = s->pending;
            std::size_t wrote = drain(*s);
            if (wrote < held) // count only the items of this call that got through
                return (done - std::min(held - wrote, held - earlier)) / size;
            earlier = 0;
        }
    }
    return count;
}

int IoSystem::fseek(Stream *s, long offset, int whence)
{
    if (!stream(s) || flush(*s) != 0)
        return -1;
    return lseek(s->fd, offset, whence) < 0 ? -1 : 0;
}

long IoSystem::ftell(Stream *s)
{
    if (!stream(s))
        return -1;
    Slot *under = slot(s->fd);
    if (!under)
        return -1;
    long pos = s->append && s->pending ? under->file->size() : under->file->seek(0, iof::kSeekCur);
    if (pos < 0 || pos > kMaxOffset - static_cast<long>(s->pending))
        return -1;
    return pos + static_cast<long>(s->pending);
}

int IoSystem::fflush(Stream *s) { return stream(s) ? flush(*s) : -1; }

int IoSystem::fclose(Stream *s)
{
    if (!stream(s))
        return -1;
    int flushed = flush(*s);
    int closed = close(s->fd);
    streams_.erase(findOwned(streams_, s));
    return flushed == 0 && closed == 0 ? 0 : -1;
}

int IoSystem::fileno(Stream *s) const { return stream(s) ? s->fd : -1; }

} // namespace host
