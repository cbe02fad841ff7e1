// The commands of dlupdate, as one table: a new command is one file under
// commands/ and one row in Commands.cpp.
#pragma once

#include "tools/common/Voice.h"

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dlcli {

// What a parsed command runs, speaking with the voice the parser gave it;
// returns the exit status (tools/common/ExitStatus.h).
using Action = std::function<int(const dltool::Voice &)>;

// Adds a command's options to its subcommand and returns what it runs.
using Define = Action (*)(CLI::App &command);

struct Command {
    std::string_view path;    // "machine show": the words that name it
    std::string_view summary; // one line, in the list of commands; empty: hidden
    std::string_view footer;  // its exit statuses and notes, under its options
    Define define;            // nullptr: a group, whose subcommands do the work
};

// Every command, each group before its members, in the order a user meets
// them: help, the man page and the completions list them so.
const std::vector<Command> &commands();

// Each command's own file.
Action defineMachineInit(CLI::App &);
Action defineMachineShow(CLI::App &);
Action defineMachineVerify(CLI::App &);
Action defineMkMedia(CLI::App &);
Action defineFaults(CLI::App &);
Action defineRun(CLI::App &);
Action defineDemo(CLI::App &);
Action defineSweep(CLI::App &);
Action defineInspect(CLI::App &);
Action defineHelp(CLI::App &);
Action defineCompletion(CLI::App &);
Action defineVersion(CLI::App &);
Action defineMan(CLI::App &);

// "dlupdate 1.0.0 (commit 0123456789ab)": -V, --version and dlupdate version.
std::string versionLine();

} // namespace dlcli
