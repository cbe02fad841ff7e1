#include "tools/media/Spool.h"

#include "tools/media/PairSwap.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace media {

namespace {

constexpr std::size_t kCopyPiece = 1u << 20; // even, so pairs never straddle pieces

std::string spoolError(const char *what)
{
    return std::string("the HDD chain's temporary file: cannot ") + what + ": " + std::strerror(errno);
}

} // namespace

ChainSpool::ChainSpool()
{
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    if (ec)
        dir = "/tmp";
    std::string pattern = (dir / "dlupdate-chain-XXXXXX").string();
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0)
        throw MediaIoError(spoolError(("make it in " + dir.string()).c_str()));
    ::unlink(pattern.c_str());
}

ChainSpool::~ChainSpool()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void ChainSpool::append(std::span<const std::uint8_t> bytes)
{
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(size_ + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            throw MediaIoError(spoolError("write it"));
        }
        done += static_cast<std::size_t>(n);
    }
    size_ += bytes.size();
}

void ChainSpool::copySwapped(std::size_t from, std::size_t to, std::ostream &out,
                             const std::function<void(std::span<const std::uint8_t>)> &written) const
{
    Bytes piece;
    for (std::size_t at = from; at < to;) {
        piece.resize(std::min(kCopyPiece, to - at));
        for (std::size_t got = 0; got < piece.size();) {
            ssize_t n = ::pread(fd_, piece.data() + got, piece.size() - got, static_cast<off_t>(at + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n == 0)
                    errno = EIO;
                throw MediaIoError(spoolError("read it back"));
            }
            got += static_cast<std::size_t>(n);
        }
        Bytes stored = pairSwap(piece);
        out.write(reinterpret_cast<const char *>(stored.data()), static_cast<std::streamsize>(stored.size()));
        if (written)
            written(stored);
        at += piece.size();
    }
}

} // namespace media
