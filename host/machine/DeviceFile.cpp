#include "host/machine/DeviceFile.h"

#include "host/io/IoSystem.h"

#include <algorithm>

namespace host {

namespace {
// The I/O system counts in int; larger requests go in pieces.
constexpr std::size_t kMaxPiece = 1u << 20;
} // namespace

DeviceFile::DeviceFile(IoSystem &io, std::string_view path, int flags, int mode)
    : io_(io), fd_(io.open(path, flags, mode))
{}

DeviceFile::~DeviceFile()
{
    if (isOpen())
        io_.close(fd_);
}

long DeviceFile::read(char *buffer, std::size_t n)
{
    if (!isOpen())
        return -1;
    return io_.read(fd_, buffer, std::min(n, kMaxPiece));
}

bool DeviceFile::writeAll(const char *buffer, std::size_t n)
{
    if (!isOpen())
        return false;
    while (n > 0) {
        std::size_t piece = std::min(n, kMaxPiece);
        int written = io_.write(fd_, buffer, piece);
        if (written <= 0 || static_cast<std::size_t>(written) > piece)
            return false;
        buffer += written;
        n -= static_cast<std::size_t>(written);
    }
    return true;
}

bool DeviceFile::rewind() { return isOpen() && io_.lseek(fd_, 0, iof::kSeekSet) == 0; }

const char *DeviceFile::contiguous(std::size_t *size) const
{
    return isOpen() ? io_.contiguous(fd_, size) : nullptr;
}

long DeviceFile::length()
{
    if (!isOpen())
        return -1;
    long end = io_.lseek(fd_, 0, iof::kSeekEnd);
    return rewind() ? end : -1;
}

bool DeviceFile::readAll(std::vector<char> &content)
{
    constexpr std::size_t kChunk = 64 * 1024;
    for (;;) {
        std::size_t used = content.size();
        content.resize(used + kChunk);
        long got = read(content.data() + used, kChunk);
        if (got < 0) {
            content.resize(used);
            return false;
        }
        content.resize(used + static_cast<std::size_t>(got));
        if (got == 0)
            return true;
    }
}

} // namespace host
