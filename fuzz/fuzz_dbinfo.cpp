// The package header lookup over arbitrary buffers, both layouts.
// Input: one byte choosing the layout (low bit: 1 chained, 0 fixed offsets)
// and the table's capacity (the other bits), then the buffer. The chained
// lookup reads the rest as the whole buffer; the fixed-offset lookup cuts
// it into three equal pieces placed at the three search origins of a zeroed
// flash image area, the buffer ending with the third piece.
#include "fuzz/FuzzMachine.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <cstring>
#include <memory>

namespace {

bool inside(const char *p, const char *begin, const char *end) { return p && p >= begin && p < end; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    fuzzing::FuzzMachine::get();
    fuzzing::Input in(data, size);
    const std::uint8_t control = in.byte();
    const int mode = (control & 1) ? vx::DL_DB_CHAIN : vx::DL_DB_FIXED;
    const int capacity = 1 + (control >> 1) % vx::DL_DB_TABLE_IMAGE;
    std::vector<std::uint8_t> rest = in.rest();

    std::size_t length = rest.size();
    std::unique_ptr<char[]> buffer;
    if (mode == vx::DL_DB_CHAIN) {
        buffer.reset(new char[length ? length : 1]);
        if (length)
            std::memcpy(buffer.get(), rest.data(), length);
    } else {
        const std::size_t third = rest.size() / 3;
        length = static_cast<std::size_t>(vx::usbdataStart[2]) + (rest.size() - 2 * third);
        buffer.reset(new char[length]());
        for (int i = 0; i < 3; ++i) {
            std::size_t n = i < 2 ? third : rest.size() - 2 * third;
            if (n)
                std::memcpy(buffer.get() + vx::usbdataStart[i], rest.data() + i * third, n);
        }
    }
    const char *begin = buffer.get(), *end = begin + length;

    // One guard record past the capacity: the lookup must not write it.
    std::vector<vx::DL_DB_INFO> table(static_cast<std::size_t>(capacity) + 1);
    std::memset(table.data(), 0, table.size() * sizeof(vx::DL_DB_INFO));
    int n = vx::dlFirmGetDBInfoBounded(table.data(), buffer.get(), static_cast<vx::INT32>(length), mode,
                                       capacity);

    FUZZ_CHECK(n >= 0 && n <= capacity);
    if (mode == vx::DL_DB_FIXED)
        FUZZ_CHECK(n <= 3);
    FUZZ_CHECK(table.back().dataStart == nullptr && table.back().dbName == nullptr);
    const char *previousEnd = begin;
    for (int i = 0; i < n; ++i) {
        const vx::DL_DB_INFO &r = table[static_cast<std::size_t>(i)];
        FUZZ_CHECK(inside(r.dataStart, begin, end));
        FUZZ_CHECK(r.compressedSize > 0 && r.expandedSize >= 0);
        FUZZ_CHECK(r.compressedSize <= end - r.dataStart);
        FUZZ_CHECK(inside(r.dbName, begin, end) && inside(r.version, begin, end) &&
                   inside(r.comment, begin, end));
        if (mode == vx::DL_DB_FIXED)
            FUZZ_CHECK(inside(r.languageCode, begin, end));
        else {
            // Chained records follow one another through the buffer.
            FUZZ_CHECK(r.dataStart >= previousEnd);
            previousEnd = r.dataStart + r.compressedSize;
        }
    }
    return 0;
}
