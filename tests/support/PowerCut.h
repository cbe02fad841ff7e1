// A power cut that unwinds instead of ending the process, so that a test
// sees the state the cut leaves.
#pragma once

#include "host/Faults.h"

#include <string>

namespace testing_support {

// Thrown by the cut action.
struct PowerCut {};

// Cuts the power at `cut` (EVENT:N) by throwing PowerCut.
inline void cutPowerAt(host::Faults &faults, const std::string &cut)
{
    faults.setCutAction([] { throw PowerCut{}; });
    faults.setPowerCut(cut);
}

} // namespace testing_support
