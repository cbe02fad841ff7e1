// The HDD file check and the part-buffer read. Input: one byte giving the
// number of HDD package files (low 3 bits, up to 7) and a missing number
// (next 3 bits, 0 for none), one byte for the room left free at the start
// of each part buffer, one byte for the capacity (high bit: half the room
// the file needs), then the files' contents, each behind its 32-bit length.
#include "fuzz/FuzzMachine.h"
#include "update/hdd/dlFirmHDDUpdate.h"
#include "update/staging/dlFirmUpSubFunction.h"
#include "update/session/dlFirmUpMain.h"

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    auto &fm = fuzzing::FuzzMachine::withRamDisk();
    fuzzing::Input in(data, size);
    const std::uint8_t control = in.byte();
    const int files = control & 7, gap = (control >> 3) & 7;
    const int offset = in.byte();
    const std::uint8_t capacityControl = in.byte();

    fm.clearMedia();
    vx::dlupdateFolderCheckFlag = (control & 0x40) ? 1 : 0;
    const fuzzing::fs::path folder = vx::dlupdateFolderCheckFlag ? fm.media() / "fwstore" : fm.media();
    fuzzing::fs::create_directories(folder);
    std::vector<std::vector<std::uint8_t>> contents(static_cast<std::size_t>(files) + 1);
    for (int n = 1; n <= files; ++n) {
        contents[static_cast<std::size_t>(n)] = in.piece();
        if (n == gap)
            continue;
        const auto &c = contents[static_cast<std::size_t>(n)];
        fuzzing::writeHostFile(folder / std::to_string(n), c.data(), c.size());
    }
    // Files 1 to `expected` form the series; none when it is not positive.
    const int expected = gap >= 1 && gap <= files ? (gap == files ? files - 1 : -1) : files;

    bool ran = fm.runTask([&] {
        vx::INT32 count = -1;
        vx::INT32 sizes[vx::DL_HDD_FILES_MAX] = {};
        int r = vx::dlFirmUsbCheckHDD(&count, sizes);
        if (expected > 0) {
            FUZZ_CHECK(r == 0 && count == expected);
            for (int k = 0; k < count; ++k)
                FUZZ_CHECK(sizes[k] ==
                           static_cast<vx::INT32>(contents[static_cast<std::size_t>(k) + 1].size()));
        } else {
            FUZZ_CHECK(r == -1 && count == 0);
        }

        vx::dl_fp = vx::fopen("/TMP/fuzz.log", "w");
        FUZZ_CHECK(vx::dl_fp != nullptr);
        for (int n = 1; n <= files; ++n) {
            const auto &c = contents[static_cast<std::size_t>(n)];
            const std::vector<std::uint8_t> swapped = fuzzing::pairSwap(c.data(), c.size());
            const bool half = capacityControl & 0x80;
            vx::INT32 length = offset + static_cast<vx::INT32>(half ? c.size() / 2 : c.size() + 128) +
                               (capacityControl & 0x7F);
            const vx::INT32 capacity = length;
            char path[80];
            std::snprintf(path, sizeof path, "%s%d",
                          vx::dlupdateFolderCheckFlag ? "/usbstor/0/fwstore/" : "/usbstor/0/", n);
            char *buffer = vx::bootUsbStrageTenkai_HDD(path, &length, offset);
            const bool fits = offset + swapped.size() <= static_cast<std::size_t>(capacity);
            if (n == gap || swapped.empty() || !fits) {
                FUZZ_CHECK(buffer == nullptr && length == 0);
                continue;
            }
            FUZZ_CHECK(buffer != nullptr);
            FUZZ_CHECK(length == static_cast<vx::INT32>(swapped.size()));
            for (int i = 0; i < offset; ++i)
                FUZZ_CHECK(buffer[i] == 0);
            FUZZ_CHECK(std::memcmp(buffer + offset, swapped.data(), swapped.size()) == 0);
            for (vx::INT32 i = offset + length; i < capacity; ++i)
                FUZZ_CHECK(buffer[i] == 0);
            vx::free(buffer);
        }
        vx::fclose(vx::dl_fp);
        vx::dl_fp = nullptr;
    });
    FUZZ_CHECK(ran);
    FUZZ_CHECK(fm.noDescriptorOpen());
    return 0;
}
