#include "host/machine/MappedFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {

namespace {

[[noreturn]] void fail(const std::filesystem::path &path, const std::string &what, int err = 0)
{
    std::string message = path.string() + ": " + what;
    if (err != 0)
        message += ": " + std::string(std::strerror(err));
    throw std::runtime_error(message);
}

// Closes a descriptor on every path out of a function.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    // close() can report a late write error, which must not be lost.
    int release()
    {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

} // namespace

MappedFile::MappedFile(const std::filesystem::path &path, std::size_t size) : path_(path)
{
    // O_NOFOLLOW is not used: a machine folder may well be reached
    // through a link, and the file itself is checked below. A FIFO or a
    // device planted there must not block the open.
    Descriptor fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        fail(path, "cannot open", errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        fail(path, "cannot stat", errno);
    if (!S_ISREG(st.st_mode))
        fail(path, "not a regular file");
    if (static_cast<std::uintmax_t>(st.st_size) != size)
        fail(path, "holds " + std::to_string(st.st_size) + " bytes, expected " + std::to_string(size));
    void *p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (p == MAP_FAILED)
        fail(path, "cannot map", errno);
    data_ = static_cast<std::uint8_t *>(p);
    size_ = size;
}

MappedFile::~MappedFile() { unmap(); }

MappedFile::MappedFile(MappedFile &&other) noexcept
    : path_(std::move(other.path_)), data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0))
{}

MappedFile &MappedFile::operator=(MappedFile &&other) noexcept
{
    if (this != &other) {
        unmap();
        path_ = std::move(other.path_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void MappedFile::unmap() noexcept
{
    // A shared mapping needs no msync: the pages are the file's own cache.
    if (data_ != nullptr)
        ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

void MappedFile::create(const std::filesystem::path &path, std::size_t size, std::uint8_t fill)
{
    // Built beside the target and renamed over it, so an interrupted
    // create never leaves a file of the wrong size under the real name.
    // mkstemp: never an existing file, never through a planted link.
    std::string pattern = path.string() + ".XXXXXX";
    std::filesystem::path temp;
    {
        Descriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
        if (fd.get() < 0)
            fail(pattern, "cannot create", errno);
        ::fchmod(fd.get(), 0644);
        temp = pattern;
        std::vector<std::uint8_t> chunk(std::min<std::size_t>(size, 1u << 20), fill);
        std::size_t done = 0;
        while (done < size) {
            std::size_t n = std::min(chunk.size(), size - done);
            ssize_t w = ::write(fd.get(), chunk.data(), n);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                int err = errno;
                ::unlink(temp.c_str());
                fail(temp, "cannot write", w < 0 ? err : ENOSPC);
            }
            done += static_cast<std::size_t>(w);
        }
        if (fd.release() != 0) {
            int err = errno;
            ::unlink(temp.c_str());
            fail(temp, "cannot write", err);
        }
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        fail(path, "cannot replace", err);
    }
}

} // namespace host
