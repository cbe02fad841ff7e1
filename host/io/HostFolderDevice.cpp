#include "host/io/HostFolderDevice.h"

#include "host/Console.h"
#include "host/io/DevicePath.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#ifdef SYS_openat2
#include <linux/openat2.h>
#endif

namespace fs = std::filesystem;

namespace host {

namespace {

// Read-ahead of a host file: one-byte reads must not each cost a system call.
constexpr std::size_t kReadAhead = 64 * 1024;

// base + offset, or -1 when it would overflow or fall before the start.
long addOffset(long base, long offset)
{
    long result = 0;
    if (__builtin_add_overflow(base, offset, &result) || result < 0)
        return -1;
    return result;
}

class HostFile final : public OpenFile {
public:
    HostFile(int fd, std::shared_ptr<std::uint64_t> writes) : fd_(fd), writes_(std::move(writes)) {}
    ~HostFile() override { ::close(fd_); }
    HostFile(const HostFile &) = delete;
    HostFile &operator=(const HostFile &) = delete;

    long read(char *buffer, std::size_t n) override
    {
        std::size_t done = 0;
        while (done < n) {
            if (!cached()) {
                if (n - done >= kReadAhead) {
                    long got = readThrough(buffer + done, n - done);
                    return got < 0 && done == 0 ? -1 : static_cast<long>(done) + std::max(got, 0L);
                }
                long got = fill();
                if (got < 0)
                    return done == 0 ? -1 : static_cast<long>(done);
                if (got == 0)
                    break;
            }
            std::size_t k = std::min(n - done, static_cast<std::size_t>(cacheEnd_ - pos_));
            std::memcpy(buffer + done, cache_.get() + (pos_ - cacheStart_), k);
            done += k;
            pos_ += static_cast<long>(k);
        }
        return static_cast<long>(done);
    }

    long write(const char *buffer, std::size_t n) override
    {
        ++*writes_;
        std::size_t done = 0;
        while (done < n) {
            ssize_t w = ::pwrite(fd_, buffer + done, n - done, pos_ + static_cast<long>(done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                break;
            done += static_cast<std::size_t>(w);
        }
        pos_ += static_cast<long>(done);
        return done == 0 && n != 0 ? -1 : static_cast<long>(done);
    }

    long seek(long offset, int whence) override
    {
        long base = whence == iof::kSeekSet   ? 0
                    : whence == iof::kSeekCur ? pos_
                    : whence == iof::kSeekEnd ? size()
                                              : -1;
        if (base < 0)
            return -1;
        long to = addOffset(base, offset);
        if (to >= 0)
            pos_ = to;
        return to;
    }

    long size() const override
    {
        // A size the host's long cannot hold is no size at all, never a
        // wrapped one.
        off_t whole = hostSize();
        return whole > std::numeric_limits<long>::max() ? -1 : static_cast<long>(whole);
    }

private:
    off_t hostSize() const
    {
        struct stat st {};
        return ::fstat(fd_, &st) == 0 ? st.st_size : -1;
    }

    bool cached() const { return cacheGeneration_ == *writes_ && pos_ >= cacheStart_ && pos_ < cacheEnd_; }

    long fill()
    {
        if (!cache_)
            cache_ = std::make_unique<char[]>(kReadAhead);
        cacheStart_ = cacheEnd_ = pos_;
        cacheGeneration_ = *writes_;
        long got = readAt(cache_.get(), kReadAhead, pos_);
        if (got > 0)
            cacheEnd_ = pos_ + got;
        return got;
    }

    // Asks the host for no more than the file holds: a caller may state a
    // count larger than its buffer when it knows the file is shorter, and
    // an emulated host checks the whole stated range before reading.
    long readThrough(char *buffer, std::size_t n)
    {
        // The whole size, even one a 32-bit long cannot state: the start of
        // a file too large to size still reads as on the device.
        off_t end = hostSize();
        if (end < 0)
            return -1;
        if (end <= pos_)
            return 0;
        auto left = static_cast<std::uint64_t>(end - pos_);
        long got = readAt(buffer, static_cast<std::size_t>(std::min<std::uint64_t>(n, left)), pos_);
        if (got > 0)
            pos_ += got;
        return got;
    }

    long readAt(char *buffer, std::size_t n, long at) const
    {
        std::size_t done = 0;
        while (done < n) {
            ssize_t r = ::pread(fd_, buffer + done, n - done, at + static_cast<long>(done));
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0 && done == 0)
                return -1;
            if (r <= 0)
                break;
            done += static_cast<std::size_t>(r);
        }
        return static_cast<long>(done);
    }

    int fd_;
    long pos_ = 0;
    std::shared_ptr<std::uint64_t> writes_;
    std::unique_ptr<char[]> cache_;
    long cacheStart_ = 0;
    long cacheEnd_ = 0;
    std::uint64_t cacheGeneration_ = 0;
};

} // namespace

HostFolderDevice::HostFolderDevice(std::string name, const fs::path &folder, bool readOnly, Console &console)
    : Device(std::move(name)), readOnly_(readOnly), console_(console),
      writes_(std::make_shared<std::uint64_t>(0))
{
    std::error_code ec;
    root_ = fs::weakly_canonical(fs::absolute(folder, ec), ec);
    if (ec)
        root_ = fs::absolute(folder).lexically_normal();
}

HostFolderDevice::~HostFolderDevice() = default;

void HostFolderDevice::report(std::string_view rest, std::string_view why)
{
    std::string line = "io: refused \"";
    line += name();
    line += rest;
    line += "\": ";
    line += why;
    console_.report(line);
}

bool HostFolderDevice::refuseChange(std::string_view what, std::string_view rest)
{
    report(rest, std::string(name()) + " is read-only (" + std::string(what) + ")");
    return false;
}

bool HostFolderDevice::inside(const fs::path &canonical) const
{
    auto t = canonical.begin();
    for (auto r = root_.begin(); r != root_.end(); ++r, ++t)
        if (t == canonical.end() || *r != *t)
            return false;
    return true;
}

std::optional<fs::path> HostFolderDevice::hostPath(std::string_view rest, bool followLast, bool quiet)
{
    auto refuse = [&](std::string_view why) {
        if (!quiet)
            report(rest, why);
        return std::nullopt;
    };
    DeviceName name = splitDeviceName(rest);
    if (name.refusal)
        return refuse(name.refusal);
    // Built one component at a time from device names (never by appending
    // the rest as a host path, which an absolute path would replace), each
    // link resolved and checked as it comes.
    fs::path p = root_;
    for (std::size_t i = 0; i < name.parts.size(); ++i) {
        fs::path next = p / name.parts[i];
        std::error_code ec;
        fs::file_status st = fs::symlink_status(next, ec);
        if (!fs::exists(st)) {
            // Nothing below a missing name exists either.
            for (std::size_t j = i + 1; j < name.parts.size(); ++j)
                next /= name.parts[j];
            return next;
        }
        bool last = i + 1 == name.parts.size();
        if (fs::is_symlink(st) && (!last || followLast)) {
            fs::path target = fs::canonical(next, ec);
            if (ec)
                return refuse("a symbolic link on the way leads nowhere");
            if (!inside(target))
                return refuse("a symbolic link leads out of the device's folder, to " + target.string());
            next = target;
        }
        p = std::move(next);
    }
    return p;
}

int HostFolderDevice::openWithoutLinks(std::string_view rest, int hostFlags)
{
#ifdef SYS_openat2
    if (noOpenat2_)
        return -1;
    DeviceName name = splitDeviceName(rest);
    if (name.refusal)
        return -1;
    // The root is canonical and the names hold no "." or "..": a path with
    // no link anywhere on it lies where its names say, inside the folder.
    fs::path p = root_;
    for (const auto &part : name.parts)
        p /= part;
    open_how how{};
    how.flags = static_cast<std::uint64_t>(hostFlags);
    how.mode = (hostFlags & O_CREAT) ? 0666 : 0;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd = ::syscall(SYS_openat2, AT_FDCWD, p.c_str(), &how, sizeof how);
    if (fd < 0 && errno == ENOSYS)
        noOpenat2_ = true; // an older kernel, or qemu-user
    return fd < 0 ? -1 : static_cast<int>(fd);
#else
    (void)rest;
    (void)hostFlags;
    return -1;
#endif
}

std::unique_ptr<OpenFile> HostFolderDevice::open(std::string_view rest, int flags, int /*mode*/)
{
    int access = flags & iof::kAccMode;
    if (access == iof::kAccMode)
        return nullptr;
    bool changes = access != iof::kRdOnly || (flags & (iof::kCreat | iof::kTrunc));
    int hostFlags = access == iof::kRdOnly ? O_RDONLY : access == iof::kWrOnly ? O_WRONLY : O_RDWR;
    if (flags & iof::kCreat)
        hostFlags |= O_CREAT;
    if (flags & iof::kTrunc)
        hostFlags |= O_TRUNC;
    // No link is followed at the last step (it was resolved above), and a
    // pipe in the folder must not block the machine.
    hostFlags |= O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = changes && readOnly_ ? -1 : openWithoutLinks(rest, hostFlags);
    if (fd < 0) {
        // Links, refusals and failures take the walk, which resolves each
        // link and reports what it refuses.
        auto p = hostPath(rest, true);
        if (!p)
            return nullptr;
        if (changes && readOnly_) {
            refuseChange("open for writing", rest);
            return nullptr;
        }
        fd = ::open(p->c_str(), hostFlags, 0666);
        if (fd < 0)
            return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<HostFile>(fd, writes_);
}

bool HostFolderDevice::remove(std::string_view rest)
{
    auto p = hostPath(rest, false);
    if (!p)
        return false;
    if (readOnly_)
        return refuseChange("remove", rest);
    std::error_code ec;
    fs::file_status st = fs::symlink_status(*p, ec);
    if (*p == root_ || !fs::exists(st) || fs::is_directory(st))
        return false;
    return ::unlink(p->c_str()) == 0;
}

bool HostFolderDevice::makeDirectory(std::string_view rest)
{
    auto p = hostPath(rest, false);
    if (!p)
        return false;
    if (readOnly_)
        return refuseChange("mkdir", rest);
    return *p != root_ && ::mkdir(p->c_str(), 0777) == 0;
}

std::optional<std::vector<DirEntry>> HostFolderDevice::list(std::string_view rest)
{
    auto p = hostPath(rest, true);
    std::error_code ec;
    if (!p || !fs::is_directory(*p, ec))
        return std::nullopt;
    std::vector<DirEntry> entries;
    for (fs::directory_iterator it(*p, ec), end; !ec && it != end; it.increment(ec)) {
        fs::path entry = it->path();
        std::error_code sec;
        if (fs::is_symlink(fs::symlink_status(entry, sec))) {
            // A link that leads out of the folder is not part of the device.
            fs::path target = fs::canonical(entry, sec);
            if (sec || !inside(target))
                continue;
            entry = target;
        }
        DirEntry e;
        e.name = it->path().filename().string();
        e.isDirectory = fs::is_directory(entry, sec);
        if (!e.isDirectory) {
            auto size = fs::file_size(entry, sec);
            e.size = sec ? 0 : static_cast<long>(std::min<std::uintmax_t>(size, LONG_MAX));
        }
        entries.push_back(std::move(e));
    }
    if (ec)
        return std::nullopt;
    // The host's order is arbitrary; the same folder must list the same way.
    std::sort(entries.begin(), entries.end(),
              [](const DirEntry &a, const DirEntry &b) { return a.name < b.name; });
    return entries;
}

bool HostFolderDevice::isDirectory(std::string_view rest)
{
    int fd = openWithoutLinks(rest, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    auto p = hostPath(rest, true);
    std::error_code ec;
    return p && fs::is_directory(*p, ec);
}

bool HostFolderDevice::sameFile(std::string_view a, std::string_view b)
{
    // Quiet: the caller goes on to open both and reports there.
    auto pa = hostPath(a, true, true);
    auto pb = pa ? hostPath(b, true, true) : std::nullopt;
    std::error_code ec;
    return pb && fs::equivalent(*pa, *pb, ec);
}

} // namespace host
