#include "host/io/DevicePath.h"

namespace host {

DeviceName splitDeviceName(std::string_view rest)
{
    DeviceName name;
    if (rest.find('\0') != std::string_view::npos) {
        name.refusal = "the name holds a NUL byte";
        return name;
    }
    std::size_t at = 0;
    while (at <= rest.size()) {
        std::size_t end = rest.find('/', at);
        if (end == std::string_view::npos)
            end = rest.size();
        std::string_view part = rest.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (name.parts.empty()) {
                name.refusal = "'..' climbs above the device's root";
                return name;
            }
            name.parts.pop_back();
            continue;
        }
        name.parts.emplace_back(part);
    }
    return name;
}

} // namespace host
