// The pair-swap readers: the input, repeated to a length chosen by its
// first byte, is a file on the storage, read with each reader in turn; the
// bytes placed must be the file's pair swap.
#include "fuzz/FuzzMachine.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <cstring>
#include <memory>

namespace {

constexpr const char *kSource = "/usbstor/0/swap.bin";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    auto &fm = fuzzing::FuzzMachine::withRamDisk();
    fuzzing::Input in(data, size);
    const std::uint8_t control = in.byte();
    const std::uint32_t wanted = in.u32();
    std::vector<std::uint8_t> file = in.rest();
    // Files beyond one 64 KiB piece: the input repeated.
    const std::size_t target = (control & 3) * 45000u;
    if (!file.empty())
        while (file.size() < target)
            file.insert(file.end(), file.begin(), file.begin() + std::min(file.size(), target - file.size()));
    fuzzing::writeHostFile(fm.media() / "swap.bin", file.data(), file.size());
    const std::vector<std::uint8_t> swapped = fuzzing::pairSwap(file.data(), file.size());
    const int placed = static_cast<int>(swapped.size());

    bool ran = fm.runTask([&] {
        // File to file.
        int src = vx::open(kSource, vx::O_RDONLY, 0);
        FUZZ_CHECK(src >= 0);
        int dst = vx::open("/TMP/swap.out", vx::O_RDWR | vx::O_CREAT | vx::O_TRUNC, 0644);
        FUZZ_CHECK(dst >= 0);
        FUZZ_CHECK(vx::dlFirmUsbReadFile_Swap(dst, src) == placed);
        vx::close(dst);
        vx::close(src);
        int back = vx::open("/TMP/swap.out", vx::O_RDONLY, 0);
        FUZZ_CHECK(back >= 0);
        std::vector<char> out(swapped.size() + 1);
        FUZZ_CHECK(vx::read(back, out.data(), out.size()) == placed);
        FUZZ_CHECK(swapped.empty() || std::memcmp(out.data(), swapped.data(), swapped.size()) == 0);
        vx::close(back);
        vx::remove("/TMP/swap.out");

        // Whole file to memory of exactly its swapped length.
        src = vx::open(kSource, vx::O_RDONLY, 0);
        std::unique_ptr<char[]> mem(new char[swapped.size() + 1]);
        FUZZ_CHECK(vx::bootUsbReadMem_Swap(mem.get(), src) == placed);
        FUZZ_CHECK(swapped.empty() || std::memcmp(mem.get(), swapped.data(), swapped.size()) == 0);
        vx::close(src);

        // Up to `size`: memory of `size` plus one piece, or the whole file.
        const std::size_t limit = swapped.empty() ? 0 : wanted % (swapped.size() + 1);
        const std::size_t room = std::min(swapped.size(), limit + vx::DL_SWAP_CHUNK);
        src = vx::open(kSource, vx::O_RDONLY, 0);
        std::unique_ptr<char[]> part(new char[room + 1]);
        int got = vx::bootUsbReadMem_Swap_Size(part.get(), src, static_cast<vx::INT32>(limit));
        FUZZ_CHECK(got >= 0 && static_cast<std::size_t>(got) <= room);
        FUZZ_CHECK(static_cast<std::size_t>(got) >= std::min(limit, swapped.size()));
        FUZZ_CHECK(got == 0 || std::memcmp(part.get(), swapped.data(), static_cast<std::size_t>(got)) == 0);
        vx::close(src);
    });
    FUZZ_CHECK(ran);
    FUZZ_CHECK(fm.noDescriptorOpen());
    return 0;
}
