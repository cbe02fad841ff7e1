// The hard disk and the boot environment's HD loader services:
// bootHdLoaderInit, bootHdFormatOSPartition, bootHdLoaderBackupPartAll and
// catMkdir. The partitions are the folders SYS, ROM, PRF and UND of the
// disk folder, served by the I/O system as "/SYS" ... "/UND".
#pragma once

#include "host/machine/DiscardedFiles.h"
#include "host/machine/MachineLayout.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class IoSystem;
class Faults;
class Console;

class HardDisk {
public:
    static constexpr std::array<std::string_view, 4> kPartitions = machine_layout::kPartitions;

    struct PartitionSummary {
        std::string name;
        bool present = false;
        std::uintmax_t files = 0;
        std::uintmax_t bytes = 0;
    };

    HardDisk(std::filesystem::path diskDir, IoSystem &io, Faults &faults, Console &console);

    // 0 when the disk folder exists (missing partition folders are made);
    // -1 when it does not, a partition cannot be made, or on the fault
    // "hd-init", counted per call. `arg` is unused.
    int loaderInit(int arg);
    // Empties the OS partition "/SYS", keeping its folder. 0 or -1.
    int formatOSPartition();
    // Replaces the tree at device path `to` with a copy of the tree at
    // `from`; missing parents of `to` are made. -1 when `from` is no folder,
    // when one tree lies inside the other, or when a step fails.
    int backupPartAll(std::string_view from, std::string_view to);
    // Makes the one directory `path`. -1 when it exists already, its parent
    // does not, the path names no device or leaves it, or on the fault
    // "mkdir", counted per call.
    int catMkdir(std::string_view path);

    // Returns once the files that formats and backups replaced are gone
    // from the host's disk folder as well (they leave the partitions at once).
    void settle();

    // Files and bytes per partition, for showing the machine's state.
    std::vector<PartitionSummary> summary() const;

private:
    bool copyTree(const std::string &from, const std::string &to);

    std::filesystem::path dir_;
    IoSystem &io_;
    Faults &faults_;
    Console &console_;
    DiscardedFiles discarded_; // last, so that it is made after dir_
};

} // namespace host
