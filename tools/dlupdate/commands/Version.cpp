// dlupdate version: what -V and --version print.
#include "tools/common/ExitStatus.h"
#include "tools/dlupdate/BuildInfo.h"
#include "tools/dlupdate/Command.h"

#include <iostream>

namespace dlcli {

std::string versionLine() { return std::string("dlupdate ") + kDlVersion + " (commit " + kDlCommit + ")"; }

Action defineVersion(CLI::App &)
{
    return [](const dltool::Voice &) {
        std::cout << versionLine() << "\n";
        return int(dltool::kOk);
    };
}

} // namespace dlcli
