#include "tools/dlupdate/Usage.h"

#include <algorithm>
#include <cctype>

namespace dlcli {

namespace {

// Edits to turn one word into the other, a swap of two neighbours
// counting as one ("shwo" is one slip from "show").
std::size_t editDistance(std::string_view a, std::string_view b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

std::vector<std::string> commandNames(const CLI::App &app)
{
    std::vector<std::string> names;
    for (const CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; }))
        names.push_back(sub->get_name());
    return names;
}

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

std::string unknown(const std::string &what, const std::string &word,
                    const std::vector<std::string> &candidates)
{
    std::string line = "unknown " + what + " '" + word + "'";
    if (auto near = closest(word, candidates))
        line += "; did you mean '" + *near + "'?";
    return line;
}

bool looksLikeOption(std::string_view w)
{
    // "-" alone and negative numbers are values.
    return w.size() > 1 && w[0] == '-' && !(w[1] >= '0' && w[1] <= '9');
}

} // namespace

std::optional<std::string> closest(std::string_view word, const std::vector<std::string> &candidates)
{
    std::optional<std::string> best;
    std::size_t bestDistance = 0;
    for (const std::string &c : candidates) {
        std::size_t d = editDistance(word, c);
        if (!best || d < bestDistance) {
            best = c;
            bestDistance = d;
        }
    }
    // One slip in a short word, about one in three in a longer one.
    std::size_t limit = std::max<std::size_t>(1, std::min(word.size(), best ? best->size() : 0) / 3);
    if (!best || bestDistance > limit || bestDistance == 0)
        return std::nullopt;
    return best;
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
                return path + ": " + name + " needs a value: " + name + " " + opt->get_type_name();
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

std::string describe(const CLI::App &app, const CLI::ParseError &e)
{
    std::string what = e.what();
    // "A subcommand is required" reads on after the prefix; "DIR is required" keeps its case.
    if (what.size() > 1 && !std::isupper(static_cast<unsigned char>(what[1])))
        what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
    std::string path = commandPath(&app);
    return path + ": " + what + " (dlupdate help" + path.substr(8) + ")";
}

} // namespace dlcli
