// dlupdate at the shell: the help of every command, the man page and the
// completion scripts the build writes from the same command table, and
// what cmake --install puts where.
#include "e2e_support.h"

#include <set>

namespace testing_support {
namespace {

// Every command a user can run, by its words.
const std::vector<std::vector<std::string>> kCommands = {
    {"demo"},    {"mkmedia"}, {"inspect"}, {"machine", "init"}, {"machine", "show"}, {"machine", "verify"},
    {"run"},     {"sweep"},   {"faults"},  {"completion"},      {"version"},         {"help"},
    {"machine"},
};

Outcome shell(const std::string &script, const fs::path &cwd = {})
{
    TempDir scratch;
    return run({{"-c", script}, cwd, scratch / "stdout", scratch / "stderr", {}, "/bin/bash"});
}

// Help names each value's kind and real defaults, and every command its exit statuses.
TEST(E2eShell, HelpOfEveryCommandShowsKindsDefaultsAndExitStatuses)
{
    for (const auto &words : kCommands) {
        std::vector<std::string> args{"help"};
        args.insert(args.end(), words.begin(), words.end());
        SCOPED_TRACE(args.back());
        Outcome o = dlupdate(args);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_NE(o.out.find("Exit status: "), std::string::npos) << o.out;
        for (const char *stock :
             {"TEXT", "UINT", " INT", "{false}", "REQUIRED", "SUBCOMMAND", "Excludes:", "Needs:"})
            EXPECT_EQ(o.out.find(stock), std::string::npos) << stock << "\n" << o.out;
    }
    Outcome run = dlupdate({"help", "run"});
    for (const char *kind : {"--media DIR", "--keys LIST", "--sessions N", "--fault FAULT",
                             "--power-cut EVENT:N", "--report,--json-out FILE", "(required)"})
        EXPECT_NE(run.out.find(kind), std::string::npos) << kind << "\n" << run.out;
    EXPECT_NE(dlupdate({"help", "mkmedia"}).out.find("--level N"), std::string::npos);
    EXPECT_NE(dlupdate({"help", "mkmedia"}).out.find("(default 6)"), std::string::npos);
    // The commands in the order a user meets them.
    Outcome top = dlupdate({"help"});
    std::size_t at = 0;
    for (const char *name : {"  demo ", "  mkmedia ", "  inspect ", "  machine ", "  run ", "  sweep ",
                             "  faults ", "  completion ", "  version ", "  help "}) {
        std::size_t next = top.out.find(name, at);
        EXPECT_NE(next, std::string::npos) << name << "\n" << top.out;
        at = next == std::string::npos ? at : next;
    }
}

// The page the build wrote renders without a warning and holds every command.
TEST(E2eShell, ManPageRendersEveryCommand)
{
    const fs::path page = fs::path(DL_SHELL_DIR) / "dlupdate.1";
    ASSERT_TRUE(fs::exists(page));
    Outcome o = shell("if command -v man >/dev/null; then MANWIDTH=100 MANPAGER=cat man -l '" +
                      page.string() + "'; else groff -man -Tutf8 -ww '" + page.string() + "'; fi");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    // Lines filled as the page's width allows: words apart by one blank.
    std::string text;
    for (char c : o.out)
        if (!std::isspace(static_cast<unsigned char>(c)) || (!text.empty() && text.back() != ' '))
            text += std::isspace(static_cast<unsigned char>(c)) ? ' ' : c;
    for (const auto &words : kCommands) {
        std::string name = "dlupdate";
        for (const auto &w : words)
            name += " " + w;
        if (words != std::vector<std::string>{"machine"}) {
            EXPECT_NE(text.find(name), std::string::npos) << name;
        }
    }
    for (const char *part : {"NAME", "SYNOPSIS", "COMMANDS", "EXIT STATUS", "ENVIRONMENT", "NO_COLOR",
                             "--power-cut", "9 power cut"})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << o.out;
}

// Loaded in bash, the script completes commands, two-word commands, options,
// fault and event names from the fault tables, and folders where folders go.
TEST(E2eShell, BashCompletionFromTheCommandTable)
{
    TempDir dir;
    fs::create_directories(dir / "media1");
    std::ofstream(dir / "mfile") << "x";
    const fs::path script = fs::path(DL_SHELL_DIR) / "dlupdate.bash";
    // The names dlupdate faults lists: plain ones whole, aimed ones by their stem.
    std::set<std::string> faults, events;
    for (const auto &line : dlupdate({"faults"}).lines()) {
        std::istringstream in(line);
        std::string what, name;
        in >> what >> name;
        std::size_t stem = name.find_first_of("@.");
        if (what == "cut")
            events.insert(name + ":");
        else if (stem != std::string::npos && std::isupper(static_cast<unsigned char>(name.back())))
            faults.insert(name.substr(0, stem + 1));
        else
            faults.insert(name);
    }
    ASSERT_EQ(events.size(), 6u);
    auto joined = [](const std::set<std::string> &s) {
        std::string j;
        for (const auto &w : s)
            j += (j.empty() ? "" : " ") + w;
        return j;
    };
    struct Case {
        std::string line; // the words, the last one being completed
        std::string want; // the completions, sorted, blank-separated
    } cases[] = {
        {"dlupdate ru", "run"},
        {"dlupdate machine ''", "init show verify"},
        {"dlupdate help machine v", "verify"},
        {"dlupdate completion ''", "bash fish zsh"},
        {"dlupdate run --pa", "--panel --panel-trace"},
        {"dlupdate run --power-cut ''", joined(events)},
        {"dlupdate run --fault ''", joined(faults)},
        {"dlupdate run --fault unit.", "unit.engine unit.lsr unit.pfc unit.scanner"},
        {"dlupdate run --media m", "media1"},
        {"dlupdate run --media = m", "media1"},
        {"dlupdate run --report m", "media1 mfile"},
        {"dlupdate inspect m", "media1"},
        {"dlupdate run --sessions ''", ""},
    };
    std::string body = "source '" + script.string() + "' && complete -p dlupdate\n";
    for (const Case &c : cases)
        body +=
            "COMP_WORDS=(" + c.line + "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _dlupdate; " +
            "printf '%s\\n' \"${COMPREPLY[*]}\" | tr ' ' '\\n' | sort | tr '\\n' ' ' | sed 's/ $//'; echo\n";
    Outcome o = shell(body, dir.path());
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<std::string> lines = o.lines();
    ASSERT_EQ(lines.size(), std::size(cases) + 1) << o.out << o.err;
    EXPECT_EQ(lines[0], "complete -F _dlupdate dlupdate");
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(lines[i + 1], cases[i].want) << cases[i].line;
}

// cmake --install puts the program, its page and the three scripts where
// each is looked for; the scripts are the program's own.
TEST(E2eShell, InstallPutsProgramManPageAndCompletions)
{
    TempDir prefix;
    Outcome o =
        shell("cmake --install '" + std::string(DL_BUILD_DIR) + "' --prefix '" + prefix.path().string() +
              "' >/dev/null && cd '" + prefix.path().string() + "' && find . -type f | sort");
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "./bin/dlupdate\n"
                     "./share/bash-completion/completions/dlupdate\n"
                     "./share/fish/vendor_completions.d/dlupdate.fish\n"
                     "./share/man/man1/dlupdate.1\n"
                     "./share/zsh/site-functions/_dlupdate\n");
    EXPECT_NE(fs::status(prefix / "bin" / "dlupdate").permissions() & fs::perms::owner_exec, fs::perms::none);
    const std::vector<std::pair<const char *, const char *>> scripts = {
        {"share/bash-completion/completions/dlupdate", "bash"},
        {"share/zsh/site-functions/_dlupdate", "zsh"},
        {"share/fish/vendor_completions.d/dlupdate.fish", "fish"}};
    for (const auto &[file, shellName] : scripts)
        EXPECT_EQ(readText(prefix / file), dlupdate({"completion", shellName}).out) << file;
    EXPECT_EQ(readText(prefix / "share/zsh/site-functions/_dlupdate").rfind("#compdef dlupdate\n", 0), 0u);
}

} // namespace
} // namespace testing_support
