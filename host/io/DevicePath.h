// Names within a device: the part of a path after the device name, split
// into its components the same way by every device.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace host {

struct DeviceName {
    std::vector<std::string> parts;
    // Why the name is refused; nullptr when it is usable.
    const char *refusal = nullptr;
};

// Splits `rest` at '/': empty and "." components are dropped, ".." takes the
// previous one back. A ".." with nothing left to take back climbs above the
// device's root and is refused, never clamped; so is a NUL byte, which the
// host would read as the end of the name.
DeviceName splitDeviceName(std::string_view rest);

} // namespace host
