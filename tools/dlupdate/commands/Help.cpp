// dlupdate help [COMMAND...]
#include "host/Suggest.h"
#include "tools/common/ExitStatus.h"
#include "tools/dlupdate/Command.h"
#include "tools/dlupdate/Usage.h"

#include <iostream>
#include <memory>

namespace dlcli {

Action defineHelp(CLI::App &cmd)
{
    auto words = std::make_shared<std::vector<std::string>>();
    cmd.add_option("COMMAND", *words, "a command, e.g. run or machine init");
    CLI::App *app = cmd.get_parent();
    return [words, app](const dltool::Voice &voice) {
        CLI::App *sub = app;
        for (const std::string &w : *words) {
            try {
                sub = sub->get_subcommand(w);
            } catch (const CLI::OptionNotFound &) {
                voice.say() << unknown("command", w, commandNames(*sub)) << "\n";
                return int(dltool::kUsage);
            }
        }
        // The formatter itself: App::help would show the help command's own.
        std::cout << sub->get_formatter()->make_help(sub, commandPath(sub), CLI::AppFormatMode::Normal);
        return int(dltool::kOk);
    };
}

} // namespace dlcli
