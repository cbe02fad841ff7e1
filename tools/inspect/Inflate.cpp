#include "tools/inspect/Inflate.h"

#include <zlib.h>
#ifdef DL_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <vector>

namespace inspect {

namespace {

// z_stream with its end guaranteed.
class Inflater {
public:
    Inflater() { ok_ = inflateInit(&z_) == Z_OK; }
    ~Inflater()
    {
        if (ok_)
            inflateEnd(&z_);
    }
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;
    bool ok() const { return ok_; }
    z_stream &stream() { return z_; }

private:
    z_stream z_{};
    bool ok_ = false;
};

#ifdef DL_HAVE_LIBDEFLATE
// Larger stated sizes are left to zlib's streaming, so a wrong EXPANDEDSIZE
// cannot make the check claim that much memory.
constexpr std::int64_t kWholeLimit = 256 << 20;

struct DecompressorFree {
    void operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }
};

// The whole stream at once, into a buffer of `limit` bytes: true when it
// ends within the data and expands to at most `limit`. Anything else is
// left to zlib, which says what went wrong and how far it got.
bool inflateWhole(std::span<const std::uint8_t> data, std::int64_t limit, InflateResult &result,
                  std::string *content)
{
    if (limit < 0 || limit > kWholeLimit)
        return false;
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor(
        libdeflate_alloc_decompressor());
    thread_local std::vector<std::uint8_t> out;
    if (!decompressor)
        return false;
    out.resize(static_cast<std::size_t>(limit));
    std::size_t used = 0, made = 0;
    if (libdeflate_zlib_decompress_ex(decompressor.get(), data.data(), data.size(), out.data(), out.size(),
                                      &used, &made) != LIBDEFLATE_SUCCESS)
        return false;
    result.complete = true;
    result.produced = static_cast<std::int64_t>(made);
    result.streamBytes = static_cast<std::int64_t>(used);
    if (content)
        content->append(reinterpret_cast<const char *>(out.data()), made);
    return true;
}
#endif

} // namespace

InflateResult inflateData(std::span<const std::uint8_t> data, std::int64_t limit, std::string *content)
{
    InflateResult result;
#ifdef DL_HAVE_LIBDEFLATE
    if (inflateWhole(data, limit, result, content))
        return result;
#endif
    Inflater inflater;
    if (!inflater.ok()) {
        result.error = "zlib cannot start";
        return result;
    }
    z_stream &z = inflater.stream();
    std::array<std::uint8_t, 65536> out;
    std::size_t consumed = 0;
    for (;;) {
        // avail_in is 32 bits wide: feed large data in pieces
        std::size_t piece = std::min<std::size_t>(data.size() - consumed, std::numeric_limits<uInt>::max());
        z.next_in = const_cast<Bytef *>(data.data() + consumed);
        z.avail_in = static_cast<uInt>(piece);
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        int rc = inflate(&z, Z_NO_FLUSH);
        consumed += piece - z.avail_in;
        std::size_t made = out.size() - z.avail_out;
        result.produced += static_cast<std::int64_t>(made);
        if (content)
            content->append(reinterpret_cast<const char *>(out.data()), made);
        if (rc == Z_STREAM_END) {
            result.complete = true;
            result.streamBytes = static_cast<std::int64_t>(consumed);
            return result;
        }
        if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR) {
            result.error = z.msg ? z.msg : "damaged data";
            return result;
        }
        if (result.produced > limit)
            return result;
        // no progress possible: the data ends before the stream does
        if (rc == Z_BUF_ERROR || (consumed == data.size() && made == 0)) {
            result.error = "the stream is cut short";
            return result;
        }
    }
}

} // namespace inspect
