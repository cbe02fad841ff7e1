#include "host/machine/Nvram.h"

#include "host/Console.h"
#include "host/Faults.h"
#include "host/machine/MappedFile.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>

namespace host {

namespace {

// The board is big-endian; the bytes are put together one by one so the
// file reads the same on every host.
std::uint32_t loadBe32(const std::uint8_t *p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void storeBe32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

std::uint16_t loadBe16(const std::uint8_t *p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

void storeBe16(std::uint8_t *p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

std::string hex(std::uint32_t v, int digits)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, static_cast<unsigned>(v));
    return buf;
}

} // namespace

Nvram::Nvram(const std::filesystem::path &path, Console &console, Faults &faults)
    : file_(std::make_unique<MappedFile>(path, kSize)), bytes_(file_->data()), console_(console),
      faults_(faults)
{}

Nvram::~Nvram() = default;

void Nvram::create(const std::filesystem::path &path) { MappedFile::create(path, kSize, 0x00); }

std::uint32_t Nvram::word32(std::size_t offset) const { return loadBe32(bytes_ + offset); }

void Nvram::setWord32(std::size_t offset, std::uint32_t value) { storeBe32(bytes_ + offset, value); }

int Nvram::setBits(std::uint32_t mask)
{
    // The power goes before the flag is written: the cut leaves it as it was.
    if (faults_.powerCutDue(Event::nvramSet))
        faults_.cutPower();
    if (faults_.fires(Fault::nvramSet, console_, [&] { return "setBitNvFlag(" + hex(mask, 2) + ") fails"; }))
        return -1;
    setWord32(kFlagsOffset, word32(kFlagsOffset) | mask);
    return 0;
}

int Nvram::clearBits(std::uint32_t mask)
{
    if (faults_.powerCutDue(Event::nvramClear))
        faults_.cutPower();
    if (faults_.fires(Fault::nvramClear, console_,
                      [&] { return "clearBitNvRAMFlags(" + hex(mask, 2) + ") fails"; }))
        return -1;
    setWord32(kFlagsOffset, word32(kFlagsOffset) & ~mask);
    return 0;
}

int Nvram::clearAllFlags()
{
    setWord32(kFlagsOffset, 0);
    return 0;
}

int Nvram::clearAutoMode()
{
    setWord32(kModeOffset, 0);
    return 0;
}

void Nvram::setUpdateModeOn() { setWord32(kModeOffset, 1); }

int Nvram::clearService()
{
    std::fill_n(bytes_ + kServiceOffset, kServiceSize, std::uint8_t{0});
    return 0;
}

void Nvram::record(NvramAccess access)
{
    if (log_.size() == kAccessLogLength)
        log_.pop_front();
    log_.push_back(access);
}

void Nvram::barrier()
{
    // Stores go straight to the shared mapping; the fence keeps the host
    // compiler and processor from moving them across the barrier.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    ++barriers_;
    record({NvramAccess::Kind::Barrier, 0, 0});
}

std::size_t Nvram::wordOffset(std::uint32_t boardAddress, const std::string &access)
{
    std::uint32_t offset = boardAddress - kBoardBase; // wraps below the window
    if (boardAddress < kBoardBase || offset >= kSize) {
        console_.report("nvram: " + access + " outside the NVRAM window ignored");
        return kSize;
    }
    // A halfword access on the board's bus must be aligned.
    if (offset % 2 != 0) {
        console_.report("nvram: misaligned 16-bit " + access + " ignored");
        return kSize;
    }
    return offset;
}

std::uint16_t Nvram::load16(std::uint32_t boardAddress)
{
    std::size_t offset = wordOffset(boardAddress, "load from " + hex(boardAddress, 8));
    if (offset == kSize)
        return 0;
    std::uint16_t value = loadBe16(bytes_ + offset);
    ++loads_;
    record({NvramAccess::Kind::Load, boardAddress, value});
    return value;
}

void Nvram::store16(std::uint32_t boardAddress, std::uint16_t value)
{
    std::string access = "store of " + hex(value, 4) + " to " + hex(boardAddress, 8);
    std::size_t offset = wordOffset(boardAddress, access);
    if (offset != kSize && !writable_) {
        console_.report("nvram: " + access + " outside the write window ignored");
        offset = kSize;
    }
    if (offset == kSize) {
        ++ignoredStores_;
        record({NvramAccess::Kind::IgnoredStore, boardAddress, value});
        return;
    }
    storeBe16(bytes_ + offset, value);
    ++stores_;
    record({NvramAccess::Kind::Store, boardAddress, value});
}

std::uint32_t Nvram::flags() const { return word32(kFlagsOffset); }

std::uint32_t Nvram::updateMode() const { return word32(kModeOffset); }

bool Nvram::serviceCleared() const
{
    const std::uint8_t *p = bytes_ + kServiceOffset;
    return std::all_of(p, p + kServiceSize, [](std::uint8_t b) { return b == 0; });
}

std::uint16_t Nvram::f200A() const { return loadBe16(bytes_ + kF200AOffset); }

std::uint16_t Nvram::f200B() const { return loadBe16(bytes_ + kF200BOffset); }

} // namespace host
