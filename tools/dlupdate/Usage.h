// What dlupdate says when it is called wrongly: the wrong word, the closest
// right one, and where the help is.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dlcli {

// The candidate nearest to `word`, when near enough to be a slip of the
// fingers rather than another word (host/Suggest.h).
std::optional<std::string> closest(std::string_view word, const std::vector<std::string> &candidates);

// The names of the subcommands of `app` a user is shown.
std::vector<std::string> commandNames(const CLI::App &app);

// "unknown command 'shwo'; did you mean 'show'?"
std::string unknown(const std::string &what, const std::string &word,
                    const std::vector<std::string> &candidates);

// "dlupdate machine init": the words that name a subcommand.
std::string commandPath(const CLI::App *sub);

// Checks the words of `argv` against the commands and options of `app`
// before CLI11 parses them, for messages that name the wrong word and the
// closest right one. Returns the message (without the trailing line feed)
// of the first fault, or nothing.
std::optional<std::string> checkWords(CLI::App &app, int argc, char **argv);

// The subcommand whose words were parsed last (the app itself when none).
CLI::App *deepestParsed(CLI::App &app);

// One line for a CLI11 parse error, prefixed with the command it concerns.
std::string describe(const CLI::App &app, const CLI::ParseError &e);

} // namespace dlcli
