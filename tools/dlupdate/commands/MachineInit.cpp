// dlupdate machine init DIR
#include "host/machine/MachineFolder.h"
#include "tools/common/ExitStatus.h"
#include "tools/dlupdate/Command.h"

#include <iostream>
#include <memory>

namespace dlcli {

Action defineMachineInit(CLI::App &cmd)
{
    auto dir = std::make_shared<std::string>();
    cmd.add_option("DIR", *dir, "machine folder")->required();
    return [dir](const dltool::Voice &voice) {
        try {
            host::MachineFolder::init(*dir);
        } catch (const host::MachineFolderError &e) {
            voice.say() << e.what() << "\n";
            return int(dltool::kUnusable);
        }
        std::cout << "new machine in " << *dir << "\n";
        return int(dltool::kOk);
    };
}

} // namespace dlcli
