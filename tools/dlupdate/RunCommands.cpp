#include "tools/dlupdate/RunCommands.h"

#include "tools/media/MkMedia.h"
#include "tools/run/SessionRunner.h"
#include "update/session/dlFirmUpMain.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

namespace dlcli {

namespace fs = std::filesystem;

namespace {

int moduleEntry() { return vx::dlFirmUpdateUSBMediaMain(); }

} // namespace

std::function<int()> addRun(CLI::App &app)
{
    auto o = std::make_shared<dlrun::RunOptions>();
    auto *run = app.add_subcommand("run", "run update sessions of the module on a machine");
    run->add_option("--media", o->media, "folder served as the USB storage /usbstor/0")
        ->required()
        ->type_name("DIR");
    run->add_option("--machine", o->machine, "machine folder (made when missing or empty)")
        ->required()
        ->type_name("DIR");
    run->add_option("--keys", o->keys, "key script: 0-9, ok, kN, mK:N, comma-separated")->type_name("LIST");
    run->add_option("--sessions", o->sessions, "sessions to run in one boot (default 1)")->type_name("N");
    run->add_option("--fault", o->faults, "NAME[:SKIP[:COUNT]], may be repeated")->type_name("SPEC");
    run->add_option("--power-cut", o->powerCut, "EVENT:N: cut the power in the Nth event")->type_name("SPEC");
    run->add_option("--panel", o->panelFile, "write the final panel to FILE")->type_name("FILE");
    run->add_option("--panel-trace", o->traceFile, "write every display call to FILE (JSON lines)")
        ->type_name("FILE");
    run->add_option("--ramdisk-out", o->ramdiskOut, "copy the RAM disk out to DIR at the end")
        ->type_name("DIR");
    run->add_option("--report", o->reportFile, "write what the run did to FILE as JSON, on every ending")
        ->type_name("FILE");
    run->add_flag("--events", o->listEvents,
                  "list every fault point and power-cut event on standard error as it comes");
    run->add_flag("--interactive,!--no-interactive", o->interactive,
                  "draw the panel live and take keys from the keyboard");
    run->footer("Exit status: 0 returned 0, 1 exit(1), 2 returned -1, 3 exit(0), 4 stalled,\n"
                "5 unusable machine or media folder, 6 ended from the keyboard,\n"
                "7 an output could not be written (in place of 0), 9 power cut, 64 bad usage.\n"
                "Fault names and power-cut events: README.md, \"Faults and power cuts\",\n"
                "or one a line from dlupdate faults; the names are checked before anything runs.");
    return [o, run] {
        o->keysGiven = run->count("--keys") > 0;
        o->interactiveGiven = run->count("--interactive") + run->count("--no-interactive") > 0;
        return dlrun::runSessions(*o, moduleEntry, std::cerr);
    };
}

} // namespace dlcli
