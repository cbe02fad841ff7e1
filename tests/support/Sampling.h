// How much of a long reliability sweep a test run covers. An optimised build
// runs every case; a ThreadSanitizer, coverage or emulator build, where each
// dlupdate run is many times slower, runs a fixed sample unless
// DL_FULL_SWEEP=1 asks for everything. AddressSanitizer's build runs the
// power-cut sweeps and the media corpora whole, ThreadSanitizer's the single
// cuts and the random sequences.
#pragma once

#include <cstdlib>
#include <string_view>

namespace testing_support {

// gcc says which sanitizer it builds with by a macro, clang by
// __has_feature; one test for both.
#if defined(__has_feature)
#define DL_HAS_FEATURE(x) __has_feature(x)
#else
#define DL_HAS_FEATURE(x) 0
#endif

inline bool addressSanitized()
{
#if defined(__SANITIZE_ADDRESS__) || DL_HAS_FEATURE(address_sanitizer)
    return true;
#else
    return false;
#endif
}

inline bool threadSanitized()
{
#if defined(__SANITIZE_THREAD__) || DL_HAS_FEATURE(thread_sanitizer)
    return true;
#else
    return false;
#endif
}

// A sanitizer or coverage build.
inline bool instrumentedBuild()
{
#if defined(DL_COVERAGE_BUILD)
    return true;
#else
    return addressSanitized() || threadSanitized();
#endif
}

inline bool fullSweepAsked()
{
    const char *full = std::getenv("DL_FULL_SWEEP");
    return full && std::string_view(full) == "1";
}

// The corpora of damaged and hostile media: whole where a session costs what
// it costs optimised, AddressSanitizer's build included (see below).
inline bool wholeSweep() { return !instrumentedBuild() || addressSanitized() || fullSweepAsked(); }

// The sweeps boot the module a thousand times and more. A native optimised
// build runs a large part of them (`usual`), a sanitizer or emulator build
// a fixed sample; DL_FULL_SWEEP=1 asks for everything.
enum class SweepDepth { sample, usual, full };

inline SweepDepth faultSweepDepth()
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

// The power-cut sweeps run whole under AddressSanitizer: its build
// optimises the I/O calls of the flash read-back, so a session there costs
// about what it costs optimised.
inline SweepDepth powerCutSweepDepth() { return addressSanitized() ? SweepDepth::full : faultSweepDepth(); }

// The single cuts and the random sequences: a large part under
// ThreadSanitizer too. Its sessions cost five times more, so its pairs
// (about 1,300 s of CPU there) stay a sample.
inline SweepDepth cutSequenceDepth()
{
    if (threadSanitized())
        return fullSweepAsked() ? SweepDepth::full : SweepDepth::usual;
    return powerCutSweepDepth();
}

} // namespace testing_support
