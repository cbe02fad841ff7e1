// One simulated machine: its kernel, I/O system, console and faults, and
// the devices of the board. The module reaches the machine that is bound
// with MachineBinding; only one can be bound at a time, since the module's
// interfaces are plain functions.
#pragma once

#include "host/Console.h"
#include "host/Faults.h"
#include "host/io/IoSystem.h"
#include "host/kernel/Kernel.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace host {

class RamBlockDevice;
class Nvram;
class FlashRom;
class Panel;
class Keys;
class Units;
class HardDisk;
class InflateRoom;

struct MachineConfig {
    // Folder served read-only as "/usbstor/0"; none when empty.
    std::filesystem::path media;
    // The machine folder (nvram.bin, flashrom.bin, bootversion.txt, units/,
    // disk/); a machine without one has only its kernel, I/O system, panel
    // and keys. It must be valid: see MachineFolder.
    std::filesystem::path folder;
};

// What the module allocates belongs to its machine: when the machine goes
// (a power cut, the end of a run) the blocks still held go with it, as the
// device's RAM does.
class ModuleHeap {
public:
    ModuleHeap() = default;
    ~ModuleHeap();
    ModuleHeap(const ModuleHeap &) = delete;
    ModuleHeap &operator=(const ModuleHeap &) = delete;
    void *allocate(std::size_t bytes);
    void release(void *block);
    std::size_t blocks() const;
    template <class F>
    void forEach(F f) const
    {
        std::lock_guard lock(mutex_);
        for (void *b : blocks_)
            f(b);
    }

private:
    mutable std::mutex mutex_;
    std::unordered_set<void *> blocks_;
};

// The work in hand, for a progress line outside the machine: the bindings
// note it as the module calls the boot environment.
// Where a session's long work stands, for the progress shown beside it.
enum class Phase : unsigned char { starting, staging, flashRom, units, hdd };
// "staging", "flash ROM", "sub-unit firmware", "HDD": as the progress line says it.
std::string_view nameOf(Phase phase);

struct Progress {
    Phase phase = Phase::starting;
    int hddFile = 0;            // the HDD package file last opened on the media
    std::uint64_t inflated = 0; // bytes the archiver wrote, all calls
};

class Machine {
public:
    explicit Machine(const MachineConfig &config = {});
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    Console &console() { return console_; }
    Faults &faults() { return faults_; }
    ModuleHeap &heap() { return heap_; }
    // Counts one call of the fault `name`; when it fires, says so on the
    // host's own output ("fault NAME: " and what `what()` tells) and returns
    // true. The text is made only then: most calls run with no fault.
    template <class What>
    bool faultFires(Fault fault, What &&what)
    {
        return faults_.fires(fault, console_, std::forward<What>(what));
    }
    template <class What>
    bool faultFires(AimedFault fault, std::string_view target, What &&what)
    {
        return faults_.fires(fault, target, console_, std::forward<What>(what));
    }
    Kernel &kernel() { return *kernel_; }
    IoSystem &io() { return *io_; }
    Panel &panel() { return *panel_; }
    Keys &keys() { return *keys_; }
    // Null on a machine without a folder.
    Nvram *nvram() { return nvram_.get(); }
    FlashRom *flash() { return flash_.get(); }
    Units *units() { return units_.get(); }
    HardDisk *disk() { return disk_.get(); }
    InflateRoom &inflateRoom() { return *inflateRoom_; }
    const std::filesystem::path &folder() const { return config_.folder; }

    // The one way the power goes, for an event's cut and for the keyboard:
    // in a task the task unwinds at once (never returns); from outside the
    // running task goes on to its next switch. No task runs again; the RAM
    // disk and what streams hold are lost; the folder stays as it stands.
    // `what` says where ("in flash-write #1"); the first cut's is kept.
    void cutPower(const std::string &what);
    bool poweredOff() const { return kernel_->poweredOff(); }
    const std::string &powerCutWhat() const { return cutWhat_; }

    // ramDevCreate / dosFsMkfs: block devices over the module's memory.
    RamBlockDevice *createRamDevice(char *memory, int bytesPerBlock, int blocksPerTrack, int blocks,
                                    int offset);
    bool isRamDevice(const void *p) const;
    // Puts a DOS file system named `name` on the block device; false when
    // the name is taken.
    bool makeDosFs(const std::string &name, RamBlockDevice *device);
    // Copies every file and folder of "/TMP" into `dir` (nothing when the
    // RAM disk was never made). False on a host error, or where `refuse`
    // refuses a destination.
    bool copyRamDiskOut(const std::filesystem::path &dir,
                        const std::function<bool(const std::filesystem::path &)> &refuse = {});

    // A run ending with tasks parked for good (a stall, the keyboard) or a
    // session ended by exit() tells the leak checker that the blocks the
    // module holds are held, as on the device, not lost.
    void keepHeldMemory() const;

    // Called in the module's tasks after each change of the progress.
    void watchProgress(std::function<void(const Progress &)> watcher) { watcher_ = std::move(watcher); }
    bool progressWatched() const { return static_cast<bool>(watcher_); }
    // A new phase (nothing: the same), an HDD file (0: the same), bytes added.
    void noteProgress(std::optional<Phase> phase, int hddFile = 0, std::uint64_t inflated = 0);

private:
    ModuleHeap heap_; // outlives every device over the module's memory
    MachineConfig config_;
    Console console_;
    Faults faults_;
    std::unique_ptr<Panel> panel_;
    std::unique_ptr<Nvram> nvram_;
    std::unique_ptr<FlashRom> flash_; // outlives the I/O system holding its device
    std::unique_ptr<IoSystem> io_;
    std::unique_ptr<Units> units_;
    std::unique_ptr<HardDisk> disk_;
    std::unique_ptr<InflateRoom> inflateRoom_;
    std::vector<std::unique_ptr<RamBlockDevice>> ramDevices_;
    std::unique_ptr<Kernel> kernel_; // its tasks die before what they use
    std::unique_ptr<Keys> keys_;
    std::string cutWhat_;
    Progress progress_;
    std::function<void(const Progress &)> watcher_;
};

// Binds a machine to the module's calls for the binding's lifetime.
class MachineBinding {
public:
    explicit MachineBinding(Machine &machine);
    ~MachineBinding();
    MachineBinding(const MachineBinding &) = delete;
    MachineBinding &operator=(const MachineBinding &) = delete;
};

namespace detail {
extern std::atomic<Machine *> bound;
[[noreturn]] void noMachineBound();
} // namespace detail

// The bound machine; std::logic_error when none is. Inline, as it runs once
// per I/O call, a byte at a time in a flash read-back. Relaxed: a machine
// is bound before its tasks start and unbound after they end, so thread
// start and join already order it.
inline Machine &boundMachine()
{
    Machine *m = detail::bound.load(std::memory_order_relaxed);
    if (!m)
        detail::noMachineBound();
    return *m;
}
bool machineBound();

} // namespace host
