// The sample media, made as an engineer makes them: the inputs from the
// tour's script, then mkmedia. For suites that need their own copy.
#pragma once

#include "tools/media/MkMedia.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

namespace testing_support {

// Inputs into work/in, media into `media`; "" when made, else what failed.
inline std::string makeSampleMedia(const std::filesystem::path &work, const std::filesystem::path &media)
{
    std::string command = "bash '" + std::string(DL_SOURCE_DIR) + "/media/sample/make-inputs.sh' '" +
                          (work / "in").string() + "' >/dev/null";
    if (std::system(command.c_str()) != 0)
        return "cannot make the sample inputs: " + command;
    std::ostringstream log;
    if (media::runMkMedia((work / "in" / "manifest.json").string(), media.string(), log,
                          dltool::Voice("dlupdate mkmedia", log)) != 0)
        return "mkmedia failed: " + log.str();
    return "";
}

} // namespace testing_support
