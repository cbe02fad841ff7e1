// The HDD chain on its way to the media: packages are appended to an
// unnamed temporary file as they are made, so memory does not grow with
// the tree, and each HDD file is copied out of it once the cuts are known.
#pragma once

#include "tools/media/Media.h"

#include <cstddef>
#include <functional>
#include <ostream>
#include <span>

namespace media {

class ChainSpool {
public:
    // A file in the temporary folder (TMPDIR, else /tmp), removed from the
    // folder at once, so nothing is left behind whatever becomes of the
    // run. Throws MediaIoError.
    ChainSpool();
    ~ChainSpool();
    ChainSpool(const ChainSpool &) = delete;
    ChainSpool &operator=(const ChainSpool &) = delete;

    void append(std::span<const std::uint8_t> bytes);
    std::size_t size() const { return size_; }

    // Bytes [from, to) of the chain, pair-swapped as stored on the media,
    // to `out`; `from` is even. Each piece written is also shown to
    // `written`, when given (the checksum list hashes them there). Safe to
    // call from several threads at once. Throws MediaIoError.
    void copySwapped(std::size_t from, std::size_t to, std::ostream &out,
                     const std::function<void(std::span<const std::uint8_t>)> &written = {}) const;

private:
    int fd_ = -1;
    std::size_t size_ = 0;
};

} // namespace media
