// The host machine's I/O system: a device table resolved by the longest
// device name that begins a path, file descriptors, directories and
// buffered streams, with the device OS's flag values and results.
#pragma once

#include <climits>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class Console;

// Flag values of the device OS (not the host's).
namespace iof {
constexpr int kRdOnly = 0;
constexpr int kWrOnly = 1;
constexpr int kRdWr = 2;
constexpr int kAccMode = 3;
constexpr int kCreat = 0x200;
constexpr int kTrunc = 0x400;
constexpr int kSeekSet = 0;
constexpr int kSeekCur = 1;
constexpr int kSeekEnd = 2;
} // namespace iof

// One open file as a device serves it.
class OpenFile {
public:
    virtual ~OpenFile() = default;
    // Bytes read (0 at the end) or -1.
    virtual long read(char *buffer, std::size_t n) = 0;
    // Bytes written, possibly fewer than n (device full), or -1.
    virtual long write(const char *buffer, std::size_t n) = 0;
    // New position or -1.
    virtual long seek(long offset, int whence) = 0;
    virtual long size() const = 0;
    virtual int ioctl(int /*function*/, long /*arg*/) { return -1; }
    // The whole content when it lies in one run of memory, valid until the
    // file next changes; nullptr otherwise. Lets a reader skip a copy.
    virtual const char *contiguous(std::size_t * /*size*/) const { return nullptr; }
};

struct DirEntry {
    std::string name;
    bool isDirectory = false;
    long size = 0;
};

// A device of the I/O system. `rest` is the part of a path after the device
// name: "" or beginning with '/'. Devices refuse names that climb above
// their root, and report them.
class Device {
public:
    explicit Device(std::string name) : name_(std::move(name)) {}
    virtual ~Device() = default;
    const std::string &name() const { return name_; }

    // nullptr on failure (missing file, folder, read-only device, ...).
    virtual std::unique_ptr<OpenFile> open(std::string_view rest, int flags, int mode) = 0;
    virtual bool remove(std::string_view /*rest*/) { return false; }
    virtual bool makeDirectory(std::string_view /*rest*/) { return false; }
    // nullopt when rest is not a folder.
    virtual std::optional<std::vector<DirEntry>> list(std::string_view /*rest*/) { return std::nullopt; }
    virtual bool isDirectory(std::string_view /*rest*/) { return false; }
    // True when both names reach the same file (a copy onto itself).
    virtual bool sameFile(std::string_view a, std::string_view b) { return a == b; }

private:
    std::string name_;
};

class IoSystem {
public:
    // Descriptors 0..kMaxFiles-1 exist; 0, 1 and 2 are never handed out.
    static constexpr int kMaxFiles = 256;
    // A stream holds this many written bytes before they go to the file
    // (the device's BUFSIZ).
    static constexpr std::size_t kStreamBuffer = 1024;
    // The largest offset the device's 32-bit lseek and ftell can return.
    static constexpr long kMaxOffset = 0x7FFFFFFF;

    // Reports (escaping paths and the like) go to console's report stream.
    explicit IoSystem(Console &console);
    ~IoSystem();
    // The power went: what the streams hold is lost, not written.
    void dropStreams();
    IoSystem(const IoSystem &) = delete;
    IoSystem &operator=(const IoSystem &) = delete;

    // false when a device of that name exists already.
    bool addDevice(std::unique_ptr<Device> device);
    Device *device(std::string_view name) const;
    Console &console() const { return console_; }

    // iosDevFind: the device with the longest name that begins `name`, and
    // the unmatched rest. When none matches: the default device (the one of
    // the current directory, "/TMP", once it exists) with the whole name
    // as rest, or nullptr.
    Device *find(std::string_view name, std::string_view *rest) const;

    // The path as the OS would resolve it: a relative name is taken in the
    // current directory "/TMP". Returns the device (nullptr: no device) and
    // the rest within it.
    Device *resolve(std::string_view path, std::string *rest) const;

    // --- descriptors (3 and up) ---
    int open(std::string_view path, int flags, int mode);
    int read(int fd, char *buffer, std::size_t n);
    // read, n first passed through `shorten` when the descriptor's tag
    // holds a bit of `watch`.
    using Shorten = std::size_t (*)(IoSystem &io, int fd, std::size_t n);
    int read(int fd, char *buffer, std::size_t n, unsigned watch, Shorten shorten)
    {
        // The hot path, inline: a flash verification reads one byte per
        // call, so the watch and the read share one look-up. No std::min:
        // its reference arguments put a guarded temporary on the stack of
        // every call in the sanitizer builds.
        Slot *s = slot(fd);
        if (!s)
            return -1;
        if (s->tag & watch)
            n = shorten(*this, fd, n);
        if (!s->canRead || (!buffer && n))
            return -1;
        return static_cast<int>(s->file->read(buffer, n > INT_MAX ? std::size_t{INT_MAX} : n));
    }
    int write(int fd, const char *buffer, std::size_t n);
    long lseek(int fd, long offset, int whence);
    int ioctl(int fd, int function, long arg);
    // OpenFile::contiguous of a readable descriptor.
    const char *contiguous(int fd, std::size_t *size) const;
    int close(int fd);
    bool valid(int fd) const;
    // The path fd was opened as, "" for a bad descriptor.
    std::string pathOf(int fd) const;
    // A small word a caller may attach to a descriptor (fault watching).
    void setTag(int fd, unsigned tag);
    unsigned tag(int fd) const;

    int remove(std::string_view path);
    // Whole file; `to` created or truncated. 0 or -1.
    int copy(std::string_view from, std::string_view to);
    int mkdir(std::string_view path);
    bool isDirectory(std::string_view path) const;
    std::optional<std::vector<DirEntry>> list(std::string_view path) const;

    // --- directories ---
    struct Dir;
    Dir *opendir(std::string_view path);
    // Next entry name, nullptr at the end.
    const char *readdir(Dir *dir);
    int closedir(Dir *dir);

    // --- buffered streams ("r", "rb", "w", "wb", "a", "a+", "r+", ...) ---
    struct Stream;
    Stream *fopen(std::string_view path, std::string_view mode);
    std::size_t fread(void *buffer, std::size_t size, std::size_t count, Stream *s);
    std::size_t fwrite(const void *buffer, std::size_t size, std::size_t count, Stream *s);
    int fseek(Stream *s, long offset, int whence);
    long ftell(Stream *s);
    int fflush(Stream *s);
    int fclose(Stream *s);
    // Descriptor beneath a stream (-1 for a bad stream).
    int fileno(Stream *s) const;

private:
    struct Slot {
        std::unique_ptr<OpenFile> file;
        bool canRead = false;
        bool canWrite = false;
        unsigned tag = 0;
        std::string path;
    };
    Device *resolveFor(const char *call, std::string_view path, std::string *rest) const;
    Slot *slot(int fd) const
    {
        if (fd < 0 || static_cast<std::size_t>(fd) >= fds_.size())
            return nullptr;
        return fds_[static_cast<std::size_t>(fd)].get();
    }
    Stream *stream(Stream *s) const;
    std::size_t drain(Stream &s);
    int flush(Stream &s);

    Console &console_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::unique_ptr<Slot>> fds_;
    std::vector<std::unique_ptr<Dir>> dirs_;
    std::vector<std::unique_ptr<Stream>> streams_;
};

} // namespace host
