// A machine folder's lasting state, read in one go: the bytes of its files,
// which the sweeps compare exactly, and what they say (rewrite flags, update
// mode, F200 flag, flash extent, boot version, units, disk), which
// `machine show`, `machine verify` and the run report print.
#pragma once

#include "host/machine/Nvram.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// The rewrite flags by name, in the order they are listed.
struct RewriteFlag {
    std::uint32_t mask;
    const char *name;
};
inline constexpr std::array<RewriteFlag, 2> kRewriteFlags = {{
    {Nvram::kFlashRewriteFlag, "FLASH_REWRITE"},
    {Nvram::kHddUpdateFlag, "HDD_UPDATE"},
}};

struct MachineState {
    // How much of the folder read() takes.
    enum class Scope {
        nvram,     // nvram.bin alone: the flags between two boots
        summary,   // every file but the disk's and the units' maps, the disk only counted
        everyByte, // and every byte below units/ and disk/, as the sweeps compare them
    };

    // Stands in the maps for an entry that is no regular file (a folder).
    static constexpr std::string_view kNotAFile = "<dir>";
    // Disk files that `machine show` reads, as the module names them.
    static constexpr std::string_view kVersionTextPath = "/ROM/sysDummy.txt";
    static constexpr std::string_view kProgressLogPath = "/UND/HddUpdateProgress.log";

    // ---- the bytes ----
    std::string nvram; // nvram.bin whole; "" when it is no readable file
    std::string flash; // flashrom.bin whole, the same
    bool hasNvram = false, hasFlash = false;
    // Every entry below units/ and disk/ by its path there ("lsr.bin",
    // "SYS/bin/app"), kNotAFile for a folder or anything else that is no
    // regular file. Scope::everyByte only. A partition reached through a
    // symbolic link is followed, as the machine follows it.
    std::map<std::string, std::string> units;
    std::map<std::string, std::string> disk;

    // ---- what else the folder holds (Scope::summary and everyByte) ----
    // Where a symbolic link standing for a folder or file of the machine
    // leads; such links are followed by design (a big disk kept elsewhere).
    using Link = std::optional<std::string>;
    Link link; // the machine folder itself
    struct BootVersion {
        bool file = false; // bootversion.txt is there; the default text stands in otherwise
        std::string text;  // as the boot environment reports it
    } bootVersion;
    Link unitsLink;
    struct Unit {
        std::string_view name;               // "lsr"
        std::optional<std::string> firmware; // nullopt: never rewritten
        Link link;
        std::string sha256() const; // of the firmware, which is there
    };
    std::vector<Unit> unitFirmware; // in the order of machine_layout::kUnits
    struct Partition {
        std::string_view name; // "SYS"
        bool present = false;  // its folder is there
        std::uintmax_t files = 0, bytes = 0;
        Link link;
    };
    std::vector<Partition> partitions;              // in the order of machine_layout::kPartitions
    std::optional<std::string> versionText;         // the file at kVersionTextPath
    std::optional<std::string> progressLogLastLine; // of the file at kProgressLogPath

    // ---- the NVRAM's words; all ones where nvram is too short ----
    std::uint32_t rewriteFlags() const;
    std::uint32_t updateMode() const;
    bool serviceAreaClear() const;
    std::uint16_t f200A() const;
    std::uint16_t f200B() const;
    bool f200Set() const;

    // ---- the flash ----
    struct Extent {
        std::size_t first = 0, last = 0; // the first and last programmed bytes
    };
    // nullopt when every byte is erased.
    std::optional<Extent> flashExtent() const;
    std::string flashSha256() const;
    // Of the flash from its start to the extent's last byte; "" when erased.
    std::string flashSha256ToExtentEnd() const;

    // Reads `dir` as it stands, taking what cannot be read as absent (the
    // caller validates the folder first where that matters: see
    // MachineFolder::validate). std::filesystem::filesystem_error when a
    // folder of units/ or disk/ cannot be listed in Scope::everyByte.
    static MachineState read(const std::filesystem::path &dir, Scope scope);

    // "" when the bytes are the same, else what differs ("nvram", "flash",
    // "units", "disk"), comma-separated.
    std::string differences(const MachineState &other) const;
};

} // namespace host
