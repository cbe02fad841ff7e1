// The module's variables as the program loaded them. A machine booted again
// in the same process (after a power cut) must find the module as a fresh
// device does, not as the last boot left it.
#pragma once

#include <cstddef>

namespace dlrun {

// Sets every variable of the module back to its value at load.
void coldStartModule();
// Bytes of module variables covered (0 in a program without the module).
std::size_t moduleImageBytes();

} // namespace dlrun
