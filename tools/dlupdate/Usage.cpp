#include "tools/dlupdate/Usage.h"

#include "host/Suggest.h"
#include "tools/dlupdate/Kinds.h"

#include <algorithm>
#include <cctype>
#include <regex>

namespace dlcli {

std::vector<std::string> commandNames(const CLI::App &app)
{
    std::vector<std::string> names;
    for (const CLI::App *sub : shownCommands(app)) // a hidden one is never suggested
        names.push_back(sub->get_name());
    return names;
}

namespace {

// "--media", "-h": every spelling of the named options of `sub`.
std::vector<std::string> optionNames(const CLI::App &sub)
{
    std::vector<std::string> names;
    for (const CLI::Option *opt : sub.get_options()) {
        for (const std::string &l : opt->get_lnames())
            names.push_back("--" + l);
        for (const std::string &s : opt->get_snames())
            names.push_back("-" + s);
        for (const std::string &f : opt->get_fnames())
            if (std::find(names.begin(), names.end(), "--" + f) == names.end())
                names.push_back("--" + f);
    }
    return names;
}

} // namespace

std::string unknown(const std::string &what, const std::string &word,
                    const std::vector<std::string> &candidates)
{
    std::string line = "unknown " + what + " '" + word + "'";
    if (auto near = closest(word, candidates))
        line += "; did you mean '" + *near + "'?";
    return line;
}

namespace {

bool looksLikeOption(std::string_view w)
{
    // "-" alone and negative numbers are values.
    return w.size() > 1 && w[0] == '-' && !(w[1] >= '0' && w[1] <= '9');
}

} // namespace

std::optional<std::string> closest(std::string_view word, const std::vector<std::string> &candidates)
{
    auto near = host::suggest(word, candidates, 1);
    if (near.empty())
        return std::nullopt;
    return near.front();
}

std::string commandPath(const CLI::App *sub)
{
    std::string path;
    for (; sub && sub->get_parent(); sub = sub->get_parent())
        path = " " + sub->get_name() + path;
    return "dlupdate" + path;
}

std::optional<std::string> checkWords(CLI::App &app, int argc, char **argv)
{
    CLI::App *sub = &app;
    int i = 1;
    // The command words: each must name a subcommand of the one before.
    while (i < argc && !sub->get_subcommands([](const CLI::App *) { return true; }).empty()) {
        std::string word = argv[i];
        if (looksLikeOption(word))
            break;
        CLI::App *next = nullptr;
        try {
            next = sub->get_subcommand(word);
        } catch (const CLI::OptionNotFound &) {
            return commandPath(sub) + ": " + unknown("command", word, commandNames(*sub)) +
                   " (dlupdate help" + commandPath(sub).substr(8) + ")";
        }
        sub = next;
        ++i;
    }
    // The options of the command: each known, each value given.
    for (; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--")
            break;
        if (!looksLikeOption(word))
            continue;
        std::string name = word.substr(0, word.find('='));
        const CLI::Option *opt = sub->get_option_no_throw(name);
        if (!opt && name.rfind("--", 0) == 0) {
            // "--no-interactive" is a spelling of "--interactive".
            for (const CLI::Option *o : sub->get_options())
                for (const std::string &f : o->get_fnames())
                    if ("--" + f == name)
                        opt = o;
        }
        std::string path = commandPath(sub);
        if (!opt)
            return path + ": " + unknown("option", name, optionNames(*sub)) + " (dlupdate help" +
                   path.substr(8) + ")";
        bool takesValue = opt->get_items_expected_min() > 0 && !opt->get_positional();
        bool nextIsValue = i + 1 < argc && !looksLikeOption(argv[i + 1]);
        if (takesValue && name == word) {
            if (!nextIsValue)
                return path + ": " + name + " needs a value: " + name + " " + kindOf(opt);
            ++i;
        }
    }
    return std::nullopt;
}

CLI::App *deepestParsed(CLI::App &app)
{
    CLI::App *sub = &app;
    for (;;) {
        auto parsed = sub->get_subcommands();
        if (parsed.empty())
            return sub;
        sub = parsed.front();
    }
}

namespace {

// What a value of `name` looks like, for messages: "a number from 1 to 12".
std::string wanted(const CLI::App &app, const std::string &name)
{
    const CLI::Option *opt = app.get_option_no_throw(name);
    if (!opt)
        return "another value";
    if (isFlag(opt))
        return "no value (give " + name + " alone)";
    const std::string kind = kindOf(opt);
    if (auto range = rangeOf(opt))
        return "a number from " + std::to_string(range->first) + " to " + std::to_string(range->second);
    if (kind == "N")
        return "a whole number";
    return "a " + kind;
}

// CLI11's own sentences, each in the tool's words: the pattern of the
// stock message, then what is said instead ($1, $2: what it matched; $W:
// what the option it names takes).
struct Rewrite {
    const char *pattern;
    const char *said;
    int option = 1; // the group naming the option
};
constexpr Rewrite kRewrites[] = {
    {R"((\S+): At Most 1 required but received (\d+))", "$1 is given $2 times; give it once"},
    {R"(Could not convert: (\S+) = (.*))", "$1 takes $W, not '$2'"},
    {R"(The value (.*) is not an allowed value for (\S+))", "$2 takes $W, not '$1'", 2},
    {R"((\S+): Value (.*) not in range .*)", "$1 takes $W, not '$2'"},
    {R"((\S+): Should be true/false or a number)", "$1 takes $W"},
    {R"((\S+): too many inputs for a flag)", "$1 takes $W"},
    {R"((\S+): \d+ required \S+ missing)", "$1 needs a value"},
    {R"(Expected (?:exactly|at least) \d+ arguments? to (\S+), got \d+)", "$1 needs a value"},
    {R"((\S+) requires (\S+))", "$1 works only with $2"},
    {R"((\S+) excludes (\S+))", "$1 and $2 cannot be given together"},
    {R"(The following arguments? (?:was|were) not expected: (.*))", "'$1' was not expected here"},
    {R"(A subcommand is required)", "a command is required"},
};

std::string rewrite(const CLI::App &app, const std::string &stock)
{
    for (const Rewrite &r : kRewrites) {
        std::smatch m;
        if (!std::regex_match(stock, m, std::regex(r.pattern)))
            continue;
        std::string out = r.said;
        for (std::size_t at; (at = out.find("$W")) != std::string::npos;)
            out.replace(at, 2, wanted(app, m[static_cast<std::size_t>(r.option)]));
        for (std::size_t i = m.size(); i-- > 1;)
            for (std::size_t at; (at = out.find("$" + std::to_string(i))) != std::string::npos;)
                out.replace(at, 2, m[i].str());
        return out;
    }
    return stock;
}

} // namespace

std::string describe(const CLI::App &app, const CLI::ParseError &e)
{
    std::string what = rewrite(app, e.what());
    // "--media is required" keeps its case, as does "DIR is required".
    if (what.size() > 1 && !std::isupper(static_cast<unsigned char>(what[1])))
        what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
    std::string path = commandPath(&app);
    if (what == "a command is required")
        what += ": " + [&app] {
            std::string names;
            for (const CLI::App *sub : shownCommands(app))
                names += (names.empty() ? "" : ", ") + sub->get_name();
            return names;
        }();
    return path + ": " + what + " (dlupdate help" + path.substr(8) + ")";
}

} // namespace dlcli
