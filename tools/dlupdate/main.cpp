// dlupdate: runs update sessions of the storage-update module on a
// simulated machine, and makes and checks update media. The commands are
// one table (Commands.cpp); here they are parsed and dispatched.
#include "tools/common/ExitStatus.h"
#include "tools/dlupdate/Command.h"
#include "tools/dlupdate/Kinds.h"
#include "tools/dlupdate/Usage.h"
#include "tools/dlupdate/WholeLines.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <map>
#include <memory>

namespace {

// The subcommand of `app` the words of `path` name, made when missing.
CLI::App *subcommandAt(CLI::App &app, std::string_view path, std::string_view summary)
{
    CLI::App *sub = &app;
    std::string_view rest = path;
    while (!rest.empty()) {
        const std::size_t space = rest.find(' ');
        const std::string word(rest.substr(0, space));
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
        try {
            sub = sub->get_subcommand(word);
        } catch (const CLI::OptionNotFound &) {
            sub = sub->add_subcommand(word, std::string(summary));
        }
    }
    return sub;
}

} // namespace

int main(int argc, char **argv)
{
    dlcli::WholeLines wholeLines(std::cerr, 2);
    CLI::App app{"dlupdate: run the storage-update module on a simulated machine"};
    app.name("dlupdate");
    app.require_subcommand(1);
    // Before the commands: each takes its help flag and formatter from here.
    app.formatter(std::make_shared<dlcli::HelpFormatter>());
    app.set_help_flag("-h,--help", "show this help and exit");
    app.set_version_flag("-V,--version", dlcli::versionLine(),
                         "show the version and the commit it was built from");
    app.footer("Run 'dlupdate help COMMAND' for one command's options and exit statuses.\n"
               "Bad usage exits with 64 on every command.");

    std::map<const CLI::App *, dlcli::Action> actions;
    for (const dlcli::Command &c : dlcli::commands()) {
        CLI::App *sub = subcommandAt(app, c.path, c.summary);
        sub->group(c.summary.empty() ? "" : "Commands"); // "": hidden from help and completion
        if (!c.footer.empty())
            sub->footer(std::string(c.footer));
        if (c.define)
            actions[sub] = c.define(*sub);
        else
            sub->require_subcommand(1);
    }
    dlcli::applyKinds(app);

    if (auto fault = dlcli::checkWords(app, argc, argv)) {
        std::cerr << *fault << "\n";
        return dltool::kUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::cerr << dlcli::describe(*dlcli::deepestParsed(app), e) << "\n";
        return dltool::kUsage;
    }
    const CLI::App *chosen = dlcli::deepestParsed(app);
    auto action = actions.find(chosen);
    if (action == actions.end())
        return dltool::kUsage;
    return action->second(dltool::Voice(dlcli::commandPath(chosen), std::cerr));
}
