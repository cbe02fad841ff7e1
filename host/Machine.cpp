#include "host/Machine.h"

#include "host/io/HostFolderDevice.h"
#include "host/io/RamDisk.h"
#include "host/machine/Archiver.h"
#include "host/machine/FlashRom.h"
#include "host/machine/HardDisk.h"
#include "host/machine/Keys.h"
#include "host/machine/MachineLayout.h"
#include "host/machine/Nvram.h"
#include "host/machine/Panel.h"
#include "host/machine/Units.h"

#include <atomic>
#include <cstdlib>
#include <iterator>
#include <stdexcept>

extern "C" void __lsan_ignore_object(const void *) __attribute__((weak));

namespace host {

std::string_view nameOf(Phase phase)
{
    // In the enumerators' order.
    static constexpr std::string_view kNames[] = {"starting", "staging", "flash ROM", "sub-unit firmware",
                                                  "HDD"};
    static_assert(std::size(kNames) == static_cast<std::size_t>(Phase::hdd) + 1);
    return kNames[static_cast<std::size_t>(phase)];
}

namespace detail {
std::atomic<Machine *> bound{nullptr};

void noMachineBound() { throw std::logic_error("no machine is bound"); }
} // namespace detail

using detail::bound;

ModuleHeap::~ModuleHeap()
{
    for (void *b : blocks_)
        std::free(b);
}

void *ModuleHeap::allocate(std::size_t bytes)
{
    void *b = std::malloc(bytes);
    if (b) {
        std::lock_guard lock(mutex_);
        blocks_.insert(b);
    }
    return b;
}

void ModuleHeap::release(void *block)
{
    if (!block)
        return;
    {
        std::lock_guard lock(mutex_);
        blocks_.erase(block);
    }
    std::free(block);
}

std::size_t ModuleHeap::blocks() const
{
    std::lock_guard lock(mutex_);
    return blocks_.size();
}

Machine::Machine(const MachineConfig &config) : config_(config), panel_(std::make_unique<Panel>())
{
    if (!config.folder.empty()) {
        nvram_ = std::make_unique<Nvram>(config.folder / machine_layout::kNvramFile, console_, faults_);
        flash_ = std::make_unique<FlashRom>(config.folder / machine_layout::kFlashFile, console_, faults_);
    }
    io_ = std::make_unique<IoSystem>(console_);
    if (!config.media.empty())
        io_->addDevice(std::make_unique<HostFolderDevice>("/usbstor/0", config.media, true, console_));
    if (!config.folder.empty()) {
        std::filesystem::path disk = config.folder / machine_layout::kDiskFolder;
        for (std::string_view part : machine_layout::kPartitions) {
            std::error_code ec;
            std::filesystem::create_directories(disk / part, ec);
            io_->addDevice(
                std::make_unique<HostFolderDevice>("/" + std::string(part), disk / part, false, console_));
        }
        units_ = std::make_unique<Units>(config.folder / machine_layout::kUnitsFolder, *io_, faults_);
        disk_ = std::make_unique<HardDisk>(disk, *io_, faults_, console_);
    }
    inflateRoom_ = std::make_unique<InflateRoom>();
    kernel_ = std::make_unique<Kernel>();
    keys_ = std::make_unique<Keys>(*kernel_);
    faults_.setPowerSwitch([this](const std::string &what) { cutPower(what); });
}

Machine::~Machine()
{
    // Tasks end before the devices they may still hold files on.
    const bool cut = kernel_->poweredOff();
    keys_.reset();
    kernel_.reset();
    // Bytes still in a stream's buffer never reached the device.
    if (cut)
        io_->dropStreams();
    Machine *self = this;
    bound.compare_exchange_strong(self, nullptr);
}

void Machine::cutPower(const std::string &what)
{
    if (!kernel_->poweredOff())
        cutWhat_ = what;
    kernel_->powerCut();
}

RamBlockDevice *Machine::createRamDevice(char *memory, int bytesPerBlock, int blocksPerTrack, int blocks,
                                         int offset)
{
    if (!memory || bytesPerBlock <= 0 || blocksPerTrack <= 0 || blocks <= 0 || offset < 0 || offset >= blocks)
        return nullptr;
    std::size_t bytes = static_cast<std::size_t>(blocks - offset) * static_cast<std::size_t>(bytesPerBlock);
    ramDevices_.push_back(std::make_unique<RamBlockDevice>(
        memory + static_cast<std::size_t>(offset) * static_cast<std::size_t>(bytesPerBlock), bytes,
        bytesPerBlock));
    return ramDevices_.back().get();
}

bool Machine::isRamDevice(const void *p) const
{
    for (auto &d : ramDevices_)
        if (d.get() == p)
            return true;
    return false;
}

bool Machine::makeDosFs(const std::string &name, RamBlockDevice *device)
{
    if (!device || io_->device(name))
        return false;
    return io_->addDevice(std::make_unique<DosFsDevice>(name, *device, console_));
}

bool Machine::copyRamDiskOut(const std::filesystem::path &dir,
                             const std::function<bool(const std::filesystem::path &)> &refuse)
{
    auto *fs = dynamic_cast<DosFsDevice *>(io_->device("/TMP"));
    if (!fs)
        return true;
    return fs->copyOut(dir, refuse);
}

void Machine::keepHeldMemory() const
{
    // Present only in a sanitizer build.
    if (__lsan_ignore_object)
        heap_.forEach([](void *block) { __lsan_ignore_object(block); });
}

void Machine::noteProgress(std::optional<Phase> phase, int hddFile, std::uint64_t inflated)
{
    if (!watcher_)
        return;
    if (phase)
        progress_.phase = *phase;
    if (hddFile > 0)
        progress_.hddFile = hddFile;
    progress_.inflated += inflated;
    watcher_(progress_);
}

MachineBinding::MachineBinding(Machine &machine)
{
    Machine *expected = nullptr;
    if (!bound.compare_exchange_strong(expected, &machine))
        throw std::logic_error("another machine is bound already");
}

MachineBinding::~MachineBinding() { bound.store(nullptr); }

bool machineBound() { return bound.load() != nullptr; }

} // namespace host
