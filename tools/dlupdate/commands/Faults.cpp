// dlupdate faults: every fault name, aimed form and power-cut event.
#include "host/Faults.h"
#include "tools/common/ExitStatus.h"
#include "tools/dlupdate/Command.h"
#include "tools/dlupdate/JsonOutput.h"

#include <iostream>

namespace dlcli {

Action defineFaults(CLI::App &cmd)
{
    auto json = JsonOutput::define(cmd, "the list as one JSON object");
    return [json](const dltool::Voice &voice) {
        return json->run(voice, dltool::kFaultsFormat, [json](const dltool::Voice &, std::ostream *doc) {
            if (json->text())
                for (const auto &line : host::Faults::describe())
                    std::cout << line << "\n";
            if (doc) {
                nlohmann::ordered_json j = dltool::envelope(dltool::kFaultsFormat);
                j["entries"] = nlohmann::ordered_json::array();
                for (const auto &e : host::Faults::entries())
                    j["entries"].push_back({{"kind", e.kind}, {"name", e.name}, {"what", e.what}});
                *doc << j.dump(2) << "\n";
            }
            return int(dltool::kOk);
        });
    };
}

} // namespace dlcli
