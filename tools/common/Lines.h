// Text as its lines, the line feeds dropped: how the tools read a console
// or a panel dump.
#pragma once

#include <sstream>
#include <string>
#include <vector>

namespace dltool {

inline std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace dltool
