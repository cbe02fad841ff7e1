// dlupdate machine show [--json] DIR
#include "host/machine/MachineFolder.h"
#include "tools/common/ExitStatus.h"
#include "tools/dlupdate/Command.h"
#include "tools/inspect/MachineCheck.h"

#include <iostream>
#include <memory>

namespace dlcli {

Action defineMachineShow(CLI::App &cmd)
{
    struct Args {
        std::string dir;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    cmd.add_option("DIR", a->dir, "machine folder")->required();
    cmd.add_flag("--json", a->json, "the state as one JSON object, with digests and versions");
    return [a](const dltool::Voice &voice) {
        if (a->json)
            return inspect::runMachineShowJson(a->dir, std::cout, voice);
        try {
            std::cout << host::MachineFolder::show(a->dir);
        } catch (const host::MachineFolderError &e) {
            voice.say() << e.what() << "\n";
            return int(dltool::kUnusable);
        }
        return int(dltool::kOk);
    };
}

} // namespace dlcli
