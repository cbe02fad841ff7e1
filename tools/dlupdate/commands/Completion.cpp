// dlupdate completion bash|zsh|fish: a completion script made from the
// parser's own commands and options, and the fault and event names from
// the fault tables, so it names nothing the program does not take.
#include "host/Faults.h"
#include "tools/common/ExitStatus.h"
#include "tools/dlupdate/Command.h"
#include "tools/dlupdate/Kinds.h"
#include "tools/dlupdate/Usage.h"

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

namespace dlcli {

namespace {

const std::vector<std::string> kShells = {"bash", "zsh", "fish"};

// One command as the scripts see it: "dlupdate/machine/init".
struct Node {
    std::string where;
    const CLI::App *app;
    bool helpOnly; // under "help": names commands, takes no options of theirs
};

void collect(const CLI::App *app, const std::string &where, bool helpOnly, std::vector<Node> &nodes)
{
    nodes.push_back({where, app, helpOnly});
    for (const CLI::App *sub : shownCommands(*app))
        collect(sub, where + "/" + sub->get_name(), helpOnly, nodes);
}

// Every command, then every command again under "help", whose words name them.
std::vector<Node> tree(const CLI::App &root)
{
    std::vector<Node> nodes;
    collect(&root, "dlupdate", false, nodes);
    for (const CLI::App *sub : shownCommands(root))
        if (sub->get_name() == "help")
            for (const CLI::App *named : shownCommands(root))
                collect(named, "dlupdate/help/" + named->get_name(), true, nodes);
    return nodes;
}

// What completes a value of `kind`: "dirs", "files", words, or nothing.
std::string valuesOf(const std::string &kind)
{
    std::string words;
    auto add = [&words](const std::string &w) { words += (words.empty() ? "" : " ") + w; };
    if (kind == "DIR")
        return "dirs";
    if (kind == "FILE")
        return "files";
    if (kind == "SHELL")
        for (const auto &s : kShells)
            add(s);
    if (kind == "EVENT:N")
        for (const auto &e : host::Faults::eventNames())
            add(e + ":");
    if (kind == "FAULT") {
        const auto plain = host::Faults::faultNames();
        for (const auto &f : plain)
            add(f);
        // The aimed forms ("spawn.TASKNAME") by their stem: the rest is the user's.
        for (const auto &line : host::Faults::describe()) {
            std::istringstream in(line);
            std::string what, name;
            in >> what >> name;
            std::size_t stem = name.find_first_of(".@");
            if (what == "fault" && stem != std::string::npos &&
                std::find(plain.begin(), plain.end(), name) == plain.end())
                add(name.substr(0, stem + 1));
        }
    }
    return words;
}

std::vector<std::string> optionWords(const CLI::Option *opt)
{
    std::vector<std::string> words;
    for (const auto &s : opt->get_snames())
        words.push_back("-" + s);
    for (const auto &l : opt->get_lnames())
        words.push_back("--" + l);
    for (const auto &f : opt->get_fnames())
        if (std::find(words.begin(), words.end(), "--" + f) == words.end())
            words.push_back("--" + f);
    return words;
}

std::vector<const CLI::Option *> named(const Node &n)
{
    std::vector<const CLI::Option *> opts;
    for (const CLI::Option *o : n.app->get_options())
        if (!o->get_positional() && (!n.helpOnly || o->get_name(false, true) == "-h,--help"))
            opts.push_back(o);
    return opts;
}

std::string positionalValues(const Node &n)
{
    if (n.helpOnly)
        return "";
    for (const CLI::Option *o : n.app->get_options())
        if (o->get_positional() && kindOf(o) != "COMMAND")
            return valuesOf(kindOf(o));
    return "";
}

std::string join(const std::vector<std::string> &words, const char *between = " ")
{
    std::string s;
    for (const auto &w : words)
        s += (s.empty() ? "" : between) + w;
    return s;
}

std::vector<std::string> commandWords(const Node &n)
{
    std::vector<std::string> words;
    for (const CLI::App *sub : shownCommands(*n.app))
        words.push_back(sub->get_name());
    return words;
}

std::string pathCases(const std::vector<Node> &nodes)
{
    std::vector<std::string> wheres;
    for (const Node &n : nodes)
        if (n.where != "dlupdate")
            wheres.push_back(n.where);
    return join(wheres, "|");
}

// Single quotes for the shells: ' becomes '\''.
std::string shellQuoted(const std::string &text)
{
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// --- bash ---

// Each option that takes a value, as the case patterns that name it
// ("run --media"|"run -m") and the values it takes (valuesOf).
void forEachValued(const std::vector<Node> &nodes,
                   const std::function<void(const std::string &, const std::string &)> &f)
{
    for (const Node &n : nodes)
        for (const CLI::Option *o : named(n)) {
            const std::string kind = kindOf(o);
            if (kind.empty())
                continue;
            std::vector<std::string> keys;
            for (const auto &w : optionWords(o))
                keys.push_back("\"" + n.where + " " + w + "\"");
            f(join(keys, "|"), valuesOf(kind));
        }
}

std::string bashValueCases(const std::vector<Node> &nodes)
{
    std::ostringstream out;
    forEachValued(nodes, [&out](const std::string &keys, const std::string &values) {
        out << "    " << keys << ")\n        "
            << (values.empty() ? "return" : "_dlupdate_reply " + shellQuoted(values) + "; return") << " ;;\n";
    });
    return out.str();
}

std::string bashCommandCases(const std::vector<Node> &nodes)
{
    std::ostringstream out;
    for (const Node &n : nodes) {
        std::vector<std::string> opts;
        for (const CLI::Option *o : named(n))
            for (const auto &w : optionWords(o))
                opts.push_back(w);
        out << "    " << n.where << ")\n        cmds=" << shellQuoted(join(commandWords(n)))
            << " opts=" << shellQuoted(join(opts)) << " pos=" << shellQuoted(positionalValues(n)) << " ;;\n";
    }
    return out.str();
}

std::string bashScript(const std::vector<Node> &nodes)
{
    std::ostringstream out;
    out << "# bash completion of dlupdate, written by 'dlupdate completion bash'.\n"
           "# Load it with: source <(dlupdate completion bash)\n\n"
           "# Fills COMPREPLY from $1: dirs, files, or words.\n"
           "_dlupdate_reply() {\n"
           "    case $1 in\n"
           "    dirs) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- \"$cur\")) ;;\n"
           "    files) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n"
           "    *) COMPREPLY=($(compgen -W \"$1\" -- \"$cur\"))\n"
           "       # A stem such as open@ or flash-write: goes on without a blank.\n"
           "       if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *[.@:] ]]; then\n"
           "           compopt -o nospace 2>/dev/null\n"
           "       fi ;;\n"
           "    esac\n"
           "}\n\n"
           "_dlupdate() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
           "    local where=dlupdate i cmds opts pos\n"
           "    COMPREPLY=()\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        case \"$where/${COMP_WORDS[i]}\" in\n"
        << "        " << pathCases(nodes) << ")\n"
        << "            where+=\"/${COMP_WORDS[i]}\" ;;\n"
           "        esac\n"
           "    done\n"
           "    # --media=DIR: bash splits the word at '='.\n"
           "    if [[ $cur == = ]]; then\n"
           "        cur=\n"
           "    elif [[ $prev == = && $COMP_CWORD -ge 2 ]]; then\n"
           "        prev=${COMP_WORDS[COMP_CWORD-2]}\n"
           "    fi\n"
           "    case \"$where $prev\" in\n"
        << bashValueCases(nodes)
        << "    esac\n"
           "    case $where in\n"
        << bashCommandCases(nodes)
        << "    esac\n"
           "    if [[ $cur == -* || ( -z $cmds && -z $pos ) ]]; then\n"
           "        _dlupdate_reply \"$opts\"\n"
           "    elif [[ -n $cmds ]]; then\n"
           "        _dlupdate_reply \"$cmds\"\n"
           "    else\n"
           "        _dlupdate_reply \"$pos\"\n"
           "    fi\n"
           "}\n"
           "complete -F _dlupdate dlupdate\n";
    return out.str();
}

// --- zsh ---

// 'word:what it does' for _describe.
std::string described(const std::string &word, const std::string &what)
{
    std::string w;
    for (char c : word)
        w += c == ':' ? std::string("\\:") : std::string(1, c);
    return shellQuoted(w + ":" + what);
}

std::string zshValues(const std::string &values)
{
    if (values == "dirs")
        return "_files -/";
    if (values == "files")
        return "_files";
    return "_message -e value 'a value'";
}

std::string zshValueCases(const std::vector<Node> &nodes)
{
    std::ostringstream out;
    forEachValued(nodes, [&out](const std::string &keys, const std::string &values) {
        // Whole names get a blank after them; stems do not.
        const std::string action =
            values == "dirs" || values == "files" || values.empty()
                ? zshValues(values)
                : "compadd -- ${${(z)v}:#*[.@:]}; compadd -S '' -- ${(M)${(z)v}:#*[.@:]}";
        out << "  (" << keys << ")\n    local v=" << shellQuoted(values) << "; " << action << "; return ;;\n";
    });
    return out.str();
}

std::string zshCommandCases(const std::vector<Node> &nodes)
{
    std::ostringstream out;
    for (const Node &n : nodes) {
        std::vector<std::string> cmds, opts;
        for (const CLI::App *sub : shownCommands(*n.app))
            cmds.push_back(described(sub->get_name(), sub->get_description()));
        for (const CLI::Option *o : named(n))
            for (const auto &w : optionWords(o))
                opts.push_back(described(w, o->get_description()));
        out << "  (" << n.where << ")\n    cmds=(" << join(cmds) << ")\n    opts=(" << join(opts)
            << ")\n    pos=" << shellQuoted(positionalValues(n)) << " ;;\n";
    }
    return out.str();
}

std::string zshScript(const std::vector<Node> &nodes)
{
    std::ostringstream out;
    out << "#compdef dlupdate\n"
           "# zsh completion of dlupdate, written by 'dlupdate completion zsh'.\n"
           "# Load it with: source <(dlupdate completion zsh), after compinit.\n\n"
           "_dlupdate() {\n"
           "  local cur=${words[CURRENT]} prev=${words[CURRENT-1]} where=dlupdate i pos\n"
           "  local -a cmds opts\n"
           "  for ((i = 2; i < CURRENT; i++)); do\n"
           "    case \"$where/${words[i]}\" in\n"
        << "    (" << pathCases(nodes) << ")\n"
        << "      where+=\"/${words[i]}\" ;;\n"
           "    esac\n"
           "  done\n"
           "  case \"$where $prev\" in\n"
        << zshValueCases(nodes)
        << "  esac\n"
           "  case $where in\n"
        << zshCommandCases(nodes)
        << "  esac\n"
           "  if [[ $cur == -* ]] || { (( ! $#cmds )) && [[ -z $pos ]]; }; then\n"
           "    _describe -t options option opts\n"
           "  elif (( $#cmds )); then\n"
           "    _describe -t commands command cmds\n"
           "  elif [[ $pos == dirs ]]; then\n"
           "    _files -/\n"
           "  elif [[ $pos == files ]]; then\n"
           "    _files\n"
           "  else\n"
           "    compadd -- ${(z)pos}\n"
           "  fi\n"
           "}\n\n"
           "if [[ ${zsh_eval_context[-1]} == loadautofunc ]]; then\n"
           "  _dlupdate \"$@\"\n"
           "else\n"
           "  compdef _dlupdate dlupdate\n"
           "fi\n";
    return out.str();
}

// --- fish ---

std::string fishOption(const Node &n, const CLI::Option *o)
{
    std::ostringstream out;
    for (const auto &w : optionWords(o)) {
        out << "complete -c dlupdate -n " << shellQuoted("test (__dlupdate_where) = " + n.where);
        out << (w.size() == 2 ? " -s " + w.substr(1) : " -l " + w.substr(2));
        const std::string kind = kindOf(o);
        const std::string values = kind.empty() ? "" : valuesOf(kind);
        if (values == "dirs")
            out << " -x -a '(__fish_complete_directories)'";
        else if (values == "files")
            out << " -r -F";
        else if (!kind.empty())
            out << " -x" << (values.empty() ? "" : " -a " + shellQuoted(values));
        out << " -d " << shellQuoted(o->get_description()) << "\n";
    }
    return out.str();
}

std::string fishScript(const std::vector<Node> &nodes)
{
    std::ostringstream out;
    out << "# fish completion of dlupdate, written by 'dlupdate completion fish'.\n"
           "# Load it with: dlupdate completion fish | source\n\n"
           "# The command the words so far name: dlupdate/machine/init.\n"
           "function __dlupdate_where\n"
           "    set -l words (commandline -opc)\n"
           "    set -e words[1]\n"
           "    set -l where dlupdate\n"
           "    for w in $words\n"
           "        switch \"$where/$w\"\n"
           "            case "
        << join([&] {
               std::vector<std::string> w;
               for (const Node &n : nodes)
                   if (n.where != "dlupdate")
                       w.push_back(n.where);
               return w;
           }())
        << "\n"
           "                set where \"$where/$w\"\n"
           "        end\n"
           "    end\n"
           "    echo $where\n"
           "end\n\n"
           "complete -c dlupdate -f\n";
    for (const Node &n : nodes) {
        const std::string at = shellQuoted("test (__dlupdate_where) = " + n.where);
        for (const CLI::App *sub : shownCommands(*n.app))
            out << "complete -c dlupdate -n " << at << " -a " << sub->get_name() << " -d "
                << shellQuoted(sub->get_description()) << "\n";
        for (const CLI::Option *o : named(n))
            out << fishOption(n, o);
        const std::string pos = positionalValues(n);
        if (pos == "dirs")
            out << "complete -c dlupdate -n " << at << " -a '(__fish_complete_directories)'\n";
        else if (pos == "files")
            out << "complete -c dlupdate -n " << at << " -F\n";
        else if (!pos.empty())
            out << "complete -c dlupdate -n " << at << " -a " << shellQuoted(pos) << "\n";
    }
    return out.str();
}

} // namespace

Action defineCompletion(CLI::App &cmd)
{
    auto shell = std::make_shared<std::string>();
    cmd.add_option("SHELL", *shell, "bash, zsh or fish")->required()->type_name("SHELL");
    const CLI::App *root = cmd.get_parent();
    return [shell, root](const dltool::Voice &voice) {
        const auto nodes = tree(*root);
        if (*shell == "bash")
            std::cout << bashScript(nodes);
        else if (*shell == "zsh")
            std::cout << zshScript(nodes);
        else if (*shell == "fish")
            std::cout << fishScript(nodes);
        else {
            voice.say() << unknown("shell", *shell, kShells) << "; give bash, zsh or fish\n";
            return int(dltool::kUsage);
        }
        return int(dltool::kOk);
    };
}

} // namespace dlcli
