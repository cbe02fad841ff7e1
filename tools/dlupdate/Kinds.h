// What each option takes, said one way everywhere: in the help, the man
// page, the completion scripts and the messages of bad usage. Kinds are
// words such as DIR, FILE, N, LIST, EVENT:N.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dlcli {

// Gives every option of `app` and its subcommands a kind: those the
// command set are kept, numbers become N, and plain text is named by the
// option (an option name means the same kind on every command: --media is
// a DIR, --report a FILE). Run once, after every command is defined.
void applyKinds(CLI::App &app);

// An option that takes no value (--json, --interactive).
bool isFlag(const CLI::Option *opt);

// The kind of an option that takes a value ("DIR"); empty for a flag.
std::string kindOf(const CLI::Option *opt);

// The range a numeric option is checked against, when it has one.
std::optional<std::pair<long long, long long>> rangeOf(const CLI::Option *opt);

// The option's description with what the parser knows of it: required,
// its default, its range, what it needs or excludes.
std::string describeOption(const CLI::Option *opt);

// "--media", "--interactive/--no-interactive", "DIR": how an option is written.
std::string spelling(const CLI::Option *opt);

// The subcommands a user is shown, in the table's order (hidden ones left out).
std::vector<const CLI::App *> shownCommands(const CLI::App &app);

// The help of every command, laid out with the kinds and notes above.
class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter();
    std::string make_option_name(const CLI::Option *opt, bool positional) const override;
    std::string make_option_opts(const CLI::Option *opt) const override;
    std::string make_option_desc(const CLI::Option *opt) const override;
};

} // namespace dlcli
