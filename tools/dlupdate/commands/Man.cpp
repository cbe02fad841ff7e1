// dlupdate man (hidden): the manual page, written by the build from the
// parser's own commands, options and footers, so it says what --help says.
#include "tools/common/ExitStatus.h"
#include "tools/dlupdate/Command.h"
#include "tools/dlupdate/Kinds.h"
#include "tools/dlupdate/Usage.h"

#include <iostream>
#include <sstream>

namespace dlcli {

namespace {

// Text as roff reads it: backslashes and minus signs escaped, no line
// opening with a control character.
std::string roff(const std::string &text)
{
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\''))
            out += "\\&";
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
        lineStart = c == '\n';
    }
    return out;
}

std::string usageOf(const CLI::App *app)
{
    std::string usage = commandPath(app);
    for (const CLI::Option *o : app->get_options())
        if (o->get_positional())
            usage += o->get_required() ? " " + o->get_name() : " [" + o->get_name() + "]";
    return usage + (app->get_options().size() > 1 ? " [OPTIONS]" : "");
}

void options(std::ostream &out, const CLI::App *app)
{
    for (const CLI::Option *o : app->get_options()) {
        const std::string kind = o->get_positional() ? "" : kindOf(o);
        out << ".TP\n.B " << roff(spelling(o)) << (kind.empty() ? "" : " \\fI" + roff(kind) + "\\fR") << "\n"
            << roff(describeOption(o)) << "\n";
    }
}

void command(std::ostream &out, const CLI::App *app)
{
    const bool group = !shownCommands(*app).empty();
    if (!group) {
        out << ".SS \"" << roff(usageOf(app)) << "\"\n" << roff(app->get_description()) << ".\n";
        options(out, app);
        if (!app->get_footer().empty())
            out << ".PP\n" << roff(app->get_footer()) << "\n";
    }
    for (const CLI::App *sub : shownCommands(*app))
        command(out, sub);
}

void page(std::ostream &out, const CLI::App &root)
{
    out << ".TH DLUPDATE 1 \"\" \"" << roff(versionLine()) << "\" \"User Commands\"\n"
        << ".nh\n.ad l\n" // option names and paths read whole, not hyphenated
        << ".SH NAME\ndlupdate \\- " << roff(root.get_description().substr(10)) << "\n"
        << ".SH SYNOPSIS\n.B dlupdate\n.I COMMAND\n[\\fIOPTIONS\\fR]\n.br\n.B dlupdate\n"
        << "[\\fB\\-h\\fR] [\\fB\\-V\\fR]\n"
        << ".SH DESCRIPTION\nRuns update sessions of the storage-update module on a simulated machine, and\n"
           "makes and checks its update media. The commands, in the order a user meets them:\n";
    for (const CLI::App *sub : shownCommands(root))
        out << ".TP\n.B " << roff(sub->get_name()) << "\n" << roff(sub->get_description()) << "\n";
    out << ".SH OPTIONS\n";
    options(out, &root);
    out << ".SH COMMANDS\n";
    for (const CLI::App *sub : shownCommands(root))
        command(out, sub);
    out << ".SH EXIT STATUS\nEach command lists its own above. "
        << roff("Bad usage exits with 64 on every command.") << "\n"
        << ".SH ENVIRONMENT\n"
           ".TP\n.B NO_COLOR\nSet to any value: no colour, even on a terminal.\n"
           ".TP\n.B TERM\n"
        << roff("dumb: no colour and no live panel.") << "\n"
        << ".TP\n.B DLUPDATE_EVENTS\n"
        << roff("1: run counts the events of each kind on standard error; 2: lists each as it comes.") << "\n"
        << ".SH SEE ALSO\n"
        << roff("dlupdate help COMMAND; the project's README.md; 'dlupdate completion bash' for the shell.")
        << "\n";
}

} // namespace

Action defineMan(CLI::App &cmd)
{
    const CLI::App *root = cmd.get_parent();
    return [root](const dltool::Voice &) {
        std::ostringstream out;
        page(out, *root);
        std::cout << out.str();
        return std::cout.flush() ? int(dltool::kOk) : int(dltool::kOutputFailed);
    };
}

} // namespace dlcli
