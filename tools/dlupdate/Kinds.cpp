#include "tools/dlupdate/Kinds.h"

#include <algorithm>
#include <map>

namespace dlcli {

namespace {

// Plain text options by name: the same name is the same kind on every command.
const std::map<std::string, std::string> &kindsByName()
{
    static const std::map<std::string, std::string> kinds = {
        {"media", "DIR"},        {"machine", "DIR"},   {"out", "DIR"},     {"ramdisk-out", "DIR"},
        {"sample", "DIR"},       {"DIR", "DIR"},       {"json", "FILE"},   {"json-out", "FILE"},
        {"o", "FILE"},           {"junit", "FILE"},    {"report", "FILE"}, {"panel", "FILE"},
        {"panel-trace", "FILE"}, {"MANIFEST", "FILE"}, {"keys", "LIST"},   {"COMMAND", "COMMAND"},
    };
    return kinds;
}

// CLI11 adds each check's description after a colon ("INT:INT in [1 - 12]");
// a kind's own colon ("EVENT:N") is followed by no blank.
std::string bareType(const CLI::Option *opt)
{
    std::string type = opt->get_type_name();
    for (std::size_t colon = type.find(':'); colon != std::string::npos; colon = type.find(':', colon + 1))
        if (type.find(' ', colon) != std::string::npos)
            return type.substr(0, colon);
    return type;
}

void kindOne(CLI::Option *opt)
{
    if (isFlag(opt))
        return;
    const std::string type = bareType(opt);
    if (type == "INT" || type == "UINT" || type == "FLOAT") {
        opt->type_name("N");
        return;
    }
    if (type != "TEXT")
        return; // the command named it
    std::string name = opt->get_positional() ? opt->get_name() : opt->get_name(false, false);
    name.erase(0, name.find_first_not_of('-'));
    auto it = kindsByName().find(name);
    if (it != kindsByName().end())
        opt->type_name(it->second);
}

void kindAll(CLI::App &app)
{
    for (CLI::Option *opt : app.get_options())
        kindOne(opt);
    for (CLI::App *sub : app.get_subcommands([](CLI::App *) { return true; }))
        kindAll(*sub);
}

} // namespace

bool isFlag(const CLI::Option *opt) { return opt->get_type_size() == 0 || opt->get_type_name().empty(); }

void applyKinds(CLI::App &app) { kindAll(app); }

std::string kindOf(const CLI::Option *opt) { return isFlag(opt) ? "" : bareType(opt); }

std::optional<std::pair<long long, long long>> rangeOf(const CLI::Option *opt)
{
    // CLI::Range says "in [MIN - MAX]".
    const std::string type = opt->get_type_name();
    std::size_t open = type.find(" in [");
    if (open == std::string::npos)
        return std::nullopt;
    long long low = 0, high = 0;
    if (std::sscanf(type.c_str() + open, " in [%lld - %lld]", &low, &high) != 2)
        return std::nullopt;
    return std::make_pair(low, high);
}

std::string spelling(const CLI::Option *opt)
{
    if (opt->get_positional())
        return opt->get_name();
    std::string s;
    for (const std::string &name : opt->get_snames())
        s += (s.empty() ? "-" : ", -") + name;
    for (const std::string &name : opt->get_lnames())
        s += (s.empty() ? "--" : ", --") + name;
    for (const std::string &name : opt->get_fnames())
        if (std::find(opt->get_lnames().begin(), opt->get_lnames().end(), name) == opt->get_lnames().end())
            s += "/--" + name;
    return s;
}

std::string describeOption(const CLI::Option *opt)
{
    std::string text = opt->get_description();
    std::vector<std::string> notes;
    if (opt->get_required())
        notes.push_back("required");
    const std::string byDefault = opt->get_default_str();
    if (!isFlag(opt) && !byDefault.empty() && text.find("default") == std::string::npos)
        notes.push_back("default " + byDefault);
    if (auto range = rangeOf(opt); range && text.find(std::to_string(range->second)) == std::string::npos)
        notes.push_back(std::to_string(range->first) + " to " + std::to_string(range->second));
    for (const CLI::Option *other : opt->get_needs())
        notes.push_back("only with " + other->get_name());
    std::string excluded;
    for (const CLI::Option *other : opt->get_excludes())
        excluded += (excluded.empty() ? "not with " : " or ") + other->get_name();
    if (!excluded.empty())
        notes.push_back(excluded);
    std::string joined;
    for (const std::string &n : notes)
        joined += (joined.empty() ? "" : "; ") + n;
    return joined.empty() ? text : text + " (" + joined + ")";
}

std::vector<const CLI::App *> shownCommands(const CLI::App &app)
{
    return app.get_subcommands([](const CLI::App *sub) { return !sub->get_group().empty(); });
}

HelpFormatter::HelpFormatter()
{
    label("SUBCOMMAND", "COMMAND");
    label("Positionals", "Arguments");
}

std::string HelpFormatter::make_option_name(const CLI::Option *opt, bool positional) const
{
    // CLI11 shows a negated flag's value ("{false}"), which says nothing.
    std::string name = CLI::Formatter::make_option_name(opt, positional);
    std::size_t brace = name.find('{');
    return brace == std::string::npos ? name : name.substr(0, brace);
}

std::string HelpFormatter::make_option_opts(const CLI::Option *opt) const
{
    if (opt->get_positional() || isFlag(opt))
        return "";
    std::string opts = " " + kindOf(opt);
    if (opt->get_expected_max() == CLI::detail::expected_max_vector_size)
        opts += " ...";
    return opts;
}

std::string HelpFormatter::make_option_desc(const CLI::Option *opt) const { return describeOption(opt); }

} // namespace dlcli
