#include "host/Machine.h"

#include "host/io/HostFolderDevice.h"
#include "host/io/RamDisk.h"

#include <atomic>
#include <stdexcept>

namespace host {

namespace {
std::atomic<Machine *> bound{nullptr};
}

Machine::Machine(const MachineConfig &config)
    : io_(std::make_unique<IoSystem>(console_)), kernel_(std::make_unique<Kernel>())
{
    if (!config.media.empty())
        io_->addDevice(std::make_unique<HostFolderDevice>("/usbstor/0", config.media, true, console_));
    if (!config.disk.empty())
        for (const char *part : {"SYS", "ROM", "PRF", "UND"})
            io_->addDevice(std::make_unique<HostFolderDevice>(std::string("/") + part,
                                                              config.disk / part, false, console_));
}

Machine::~Machine()
{
    // Tasks end before the devices they may still hold files on.
    kernel_.reset();
    Machine *self = this;
    bound.compare_exchange_strong(self, nullptr);
}

RamBlockDevice *Machine::createRamDevice(char *memory, int bytesPerBlock, int blocksPerTrack,
                                         int blocks, int offset)
{
    if (!memory || bytesPerBlock <= 0 || blocksPerTrack <= 0 || blocks <= 0 || offset < 0 ||
        offset >= blocks)
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

bool Machine::copyRamDiskOut(const std::filesystem::path &dir)
{
    auto *fs = dynamic_cast<DosFsDevice *>(io_->device("/TMP"));
    if (!fs)
        return true;
    return fs->copyOut(dir);
}

MachineBinding::MachineBinding(Machine &machine)
{
    Machine *expected = nullptr;
    if (!bound.compare_exchange_strong(expected, &machine))
        throw std::logic_error("another machine is bound already");
}

MachineBinding::~MachineBinding()
{
    bound.store(nullptr);
}

Machine &boundMachine()
{
    Machine *m = bound.load();
    if (!m)
        throw std::logic_error("no machine is bound");
    return *m;
}

bool machineBound()
{
    return bound.load() != nullptr;
}

} // namespace host
