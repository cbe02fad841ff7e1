// How much of a long reliability sweep a test run covers. An optimised build
// runs every case; a sanitizer or coverage build, where each dlupdate run is
// many times slower, runs a fixed sample unless DL_FULL_SWEEP=1 asks for
// everything.
#pragma once

#include <cstdlib>
#include <string_view>

namespace testing_support {

// A sanitizer or coverage build.
inline bool instrumentedBuild()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(DL_COVERAGE_BUILD)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

inline bool fullSweepAsked()
{
    const char *full = std::getenv("DL_FULL_SWEEP");
    return full && std::string_view(full) == "1";
}

inline bool wholeSweep() { return !instrumentedBuild() || fullSweepAsked(); }

// The power-cut sweeps boot the module a thousand times and more. A native
// optimised build runs a large part of them (`usual`), a sanitizer or
// emulator build a fixed sample; DL_FULL_SWEEP=1 asks for everything.
enum class SweepDepth { sample, usual, full };

inline SweepDepth powerCutSweepDepth()
{
#if defined(DL_EMULATED)
    constexpr bool emulated = true;
#else
    constexpr bool emulated = false;
#endif
    if (fullSweepAsked())
        return SweepDepth::full;
    return instrumentedBuild() || emulated ? SweepDepth::sample : SweepDepth::usual;
}

} // namespace testing_support
