// The `run` and `demo` subcommands of dlupdate.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace dlcli {

// Adds the subcommand; the returned action runs it once parsed and gives
// the exit status.
std::function<int()> addRun(CLI::App &app);
std::function<int()> addDemo(CLI::App &app);

} // namespace dlcli
