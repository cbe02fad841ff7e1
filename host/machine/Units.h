// The sub-units' firmware (laser, PFC, engine, scanner) and the boot
// environment's service that rewrites it, frwRewriteMAIN. Each unit's
// firmware is one file of the machine folder's units/ folder.
#pragma once

#include "host/machine/MachineLayout.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace host {

class IoSystem;
class Faults;

class Units {
public:
    // The units by name, as their firmware files are named (NAME.bin).
    static constexpr std::array<std::string_view, 4> kNames = machine_layout::kUnits;

    // `unitsDir` is made on the first rewrite when missing.
    Units(std::filesystem::path unitsDir, IoSystem &io, Faults &faults);

    // Stores the whole file at device path `path` as the firmware of the
    // unit with target code `code` (15 laser, 14 PFC, 11 engine, 13
    // scanner). -1, leaving the firmware as it was, for another code or a
    // file that cannot be read or is empty; otherwise 0. `arg` is unused.
    // Counts the fault "unit.NAME" per call of a known code, and the
    // power-cut event "unit" per rewrite that goes ahead; a due cut leaves
    // the first half of the new firmware in the unit's file.
    int rewrite(int code, int arg, std::string_view path);

    // Bytes of the unit's firmware; nullopt when it was never written or
    // the name is not a unit's.
    std::optional<std::uintmax_t> firmwareSize(std::string_view name) const;

private:
    std::filesystem::path dir_;
    IoSystem &io_;
    Faults &faults_;
};

} // namespace host
