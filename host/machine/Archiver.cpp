#include "host/machine/Archiver.h"

#include "host/Console.h"
#include "host/Faults.h"
#include "host/io/IoSystem.h"
#include "host/machine/DeviceFile.h"

#include <zlib.h>

#include <cstdint>
#include <functional>
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
    case InflateEnd::Complete: return "complete";
    case InflateEnd::Damaged: return "stream damaged";
    case InflateEnd::CutShort: return "stream cut short";
    case InflateEnd::ReadError: return "source unreadable";
    case InflateEnd::Stopped: return "destination full";
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
int expand(IoSystem &io, int command, std::string_view source, std::string_view destination,
           std::string_view failing, bool halfOnly)
{
    Console &console = io.console();
    const std::string what =
        "dlBoardArchiver " + std::string(source) + " -> " + std::string(destination);
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
    std::uint64_t written = 0;
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

int inflateFile(IoSystem &io, Faults &faults, int command, std::string_view source,
                std::string_view destination, int /*option*/)
{
    // Every call counts once, whatever becomes of it.
    const std::string arg = faults.listening() ? std::string(source) + " -> " +
                                                     std::string(destination)
                                               : std::string();
    const std::string aimed = "archiver@" + std::string(destination);
    std::string_view failing;
    if (faults.fail("archiver", arg))
        failing = "archiver";
    // The aimed form counts only the calls writing its destination.
    if (faults.watches(aimed) && faults.fail(aimed, arg) && failing.empty())
        failing = aimed;
    const bool cut = faults.powerCutDue("archiver", arg);
    int result = expand(io, command, source, destination, failing, cut);
    if (cut)
        faults.cutPower();
    return result;
}

} // namespace host
