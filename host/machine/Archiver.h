// The boot environment's package decompressor, dlBoardArchiver: expands
// the zlib stream of a device file into another device file.
#pragma once

#include <cstdint>

#include <string_view>

namespace host {

class IoSystem;
class Faults;

// The one command the decompressor knows: inflate a whole file.
constexpr int kArchiverInflate = 100;

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
int inflateFile(IoSystem &io, Faults &faults, int command, std::string_view source,
                std::string_view destination, int option, std::uint64_t *inflated = nullptr);

} // namespace host
