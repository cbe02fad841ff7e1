// The names of a machine folder's files and folders, spelt here and nowhere
// else: the machine, `machine init`, `machine show` and the sweeps all find
// them through these.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace host::machine_layout {

inline constexpr std::string_view kNvramFile = "nvram.bin";
inline constexpr std::string_view kFlashFile = "flashrom.bin";
inline constexpr std::string_view kBootVersionFile = "bootversion.txt";
inline constexpr std::string_view kUnitsFolder = "units";
inline constexpr std::string_view kDiskFolder = "disk";

// The sub-units, as their firmware files under kUnitsFolder are named.
inline constexpr std::array<std::string_view, 4> kUnits = {"lsr", "pfc", "engine", "scanner"};
// The disk's partitions: folders of kDiskFolder, served as "/NAME".
inline constexpr std::array<std::string_view, 4> kPartitions = {"SYS", "ROM", "PRF", "UND"};

// A unit's firmware file under kUnitsFolder: "lsr.bin".
inline std::string unitFile(std::string_view unit) { return std::string(unit) + ".bin"; }

} // namespace host::machine_layout
