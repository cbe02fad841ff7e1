// dlupdate faults: every fault name, aimed form and power-cut event.
#include "host/Faults.h"
#include "tools/common/ExitStatus.h"
#include "tools/dlupdate/Command.h"

#include <iostream>

namespace dlcli {

Action defineFaults(CLI::App &)
{
    return [](const dltool::Voice &) {
        for (const auto &line : host::Faults::describe())
            std::cout << line << "\n";
        return int(dltool::kOk);
    };
}

} // namespace dlcli
