// One simulated machine: its kernel, I/O system, console and faults, and
// the devices of the board. The module reaches the machine that is bound
// with MachineBinding; only one can be bound at a time, since the module's
// interfaces are plain functions.
#pragma once

#include "host/Console.h"
#include "host/Faults.h"
#include "host/io/IoSystem.h"
#include "host/kernel/Kernel.h"

#include <filesystem>
#include <memory>
#include <vector>

namespace host {

class RamBlockDevice;

struct MachineConfig {
    // Folder served read-only as "/usbstor/0"; none when empty.
    std::filesystem::path media;
    // Folder holding disk/SYS ... disk/UND served as "/SYS" ... "/UND";
    // none when empty.
    std::filesystem::path disk;
};

class Machine {
public:
    explicit Machine(const MachineConfig &config = {});
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    Console &console() { return console_; }
    Faults &faults() { return faults_; }
    Kernel &kernel() { return *kernel_; }
    IoSystem &io() { return *io_; }

    // ramDevCreate / dosFsMkfs: block devices over the module's memory.
    RamBlockDevice *createRamDevice(char *memory, int bytesPerBlock, int blocksPerTrack,
                                    int blocks, int offset);
    bool isRamDevice(const void *p) const;
    // Puts a DOS file system named `name` on the block device; false when
    // the name is taken.
    bool makeDosFs(const std::string &name, RamBlockDevice *device);
    // Copies every file and folder of "/TMP" into `dir` (nothing when the
    // RAM disk was never made). False on a host error.
    bool copyRamDiskOut(const std::filesystem::path &dir);

private:
    Console console_;
    Faults faults_;
    std::unique_ptr<IoSystem> io_;
    std::vector<std::unique_ptr<RamBlockDevice>> ramDevices_;
    std::unique_ptr<Kernel> kernel_; // last member: its tasks die first
};

// Binds a machine to the module's calls for the binding's lifetime.
class MachineBinding {
public:
    explicit MachineBinding(Machine &machine);
    ~MachineBinding();
    MachineBinding(const MachineBinding &) = delete;
    MachineBinding &operator=(const MachineBinding &) = delete;
};

// The bound machine; std::logic_error when none is.
Machine &boundMachine();
bool machineBound();

} // namespace host
