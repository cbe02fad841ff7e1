// The machine folder: the files that hold a simulated machine's state
// between runs (NVRAM, flash ROM, boot version, sub-unit firmware, disk).
#pragma once

#include "host/machine/MachineLayout.h"

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace host {

struct MachineFolderError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class MachineFolder {
public:
    // Makes a new machine in `dir`, which must be missing or empty.
    static void init(const std::filesystem::path &dir);
    // Throws MachineFolderError naming what is wrong; changes nothing.
    static void validate(const std::filesystem::path &dir);
    // A folder `run` may create a machine in.
    static bool missingOrEmpty(const std::filesystem::path &dir);
    // What an engineer wants to see of the machine's state (MachineState).
    static std::string show(const std::filesystem::path &dir);
};

} // namespace host
