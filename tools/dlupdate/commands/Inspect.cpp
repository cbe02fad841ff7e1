// dlupdate inspect DIR [--json] [-o FILE]
#include "tools/dlupdate/Command.h"
#include "tools/dlupdate/JsonOutput.h"
#include "tools/inspect/Inspect.h"

#include <iostream>
#include <memory>

namespace dlcli {

Action defineInspect(CLI::App &cmd)
{
    auto dir = std::make_shared<std::string>();
    auto quiet = std::make_shared<bool>(false);
    cmd.add_option("DIR", *dir, "media folder")->required();
    cmd.add_flag("--quiet", *quiet, "no progress on standard error");
    auto json = JsonOutput::define(cmd, "the report as one JSON object");
    return [dir, quiet, json](const dltool::Voice &voice) {
        return json->run(voice, dltool::kInspectFormat,
                         [dir, quiet, json](const dltool::Voice &v, std::ostream *doc) {
                             if (!json->text())
                                 return inspect::runInspect(*dir, true, *doc, v, *quiet);
                             return inspect::runInspect(*dir, std::cout, doc, v, *quiet);
                         });
    };
}

} // namespace dlcli
