// The machine folder: the files that hold a simulated machine's state
// between runs (NVRAM, flash ROM, boot version, sub-unit firmware, disk).
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace host {

struct MachineFolderError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

namespace machine_layout {
constexpr std::uintmax_t kNvramBytes = 65536;
constexpr std::uintmax_t kFlashBytes = 16777216;
constexpr std::uint32_t kNvramBase = 0xBA000000u;
constexpr std::uint32_t kFlashBase = 0xFF000000u;
constexpr const char *kDefaultBootVersion = "BOOT V1.00";
inline constexpr const char *kPartitions[] = {"SYS", "ROM", "PRF", "UND"};
inline constexpr const char *kUnits[] = {"lsr", "pfc", "engine", "scanner"};
} // namespace machine_layout

class MachineFolder {
public:
    // Makes a new machine in `dir`, which must be missing or empty.
    static void init(const std::filesystem::path &dir);
    // Throws MachineFolderError naming what is wrong; changes nothing.
    static void validate(const std::filesystem::path &dir);
    // A folder `run` may create a machine in.
    static bool missingOrEmpty(const std::filesystem::path &dir);
    // What an engineer wants to see of the machine's state.
    static std::string show(const std::filesystem::path &dir);

    // The regular files below a disk partition's folder and their bytes.
    struct Tally {
        std::uintmax_t files = 0, bytes = 0;
    };
    static Tally tally(const std::filesystem::path &folder);
};

} // namespace host
