#include "host/machine/FlashRom.h"

#include "host/Console.h"
#include "host/Faults.h"
#include "host/machine/MappedFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <utility>

namespace host {

namespace {

std::string hex(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
    return buf;
}

// An area of the flash, as an offset from its start and a length.
using Range = std::pair<std::uint32_t, std::uint32_t>;

} // namespace

struct FlashRom::State {
    State(const std::filesystem::path &path, Console &c, Faults &f) : file(path, kSize), console(c), faults(f)
    {}

    MappedFile file;
    Console &console;
    Faults &faults;
    std::map<std::string, Range, std::less<>> devices;
    // Areas whose write protection fromDevUnlock has lifted.
    std::set<Range> unlocked;

    bool isLocked(Range area) const { return unlocked.count(area) == 0; }
};

namespace {

// One open of a flash device file. It keeps the mapping alive, so it stays
// valid after its device and the FlashRom are gone.
class FlashFile : public OpenFile {
public:
    FlashFile(std::shared_ptr<FlashRom::State> state, std::string name, Range area, int flags)
        : state_(std::move(state)), name_(std::move(name)), area_(area),
          bytes_(state_->file.data() + area.first), size_(area.second),
          readable_((flags & iof::kAccMode) != iof::kWrOnly),
          writable_((flags & iof::kAccMode) != iof::kRdOnly),
          // Faults are armed before the module runs; looking once here keeps
          // a byte-per-call read-back free of map look-ups.
          verifyWatched_(state_->faults.watches(Fault::flashVerify))
    {}

    long read(char *buffer, std::size_t n) override
    {
        if (!readable_)
            return refuseRead();
        const std::size_t left = size_ - position_;
        const std::size_t count = n < left ? n : left; // no std::min: see IoSystem::read
        if (count == 1)                                // the read-back's byte, without ASan's checked memcpy
            buffer[0] = static_cast<char>(bytes_[position_]);
        else
            std::memcpy(buffer, bytes_ + position_, count);
        if (verifyWatched_ && count > 0)
            spoilIfFaulted(buffer);
        position_ += count;
        return static_cast<long>(count);
    }

    // Out of line, these two: the read-back's hot path builds no strings.
    [[gnu::noinline]] long refuseRead()
    {
        state_->console.report("flash: read of " + name_ + " opened write-only refused");
        return -1;
    }

    [[gnu::noinline]] void spoilIfFaulted(char *buffer)
    {
        if (state_->faults.fires(Fault::flashVerify, state_->console, [&] {
                return "read of " + name_ + " at offset " + std::to_string(position_) +
                       " returns a wrong byte";
            }))
            buffer[0] = static_cast<char>(buffer[0] ^ 0xFF);
    }

    long write(const char *buffer, std::size_t n) override
    {
        if (state_->faults.fires(Fault::flashWrite, state_->console, [&] {
                return "write of " + std::to_string(n) + " bytes to " + name_ + " stores nothing";
            }))
            return 0;
        if (!allowed("write"))
            return -1;
        std::size_t count = std::min(n, size_ - position_);
        if (count < n)
            state_->console.report("flash: write of " + std::to_string(n) + " bytes to " + name_ +
                                   " at offset " + std::to_string(position_) + " cut to the area's end (" +
                                   std::to_string(count) + " bytes)");
        if (count > 0 && state_->faults.powerCutDue(Event::flashWrite)) {
            program(buffer, count / 2);
            state_->faults.cutPower();
        }
        program(buffer, count);
        position_ += count;
        return static_cast<long>(count);
    }

    long seek(long offset, int whence) override
    {
        long long from = 0;
        switch (whence) {
        case iof::kSeekSet:
            from = 0;
            break;
        case iof::kSeekCur:
            from = static_cast<long long>(position_);
            break;
        case iof::kSeekEnd:
            from = static_cast<long long>(size_);
            break;
        default:
            return -1;
        }
        // Checked before adding, so no offset can overflow the sum.
        if (offset < -from || offset > static_cast<long long>(size_) - from)
            return -1;
        position_ = static_cast<std::size_t>(from + offset);
        return static_cast<long>(position_);
    }

    long size() const override { return static_cast<long>(size_); }

    int ioctl(int function, long /*arg*/) override
    {
        if (function != FlashRom::kEraseFunction) {
            state_->console.report("flash: ioctl function " + std::to_string(function) + " on " + name_ +
                                   " is not supported");
            return -1;
        }
        if (state_->faults.fires(Fault::flashErase, state_->console,
                                 [&] { return "erase of " + name_ + " fails"; }))
            return -1;
        if (!allowed("erase"))
            return -1;
        if (state_->faults.powerCutDue(Event::flashErase)) {
            std::memset(bytes_, FlashRom::kErasedByte, size_ / 2);
            state_->faults.cutPower();
        }
        std::memset(bytes_, FlashRom::kErasedByte, size_);
        return 0;
    }

private:
    bool allowed(const char *what)
    {
        if (!writable_) {
            state_->console.report("flash: " + std::string(what) + " of " + name_ +
                                   " opened read-only refused");
            return false;
        }
        if (state_->isLocked(area_)) {
            state_->console.report("flash: " + std::string(what) + " of " + name_ +
                                   " refused: the area is write-protected");
            return false;
        }
        return true;
    }

    // NOR programming only clears bits; an erase is what sets them again.
    void program(const char *buffer, std::size_t count)
    {
        std::uint8_t *to = bytes_ + position_;
        auto from = reinterpret_cast<const std::uint8_t *>(buffer);
        // Word by word: the same bits, an eighth of the instrumented
        // accesses in the sanitizer builds.
        std::size_t i = 0;
        for (; i + 8 <= count; i += 8) {
            std::uint64_t a, b;
            std::memcpy(&a, to + i, 8);
            std::memcpy(&b, from + i, 8);
            a &= b;
            std::memcpy(to + i, &a, 8);
        }
        for (; i < count; ++i)
            to[i] &= from[i];
    }

    std::shared_ptr<FlashRom::State> state_;
    std::string name_;
    Range area_;
    std::uint8_t *bytes_;
    std::size_t size_;
    std::size_t position_ = 0;
    bool readable_;
    bool writable_;
    bool verifyWatched_;
};

} // namespace

FlashRom::FlashRom(const std::filesystem::path &path, Console &console, Faults &faults)
    : state_(std::make_shared<State>(path, console, faults))
{}

FlashRom::~FlashRom() = default;

void FlashRom::create(const std::filesystem::path &path) { MappedFile::create(path, kSize, kErasedByte); }

std::unique_ptr<FlashDevice> FlashRom::createDevice(std::string_view name, std::uint32_t base,
                                                    std::uint32_t size)
{
    State &s = *state_;
    std::string call = "fromDevCreate(" + std::string(name) + ", " + hex(base) + ", " + hex(size) + ")";
    if (s.faults.fires(Fault::flashCreate, s.console, [&] { return call + " fails"; }))
        return nullptr;
    if (name.empty()) {
        s.console.report("flash: " + call + ": no device name");
        return nullptr;
    }
    // 64-bit sums: base + size may pass 2^32.
    std::uint64_t end = std::uint64_t{base} + size;
    if (base < kBoardBase || size == 0 || end > std::uint64_t{kBoardBase} + kSize) {
        s.console.report("flash: " + call + ": range outside the flash ROM");
        return nullptr;
    }
    if (s.devices.find(name) != s.devices.end()) {
        s.console.report("flash: " + call + ": device " + std::string(name) + " exists already");
        return nullptr;
    }
    Range area{base - kBoardBase, size};
    s.devices.emplace(std::string(name), area);
    return std::unique_ptr<FlashDevice>(new FlashDevice(std::string(name), state_, area.first, area.second));
}

bool FlashRom::hasDevice(std::string_view name) const
{
    return state_->devices.find(name) != state_->devices.end();
}

int FlashRom::info(std::string_view name, FlashInfo &out)
{
    State &s = *state_;
    if (s.faults.fires(Fault::flashInfo, s.console,
                       [&] { return "fromDevGetInfo(" + std::string(name) + ") fails"; }))
        return -1;
    auto it = s.devices.find(name);
    if (it == s.devices.end()) {
        s.console.report("flash: fromDevGetInfo(" + std::string(name) + "): no such device");
        return -1;
    }
    auto [offset, size] = it->second;
    out.size = static_cast<std::int32_t>(size);
    out.lockArg1 = kBoardBase + offset;
    out.lockArg2 = size;
    return 0;
}

namespace {

// The area that a pair of lock arguments names, if a device covers it.
const Range *lockArea(const std::map<std::string, Range, std::less<>> &devices, std::uint32_t arg1,
                      std::uint32_t arg2)
{
    if (arg1 < FlashRom::kBoardBase)
        return nullptr;
    Range wanted{arg1 - FlashRom::kBoardBase, arg2};
    for (const auto &[name, area] : devices)
        if (area == wanted)
            return &area;
    return nullptr;
}

} // namespace

int FlashRom::unlock(std::uint32_t arg1, std::uint32_t arg2)
{
    const Range *area = lockArea(state_->devices, arg1, arg2);
    if (area == nullptr) {
        state_->console.report("flash: fromDevUnlock(" + hex(arg1) + ", " + hex(arg2) +
                               ") names no flash device area: ignored");
        return -1;
    }
    state_->unlocked.insert(*area);
    return 0;
}

int FlashRom::lock(std::uint32_t arg1, std::uint32_t arg2)
{
    // An area unlocked before its device went away can still be locked.
    if (arg1 >= kBoardBase && state_->unlocked.erase({arg1 - kBoardBase, arg2}) != 0)
        return 0;
    const Range *area = lockArea(state_->devices, arg1, arg2);
    if (area == nullptr) {
        state_->console.report("flash: fromDevLock(" + hex(arg1) + ", " + hex(arg2) +
                               ") names no flash device area: ignored");
        return -1;
    }
    state_->unlocked.erase(*area);
    return 0;
}

bool FlashRom::locked(std::uint32_t base, std::uint32_t size) const
{
    return base < kBoardBase || state_->isLocked({base - kBoardBase, size});
}

std::span<const std::uint8_t> FlashRom::bytes() const { return {state_->file.data(), state_->file.size()}; }

FlashDevice::FlashDevice(std::string name, std::shared_ptr<FlashRom::State> state, std::uint32_t offset,
                         std::uint32_t size)
    : Device(std::move(name)), state_(std::move(state)), offset_(offset), size_(size)
{}

FlashDevice::~FlashDevice() { state_->devices.erase(name()); }

std::unique_ptr<OpenFile> FlashDevice::open(std::string_view rest, int flags, int /*mode*/)
{
    if (!rest.empty()) {
        state_->console.report("flash: " + name() + " holds no file '" + std::string(rest) +
                               "': only the whole area opens");
        return nullptr;
    }
    if ((flags & iof::kAccMode) == iof::kAccMode) {
        state_->console.report("flash: open of " + name() + " with a bad access mode");
        return nullptr;
    }
    return std::make_unique<FlashFile>(state_, name(), Range{offset_, size_}, flags);
}

} // namespace host
