#include "host/machine/Archiver.h"

#include "host/Console.h"
#include "host/Faults.h"
#include "host/io/IoSystem.h"
#include "host/machine/DeviceFile.h"

#include <zlib.h>
#ifdef DL_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host {

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr int kCreateTruncate = iof::kRdWr | iof::kCreat | iof::kTrunc;

enum class InflateEnd { Complete, Damaged, CutShort, ReadError, Stopped };

const char *describe(InflateEnd end)
{
    switch (end) {
    case InflateEnd::Complete:
        return "complete";
    case InflateEnd::Damaged:
        return "stream damaged";
    case InflateEnd::CutShort:
        return "stream cut short";
    case InflateEnd::ReadError:
        return "source unreadable";
    case InflateEnd::Stopped:
        return "destination full";
    }
    return "?";
}

// Takes each piece of content as it is inflated; false stops the inflate.
using Sink = std::function<bool(const char *data, std::size_t n)>;

class Inflater {
public:
    Inflater() { ok_ = inflateInit(&stream_) == Z_OK; }
    ~Inflater() { inflateEnd(&stream_); }
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    // Streams the source through zlib in fixed chunks, so memory stays
    // small whatever the package's size.
    InflateEnd run(DeviceFile &source, const Sink &sink)
    {
        if (!ok_)
            return InflateEnd::Damaged;
        std::vector<unsigned char> in(kChunk);
        std::vector<unsigned char> out(kChunk);
        for (;;) {
            long got = source.read(reinterpret_cast<char *>(in.data()), in.size());
            if (got < 0)
                return InflateEnd::ReadError;
            if (got == 0)
                return InflateEnd::CutShort;
            stream_.next_in = in.data();
            stream_.avail_in = static_cast<uInt>(got);
            do {
                stream_.next_out = out.data();
                stream_.avail_out = static_cast<uInt>(out.size());
                int rc = inflate(&stream_, Z_NO_FLUSH);
                // What came out before an error is handed on all the same.
                std::size_t produced = out.size() - stream_.avail_out;
                if (produced > 0 && !sink(reinterpret_cast<const char *>(out.data()), produced))
                    return InflateEnd::Stopped;
                if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR)
                    return InflateEnd::Damaged;
                if (rc == Z_STREAM_END)
                    return InflateEnd::Complete;
            } while (stream_.avail_out == 0);
        }
    }

private:
    z_stream stream_{};
    bool ok_ = false;
};

#ifdef DL_HAVE_LIBDEFLATE
// Sources and contents up to these sizes are inflated whole, in memory;
// larger ones stream through zlib.
constexpr std::size_t kWholeSource = 64u << 20;
constexpr std::size_t kWholeContent = 256u << 20;

struct DecompressorFree {
    void operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }
};

// Memory kept from call to call and never cleared: every byte is written
// before it is read.
class Scratch {
public:
    std::uint8_t *room(std::size_t n)
    {
        if (n > size_) {
            bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(n);
            size_ = n;
        }
        return bytes_.get();
    }
    std::size_t size() const { return size_; }
    // An exceptional package's room is not held for the rest of the run.
    void keepAtMost(std::size_t n)
    {
        if (size_ > n) {
            bytes_.reset();
            size_ = 0;
        }
    }

private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
};

constexpr std::size_t kKeptRoom = 64u << 20;

} // namespace

struct InflateRoom::Impl {
    std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor{libdeflate_alloc_decompressor()};
    Scratch packed, content;
    std::mutex turn;

    void trim()
    {
        packed.keepAtMost(kKeptRoom);
        content.keepAtMost(kKeptRoom);
    }
};

namespace {

// The whole source: where it lies when the RAM disk holds it in one run,
// else read into `room`. Nothing when it is too large or cannot be read
// whole.
std::optional<std::span<const std::uint8_t>> packedBytes(DeviceFile &in, Scratch &room)
{
    std::size_t got = 0;
    if (const char *inPlace = in.contiguous(&got); inPlace && got <= kWholeSource)
        return std::span(reinterpret_cast<const std::uint8_t *>(inPlace), got);
    long length = in.length();
    if (length < 0 || static_cast<std::size_t>(length) > kWholeSource)
        return std::nullopt;
    // One byte more than the length, to notice a file that grew.
    const std::size_t want = static_cast<std::size_t>(length);
    std::uint8_t *bytes = room.room(want + 1);
    got = 0;
    for (;;) {
        long n = in.read(reinterpret_cast<char *>(bytes + got), want + 1 - got);
        if (n < 0 || got + static_cast<std::size_t>(n) > want)
            return std::nullopt;
        if (n == 0)
            return std::span<const std::uint8_t>(bytes, got);
        got += static_cast<std::size_t>(n);
    }
}

// The whole content of a sound stream, inflated at once: several times
// faster than zlib's streaming. Nothing when the source cannot be read
// whole, is too large, or holds no complete, sound stream: zlib's streaming
// then does the work again and leaves what a failure leaves.
std::optional<std::span<const std::uint8_t>> inflateWhole(IoSystem &io, std::string_view source,
                                                          InflateRoom::Impl &kept)
{
    if (!kept.decompressor)
        return std::nullopt;
    DeviceFile in(io, source, iof::kRdOnly);
    auto packed = packedBytes(in, kept.packed);
    if (!packed)
        return std::nullopt;
    const std::size_t got = packed->size();
    // Most packages expand to under four times their size; when one does
    // not, the room doubles and the stream is inflated again.
    for (std::size_t room = std::max(4 * got + kChunk, kept.content.size()); room <= kWholeContent;
         room *= 2) {
        std::uint8_t *content = kept.content.room(room);
        std::size_t made = 0;
        auto rc = libdeflate_zlib_decompress_ex(kept.decompressor.get(), packed->data(), got, content, room,
                                                nullptr, &made);
        if (rc == LIBDEFLATE_SUCCESS)
            return std::span<const std::uint8_t>(content, made);
        if (rc != LIBDEFLATE_INSUFFICIENT_SPACE)
            return std::nullopt;
    }
    return std::nullopt;
}
#endif

} // namespace

#ifndef DL_HAVE_LIBDEFLATE
struct InflateRoom::Impl {
    std::mutex turn;
    void trim() {}
};
#endif

InflateRoom::InflateRoom() : impl_(std::make_unique<Impl>()) {}
InflateRoom::~InflateRoom() = default;

namespace {

// Links and spellings are the device's to judge.
bool sameFile(const IoSystem &io, std::string_view a, std::string_view b)
{
    std::string restA, restB;
    Device *devA = io.resolve(a, &restA);
    Device *devB = io.resolve(b, &restB);
    return devA && devA == devB && devA->sameFile(restA, restB);
}

// One call's work. With `halfOnly` the destination receives the first half
// of the content, as a power cut in the middle of the call would leave it.
int expand(IoSystem &io, [[maybe_unused]] InflateRoom &room, int command, std::string_view source,
           std::string_view destination, std::string_view failing, bool halfOnly, std::uint64_t &written)
{
    Console &console = io.console();
    const std::string what = "dlBoardArchiver " + std::string(source) + " -> " + std::string(destination);
    if (command != kArchiverInflate)
        return -1;
    // Truncating the destination would destroy the source.
    if (sameFile(io, source, destination)) {
        console.report(what + ": source and destination are the same file");
        return -1;
    }
    if (!failing.empty()) {
        DeviceFile emptied(io, destination, kCreateTruncate);
        console.report("fault " + std::string(failing) + ": " + what + " fails");
        return -1;
    }

#ifdef DL_HAVE_LIBDEFLATE
    // The content lives in the room: it is written out before the room's
    // next use.
    if (auto content = inflateWhole(io, source, room.impl())) {
        DeviceFile out(io, destination, kCreateTruncate);
        if (!out.isOpen()) {
            console.report(what + ": cannot open the destination");
            return -1;
        }
        // A cut leaves half the content and the call unfinished.
        std::size_t n = halfOnly ? content->size() / 2 : content->size();
        if (!out.writeAll(reinterpret_cast<const char *>(content->data()), n)) {
            if (!halfOnly)
                console.report(what + ": " + describe(InflateEnd::Stopped));
            return -1;
        }
        written = n;
        return halfOnly && !content->empty() ? -1 : 0;
    }
#endif

    DeviceFile in(io, source, iof::kRdOnly);
    if (!in.isOpen()) {
        console.report(what + ": cannot open the source");
        return -1;
    }
    // Half needs the whole length: a first pass only counts it, so no path
    // ever holds a whole package in memory.
    std::uint64_t limit = UINT64_MAX;
    if (halfOnly) {
        std::uint64_t total = 0;
        Inflater().run(in, [&](const char *, std::size_t n) {
            total += n;
            return true;
        });
        limit = in.rewind() ? total / 2 : 0;
    }

    DeviceFile out(io, destination, kCreateTruncate);
    if (!out.isOpen()) {
        console.report(what + ": cannot open the destination");
        return -1;
    }
    InflateEnd end = Inflater().run(in, [&](const char *data, std::size_t n) {
        if (written + n > limit)
            n = static_cast<std::size_t>(limit - written);
        if (!out.writeAll(data, n))
            return false;
        written += n;
        return written < limit;
    });
    if (end != InflateEnd::Complete) {
        if (!halfOnly)
            console.report(what + ": " + describe(end));
        return -1;
    }
    return 0;
}

} // namespace

int inflateFile(IoSystem &io, Faults &faults, InflateRoom &room, int command, std::string_view source,
                std::string_view destination, int /*option*/, std::uint64_t *inflated)
{
    std::lock_guard turn(room.impl().turn);
    // Every call counts once, whatever becomes of it.
    const std::string arg =
        faults.listening() ? std::string(source) + " -> " + std::string(destination) : std::string();
    std::string failing;
    if (faults.fail(Fault::archiver, arg))
        failing = nameOf(Fault::archiver);
    // The aimed form counts only the calls writing its destination.
    if (faults.watches(AimedFault::archiver, destination) &&
        faults.fail(AimedFault::archiver, destination, arg) && failing.empty())
        failing = nameOf(AimedFault::archiver, destination);
    const bool cut = faults.powerCutDue(Event::archiver, arg);
    std::uint64_t written = 0;
    int result = expand(io, room, command, source, destination, failing, cut, written);
    room.impl().trim();
    if (inflated)
        *inflated = written;
    if (cut)
        faults.cutPower();
    return result;
}

} // namespace host
