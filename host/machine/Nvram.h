// The board's NVRAM window (0xBA000000, 64 KiB) over the machine folder's
// nvram.bin: the boot environment's rewrite flags, update mode and service
// settings, and direct 16-bit device accesses. Multi-byte values are
// big-endian in the file, as on the board, whatever the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>

namespace host {

class Console;
class Faults;
class MappedFile;

// One direct access through the window, as the bus saw it.
struct NvramAccess {
    enum class Kind : std::uint8_t { Load, Store, IgnoredStore, Barrier };
    Kind kind;
    std::uint32_t address; // board address; 0 for a barrier
    std::uint16_t value;   // loaded or stored value
    bool operator==(const NvramAccess &) const = default;
};

class Nvram {
public:
    static constexpr std::size_t kSize = 65536;
    static constexpr std::uint32_t kBoardBase = 0xBA000000u;

    static constexpr std::size_t kFlagsOffset = 0x0000;
    static constexpr std::size_t kModeOffset = 0x0004;
    static constexpr std::size_t kServiceOffset = 0x0100;
    static constexpr std::size_t kServiceSize = 0x0100;
    static constexpr std::size_t kF200AOffset = 0x7808;
    static constexpr std::size_t kF200BOffset = 0x780A;

    static constexpr std::uint32_t kFlashRewriteFlag = 0x01;
    static constexpr std::uint32_t kHddUpdateFlag = 0x10;
    static constexpr std::uint32_t kAllRewriteFlags = kFlashRewriteFlag | kHddUpdateFlag;
    // The high byte of F200 word B while the flag is set.
    static constexpr std::uint16_t kF200SetMark = 2;

    // Only the last accesses are kept; the counters cover the whole run.
    static constexpr std::size_t kAccessLogLength = 256;

    // Maps `path`; std::runtime_error (and nothing changed) when it is
    // missing or not exactly kSize bytes. `console` and `faults` must
    // outlive the object.
    Nvram(const std::filesystem::path &path, Console &console, Faults &faults);
    ~Nvram();
    Nvram(const Nvram &) = delete;
    Nvram &operator=(const Nvram &) = delete;

    // A fresh all-zero nvram.bin, replacing any file of that name.
    static void create(const std::filesystem::path &path);

    // --- the boot environment's flag services: 0 or -1 ---
    // setBitNvFlag; fault and power-cut event "nvram-set".
    int setBits(std::uint32_t mask);
    // clearBitNvRAMFlags; fault and power-cut event "nvram-clear".
    int clearBits(std::uint32_t mask);
    // frwClearNvRAMFlags: the whole flags word.
    int clearAllFlags();
    // bootUpdateClearNvmAutoMode.
    int clearAutoMode();
    // dlBoardUpdateFlagOn.
    void setUpdateModeOn();
    // bootUpdateServiceNvRamAllClear.
    int clearService();

    // --- the write window and direct 16-bit accesses ---
    void writeEnable() { writable_ = true; }
    void writeDisable() { writable_ = false; }
    bool writeEnabled() const { return writable_; }
    // vxEieio: earlier stores complete before later ones.
    void barrier();
    // sysInWord: 0 (reported) for an address outside the window or odd.
    std::uint16_t load16(std::uint32_t boardAddress);
    // sysOutWord: ignored and reported outside the write window, outside
    // the NVRAM or at an odd address.
    void store16(std::uint32_t boardAddress, std::uint16_t value);

    // --- state, for `machine show` and checks (nothing is counted) ---
    std::uint32_t flags() const;
    std::uint32_t updateMode() const;
    bool serviceCleared() const;
    std::uint16_t f200A() const;
    std::uint16_t f200B() const;

    const std::deque<NvramAccess> &accesses() const { return log_; }
    std::size_t loads() const { return loads_; }
    std::size_t stores() const { return stores_; }
    std::size_t ignoredStores() const { return ignoredStores_; }
    std::size_t barriers() const { return barriers_; }

private:
    // Offset of a valid word address, or kSize after reporting `access`.
    std::size_t wordOffset(std::uint32_t boardAddress, const std::string &access);
    void record(NvramAccess access);
    std::uint32_t word32(std::size_t offset) const;
    void setWord32(std::size_t offset, std::uint32_t value);

    std::unique_ptr<MappedFile> file_;
    std::uint8_t *bytes_; // the mapping, kSize bytes
    Console &console_;
    Faults &faults_;
    bool writable_ = false;
    std::deque<NvramAccess> log_;
    std::size_t loads_ = 0;
    std::size_t stores_ = 0;
    std::size_t ignoredStores_ = 0;
    std::size_t barriers_ = 0;
};

} // namespace host
