// dlupdate inspect DIR [--json]
#include "tools/dlupdate/Command.h"
#include "tools/inspect/Inspect.h"

#include <iostream>
#include <memory>

namespace dlcli {

Action defineInspect(CLI::App &cmd)
{
    struct Args {
        std::string dir;
        bool json = false;
        bool quiet = false;
    };
    auto a = std::make_shared<Args>();
    cmd.add_option("DIR", a->dir, "media folder")->required();
    cmd.add_flag("--json", a->json, "the report as one JSON object");
    cmd.add_flag("--quiet", a->quiet, "no progress on standard error");
    return [a](const dltool::Voice &voice) {
        return inspect::runInspect(a->dir, a->json, std::cout, voice, a->quiet);
    };
}

} // namespace dlcli
