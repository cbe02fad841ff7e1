// The boot environment's package decompressor, dlBoardArchiver: expands
// the zlib stream of a device file into another device file.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace host {

class IoSystem;
class Faults;

// The one command the decompressor knows: inflate a whole file.
constexpr int kArchiverInflate = 100;

// What the archiver keeps from one call to the next: its decompressor and
// the memory for a whole stream and its content. A machine keeps one, as
// each loader task is a thread of its own and memory made anew costs a
// page fault every 4 KiB. Calls through one room take turns.
class InflateRoom {
public:
    InflateRoom();
    ~InflateRoom();
    InflateRoom(const InflateRoom &) = delete;
    InflateRoom &operator=(const InflateRoom &) = delete;

    struct Impl;
    Impl &impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// Reads `source` through the I/O system, inflates the zlib stream (RFC 1950)
// at its start and writes the content to `destination`, created or
// truncated; bytes after the stream's end are ignored. 0 on success; -1 for
// another command, an unreadable source, a damaged or cut-short stream, a
// destination that cannot be opened or written in full, or a destination
// that is the source itself. After a failure the destination, when it could
// be opened, holds what was inflated before the error. `option` is unused.
//
// Counts the fault "archiver" and the power-cut event "archiver" once per
// call. A due cut leaves the first half of the content in the destination.
// `inflated`, when given, receives the bytes written to the destination.
int inflateFile(IoSystem &io, Faults &faults, InflateRoom &room, int command, std::string_view source,
                std::string_view destination, int option, std::uint64_t *inflated = nullptr);

} // namespace host
