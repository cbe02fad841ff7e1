// dlupdate: runs update sessions of the storage-update module on a
// simulated machine, and makes and checks update media.
#include "host/Faults.h"
#include "host/machine/MachineFolder.h"
#include "tools/dlupdate/BuildInfo.h"
#include "tools/dlupdate/RunCommands.h"
#include "tools/dlupdate/SweepCommand.h"
#include "tools/dlupdate/Usage.h"
#include "tools/dlupdate/WholeLines.h"
#include "tools/inspect/Inspect.h"
#include "tools/inspect/MachineCheck.h"
#include "tools/media/Media.h"
#include "tools/media/MkMedia.h"
#include "tools/media/Sample.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

namespace {

constexpr int kUnusable = 5;
constexpr int kUsage = 64;

int machineInit(const std::string &dir)
{
    try {
        host::MachineFolder::init(dir);
    } catch (const host::MachineFolderError &e) {
        std::cerr << "dlupdate machine init: " << e.what() << "\n";
        return kUnusable;
    }
    std::cout << "new machine in " << dir << "\n";
    return 0;
}

int machineShow(const std::string &dir)
{
    try {
        std::cout << host::MachineFolder::show(dir);
    } catch (const host::MachineFolderError &e) {
        std::cerr << "dlupdate machine show: " << e.what() << "\n";
        return kUnusable;
    }
    return 0;
}

int makeSample(const std::string &dir)
{
    try {
        media::writeSample(dir);
    } catch (const media::MediaIoError &e) {
        std::cerr << "dlupdate mkmedia: " << e.what() << "\n";
        return kUsage;
    }
    std::cout << "sample manifest and inputs in " << dir << "\n";
    return 0;
}

// dlupdate help [COMMAND...]
int help(CLI::App &app, const std::vector<std::string> &words)
{
    CLI::App *sub = &app;
    for (const std::string &w : words) {
        try {
            sub = sub->get_subcommand(w);
        } catch (const CLI::OptionNotFound &) {
            std::vector<std::string> names;
            for (const CLI::App *s : sub->get_subcommands([](const CLI::App *) { return true; }))
                names.push_back(s->get_name());
            std::string line = "dlupdate help: unknown command '" + w + "'";
            if (auto near = dlcli::closest(w, names))
                line += "; did you mean '" + *near + "'?";
            std::cerr << line << "\n";
            return kUsage;
        }
    }
    // The formatter itself: App::help would show the help command's own.
    std::cout << sub->get_formatter()->make_help(sub, dlcli::commandPath(sub), CLI::AppFormatMode::Normal);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    dlcli::WholeLines wholeLines(std::cerr, 2);
    CLI::App app{"dlupdate: run the storage-update module on a simulated machine"};
    app.name("dlupdate");
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("dlupdate ") + kDlVersion + " (commit " + kDlCommit + ")",
                         "the version and the commit it was built from");
    app.footer("Run 'dlupdate help COMMAND' for one command's options and exit statuses.\n"
               "Bad usage exits with 64 on every command.");

    auto *machine =
        app.add_subcommand("machine", "create a machine folder, show its state or verify it against media");
    machine->require_subcommand(1);
    std::string dir;
    auto *init = machine->add_subcommand("init", "create a new machine in DIR (missing or empty)");
    init->add_option("DIR", dir, "machine folder")->required();
    init->footer("Exit status: 0 made, 5 DIR cannot be used, 64 bad usage.");
    auto *show = machine->add_subcommand("show", "show the state of the machine in DIR");
    show->add_option("DIR", dir, "machine folder")->required();
    show->footer("Exit status: 0 shown, 5 DIR is not a usable machine folder, 64 bad usage.");
    bool showJson = false;
    show->add_flag("--json", showJson, "the state as one JSON object, with digests and versions");
    auto *verify = machine->add_subcommand(
        "verify", "compare a machine with what update media carry (exit 0 only when all match)");
    std::string verifyMachine, verifyMedia;
    bool verifyJson = false;
    verify->add_option("--machine", verifyMachine, "machine folder")->required();
    verify->add_option("--media", verifyMedia, "media folder")->required();
    verify->add_flag("--json", verifyJson, "the comparison as one JSON object");
    verify->footer("Exit status: 0 everything on the media matches, 1 a target differs or is\n"
                   "missing or a rewrite flag is set, 5 the machine or media cannot be used,\n"
                   "64 bad usage.");

    auto *mkmedia = app.add_subcommand("mkmedia", "build update media from a manifest");
    std::string manifest, outDir, sampleDir;
    auto *manifestOpt = mkmedia->add_option("MANIFEST", manifest, "JSON manifest (media/README.md)");
    auto *outOpt = mkmedia->add_option("--out", outDir, "folder the media is written to")->type_name("DIR");
    mkmedia
        ->add_option("--sample", sampleDir,
                     "write the sample manifest and its inputs into DIR (missing or empty) instead")
        ->type_name("DIR")
        ->excludes(manifestOpt)
        ->excludes(outOpt);
    media::MkMediaOptions mkmediaOptions;
    mkmedia->add_option("--level", mkmediaOptions.level, "compression level, 1 (fastest) to 12 (smallest)")
        ->check(CLI::Range(media::kMinLevel, media::kMaxLevel))
        ->default_val(media::kDefaultLevel);
    mkmedia
        ->add_option("--jobs", mkmediaOptions.jobs,
                     "packages compressed, then files written, at once (default: one per core)")
        ->check(CLI::Range(1u, 1024u));
    mkmedia->footer(
        "Beside the media goes DIR/SHA256SUMS, the SHA-256 of every file written: check a\n"
        "stick with 'cd DIR && sha256sum -c SHA256SUMS', sign it with 'gpg --detach-sign SHA256SUMS'.\n"
        "Exit status: 0 written, 5 an input or the output folder cannot be used,\n"
        "64 bad usage or a manifest the module would misread.");

    auto *faultsCmd =
        app.add_subcommand("faults", "list every fault name, aimed form and power-cut event, one a line");

    auto runAction = dlcli::addRun(app);
    auto demoAction = dlcli::addDemo(app);
    auto sweepAction = dlcli::addSweep(app);

    auto *inspectCmd = app.add_subcommand("inspect", "read and check update media without updating anything");
    std::string mediaDir;
    bool json = false;
    inspectCmd->add_option("DIR", mediaDir, "media folder")->required();
    inspectCmd->add_flag("--json", json, "the report as one JSON object");
    inspectCmd->footer(
        "When DIR holds SHA256SUMS, every file it lists is checked against it, and every other file\n"
        "of DIR and DIR/fwstore is a problem too (signatures not verified: gpg --verify).\n"
        "Exit status: 0 no problems, 1 problems found, 5 DIR cannot be read, 64 bad usage.");

    auto *helpCmd = app.add_subcommand("help", "show the options of every command, or of one");
    std::vector<std::string> helpWords;
    helpCmd->add_option("COMMAND", helpWords, "a command, e.g. run or machine init");

    if (auto fault = dlcli::checkWords(app, argc, argv)) {
        std::cerr << *fault << "\n";
        return kUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        std::cerr << dlcli::describe(*dlcli::deepestParsed(app), e) << "\n";
        return kUsage;
    }
    if (helpCmd->parsed())
        return help(app, helpWords);
    if (init->parsed())
        return machineInit(dir);
    if (show->parsed())
        return showJson ? inspect::runMachineShowJson(dir, std::cout, std::cerr) : machineShow(dir);
    if (verify->parsed())
        return inspect::runVerify(verifyMachine, verifyMedia, verifyJson, std::cout, std::cerr);
    if (faultsCmd->parsed()) {
        for (const auto &line : host::Faults::describe())
            std::cout << line << "\n";
        return 0;
    }
    if (app.got_subcommand("run"))
        return runAction();
    if (app.got_subcommand("demo"))
        return demoAction();
    if (app.got_subcommand("sweep"))
        return sweepAction();
    if (mkmedia->parsed()) {
        if (!sampleDir.empty())
            return makeSample(sampleDir);
        if (manifest.empty() || outDir.empty()) {
            std::cerr
                << "dlupdate mkmedia: give MANIFEST --out DIR, or --sample DIR (dlupdate help mkmedia)\n";
            return kUsage;
        }
        return media::runMkMedia(manifest, outDir, std::cout, std::cerr, mkmediaOptions);
    }
    if (inspectCmd->parsed())
        return inspect::runInspect(mediaDir, json, std::cout, std::cerr);
    return kUsage;
}
