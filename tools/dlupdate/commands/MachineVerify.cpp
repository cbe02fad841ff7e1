// dlupdate machine verify --machine DIR --media DIR [--json]
#include "tools/dlupdate/Command.h"
#include "tools/inspect/MachineCheck.h"

#include <iostream>
#include <memory>

namespace dlcli {

Action defineMachineVerify(CLI::App &cmd)
{
    struct Args {
        std::string machine, media;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    cmd.add_option("--machine", a->machine, "machine folder")->required();
    cmd.add_option("--media", a->media, "media folder")->required();
    cmd.add_flag("--json", a->json, "the comparison as one JSON object");
    return [a](const dltool::Voice &voice) {
        return inspect::runVerify(a->machine, a->media, a->json, std::cout, voice);
    };
}

} // namespace dlcli
