// The board's flash ROM (0xFF000000, 16 MiB) over the machine folder's
// flashrom.bin, the boot environment's flash device services
// (fromDevCreate, fromDevGetInfo, fromDevUnlock, fromDevLock) and the
// device file that serves an area of it ("/dlfromALL/").
//
// Ownership: the FlashRom, its devices and their open files share the
// mapping, so each stays safe whichever is destroyed first; the Console and
// Faults given to the FlashRom must outlive all of them. In the machine the
// FlashRom outlives the I/O system that holds its devices.
#pragma once

#include "host/io/IoSystem.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace host {

class Console;
class Faults;
class FlashDevice;

// What fromDevGetInfo tells: the area's size and the two values that
// fromDevUnlock and fromDevLock take (its board address and its size).
struct FlashInfo {
    std::int32_t size = 0;
    std::uint32_t lockArg1 = 0;
    std::uint32_t lockArg2 = 0;
};

class FlashRom {
public:
    static constexpr std::size_t kSize = 16u * 1024 * 1024;
    static constexpr std::uint32_t kBoardBase = 0xFF000000u;
    // What every byte holds once erased.
    static constexpr std::uint8_t kErasedByte = 0xFF;
    // The device file's ioctl that erases the whole area.
    static constexpr int kEraseFunction = 2;

    // Maps `path`; std::runtime_error (and nothing changed) when it is
    // missing or not exactly kSize bytes. Every area starts write-protected.
    FlashRom(const std::filesystem::path &path, Console &console, Faults &faults);
    ~FlashRom();
    FlashRom(const FlashRom &) = delete;
    FlashRom &operator=(const FlashRom &) = delete;

    // A fresh all-0xFF flashrom.bin, replacing any file of that name.
    static void create(const std::filesystem::path &path);

    // fromDevCreate: a device named `name` over the board range
    // [base, base + size). Null (reported) on the fault "flash-create", for
    // a range outside the flash ROM, or while a device of that name exists;
    // the caller adds it to the I/O system. Destroying the device frees the
    // name.
    std::unique_ptr<FlashDevice> createDevice(std::string_view name, std::uint32_t base, std::uint32_t size);
    bool hasDevice(std::string_view name) const;

    // fromDevGetInfo: 0, or -1 on the fault "flash-info" or an unknown name.
    int info(std::string_view name, FlashInfo &out);
    // fromDevUnlock / fromDevLock with the values of a device's FlashInfo
    // (lock also takes those of an area still unlocked): 0; -1 (reported,
    // nothing changed) for values that name no such area.
    int unlock(std::uint32_t arg1, std::uint32_t arg2);
    int lock(std::uint32_t arg1, std::uint32_t arg2);
    // Whether the board range [base, base + size) is write-protected.
    bool locked(std::uint32_t base, std::uint32_t size) const;

    // The whole flash as stored, for `machine show` and checks.
    std::span<const std::uint8_t> bytes() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// The device file over one area: read returns the stored bytes, write
// programs them NOR-style (each byte becomes old AND new), ioctl
// kEraseFunction erases the whole area to 0xFF. Only the whole area can be
// opened (an empty rest of the path).
class FlashDevice : public Device {
public:
    ~FlashDevice() override;

    std::unique_ptr<OpenFile> open(std::string_view rest, int flags, int mode) override;

    std::uint32_t base() const { return FlashRom::kBoardBase + offset_; }
    std::uint32_t size() const { return size_; }

private:
    friend class FlashRom;
    FlashDevice(std::string name, std::shared_ptr<FlashRom::State> state, std::uint32_t offset,
                std::uint32_t size);

    std::shared_ptr<FlashRom::State> state_;
    std::uint32_t offset_; // from the start of the flash
    std::uint32_t size_;
};

} // namespace host
