// A whole staging run on fuzzed media. Input: one control byte (bit 0: the
// model folder; bits 1 to 4: image 0, image 1, image 2 and HDD package
// file 1 present), then, each behind its 32-bit length, the three pieces of
// image 0 (placed at its three package origins in a zeroed image), image 1,
// image 2 and HDD package file 1, all as read after the pair swap; they are
// stored pair-swapped.
#include "fuzz/FuzzMachine.h"
#include "update/session/dlFirmUpMain.h"
#include "update/staging/dlFirmUpSubFunction.h"
#include "update/version/dlFirmVersion.h"

#include <cstdio>
#include <cstring>

namespace {

void store(const fuzzing::fs::path &file, const std::vector<std::uint8_t> &content)
{
    const std::vector<std::uint8_t> s = fuzzing::pairSwap(content.data(), content.size());
    fuzzing::writeHostFile(file, s.data(), s.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    auto &fm = fuzzing::FuzzMachine::get();
    fuzzing::Input in(data, size);
    const std::uint8_t control = in.byte();
    const int flag = control & 1;
    std::vector<std::uint8_t> pieces[3];
    for (auto &p : pieces)
        p = in.piece();
    std::vector<std::uint8_t> image1 = in.piece(), image2 = in.piece(), hdd1 = in.piece();

    fm.clearMedia();
    fm.clearRamDisk();
    const fuzzing::fs::path folder = flag ? fm.media() / "fwstore" : fm.media();
    fuzzing::fs::create_directories(folder);
    if (control & 2) {
        const std::size_t room0 = static_cast<std::size_t>(vx::usbdataStart[1] - vx::usbdataStart[0]);
        const std::size_t room1 = static_cast<std::size_t>(vx::usbdataStart[2] - vx::usbdataStart[1]);
        if (pieces[0].size() > room0)
            pieces[0].resize(room0);
        if (pieces[1].size() > room1)
            pieces[1].resize(room1);
        std::vector<std::uint8_t> image0(static_cast<std::size_t>(vx::usbdataStart[2]) + pieces[2].size());
        for (int i = 0; i < 3; ++i)
            std::copy(pieces[i].begin(), pieces[i].end(), image0.begin() + vx::usbdataStart[i]);
        store(folder / "firmImage0.bin", image0);
    }
    if (control & 4)
        store(folder / "firmImage1.bin", image1);
    if (control & 8)
        store(folder / "firmImage2.bin", image2);
    if (control & 16)
        store(folder / "1", hdd1);

    char *paths[] = {vx::firmImageFile0, vx::firmImageFile1, vx::firmImageFile2};
    vx::dlupdateFolderCheckFlag = flag;
    for (int i = 0; i < 3; ++i)
        std::snprintf(paths[i], vx::DL_PATH_SIZE, "/usbstor/0/%sfirmImage%d.bin", flag ? "fwstore/" : "", i);

    std::unique_ptr<char[]> table(new char[160]());
    int r = -100;
    bool ran = fm.runTask([&] { r = vx::dlFirmUsbStrageTenkai(table.get()); });
    FUZZ_CHECK(ran);
    FUZZ_CHECK(r == 0 || r == -1);
    FUZZ_CHECK(fm.noDescriptorOpen());
    for (int f = 0; f < 10; ++f)
        FUZZ_CHECK(std::memchr(table.get() + f * vx::DL_VERSION_FIELD, '\0', vx::DL_VERSION_FIELD));
    fm.closeAll();
    return 0;
}
