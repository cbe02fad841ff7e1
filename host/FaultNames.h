// Every injectable fault and power-cut event by enumerator: a call site
// names what it counts with one of these, so a misspelt name does not
// compile. The names the user types, and what each does, are in one table
// in Faults.cpp, in the order of these enumerators.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace host {

// A call that fails when its fault is given.
enum class Fault : unsigned char {
    ramdisk,
    keys,
    msgqCreate,
    msgqSend,
    msgqReceive,
    archiver,
    copy,
    mkdir,
    flashCreate,
    flashInfo,
    flashErase,
    flashWrite,
    flashVerify,
    nvramSet,
    nvramClear,
    unitLsr,
    unitPfc,
    unitEngine,
    unitScanner,
    hdInit,
    malloc,
};
inline constexpr int kFaultCount = static_cast<int>(Fault::malloc) + 1;

// A fault aimed at one task, path or destination: "spawn.tUpdate",
// "open@/TMP/from.bin", "read@...", "archiver@...".
enum class AimedFault : unsigned char { spawn, open, read, archiver };
inline constexpr int kAimedFaultCount = static_cast<int>(AimedFault::archiver) + 1;

// Where a power cut may fall.
enum class Event : unsigned char { flashErase, flashWrite, archiver, unit, nvramSet, nvramClear };
inline constexpr int kEventCount = static_cast<int>(Event::nvramClear) + 1;

// Every event, in the enumerators' order: what a sweep cuts at, and the
// order its counts are told in.
inline constexpr std::array<Event, kEventCount> kEvents = [] {
    std::array<Event, kEventCount> all{};
    for (int i = 0; i < kEventCount; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<Event>(i);
    return all;
}();

// The names as given on the command line.
std::string_view nameOf(Fault fault);
std::string nameOf(AimedFault fault, std::string_view target);
std::string_view nameOf(Event event);

} // namespace host
