// The `sweep` subcommand of dlupdate.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace dlcli {

// Adds the subcommand; the returned action runs it once parsed and gives
// the exit status (0 every row passed, 1 a row failed or nothing could be
// swept, 5 no media folder or, with --damage, no update file in it, 64 bad
// usage).
std::function<int()> addSweep(CLI::App &app);

} // namespace dlcli
