// dlupdate: runs update sessions of the storage-update module on a
// simulated machine, and makes and checks update media.
#include "host/machine/MachineFolder.h"
#include "tools/dlupdate/RunCommands.h"
#include "tools/dlupdate/SweepCommand.h"
#include "tools/inspect/Inspect.h"
#include "tools/media/MkMedia.h"

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
        std::cerr << "dlupdate: " << e.what() << "\n";
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
        std::cerr << "dlupdate: " << e.what() << "\n";
        return kUnusable;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"dlupdate: run the storage-update module on a simulated machine"};
    app.require_subcommand(1);

    auto *machine = app.add_subcommand("machine", "create a machine folder or show its state");
    machine->require_subcommand(1);
    std::string dir;
    auto *init = machine->add_subcommand("init", "create a new machine in DIR (missing or empty)");
    init->add_option("DIR", dir, "machine folder")->required();
    auto *show = machine->add_subcommand("show", "show the state of the machine in DIR");
    show->add_option("DIR", dir, "machine folder")->required();

    auto *mkmedia = app.add_subcommand("mkmedia", "build update media from a manifest");
    std::string manifest, outDir;
    mkmedia->add_option("MANIFEST", manifest, "JSON manifest")->required();
    mkmedia->add_option("--out", outDir, "folder the media is written to")->required();

    auto runAction = dlcli::addRun(app);
    auto demoAction = dlcli::addDemo(app);
    auto sweepAction = dlcli::addSweep(app);

    auto *inspectCmd =
        app.add_subcommand("inspect", "read and check update media without updating anything");
    std::string mediaDir;
    bool json = false;
    inspectCmd->add_option("DIR", mediaDir, "media folder")->required();
    inspectCmd->add_flag("--json", json, "the report as one JSON object");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : kUsage;
    }
    if (init->parsed())
        return machineInit(dir);
    if (show->parsed())
        return machineShow(dir);
    if (app.got_subcommand("run"))
        return runAction();
    if (app.got_subcommand("demo"))
        return demoAction();
    if (app.got_subcommand("sweep"))
        return sweepAction();
    if (mkmedia->parsed())
        return media::runMkMedia(manifest, outDir, std::cout, std::cerr);
    if (inspectCmd->parsed())
        return inspect::runInspect(mediaDir, json, std::cout, std::cerr);
    return kUsage;
}
