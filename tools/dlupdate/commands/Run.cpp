// dlupdate run --media DIR --machine DIR [...]
#include "tools/dlupdate/Command.h"
#include "tools/run/SessionRunner.h"
#include "update/session/dlFirmUpMain.h"

#include <memory>

namespace dlcli {

Action defineRun(CLI::App &cmd)
{
    auto o = std::make_shared<dlrun::RunOptions>();
    cmd.add_option("--media", o->media, "folder served as the USB storage /usbstor/0")
        ->required()
        ->type_name("DIR");
    cmd.add_option("--machine", o->machine, "machine folder (made when missing or empty)")
        ->required()
        ->type_name("DIR");
    cmd.add_option("--keys", o->keys, "key script: 0-9, ok, kN, mK:N, comma-separated")->type_name("LIST");
    cmd.add_option("--sessions", o->sessions, "sessions to run in one boot (default 1)")->type_name("N");
    cmd.add_option("--fault", o->faults, "FAULT[:SKIP[:COUNT]], may be repeated")->type_name("FAULT");
    cmd.add_option("--power-cut", o->powerCut, "cut the power in the Nth EVENT")->type_name("EVENT:N");
    cmd.add_option("--panel", o->panelFile, "write the final panel to FILE")->type_name("FILE");
    cmd.add_option("--panel-trace", o->traceFile, "write every display call to FILE (JSON lines)")
        ->type_name("FILE");
    cmd.add_option("--ramdisk-out", o->ramdiskOut, "copy the RAM disk out to DIR at the end")
        ->type_name("DIR");
    cmd.add_option("--report,-o,--json-out", o->reportFile,
                   "write what the run did to FILE as JSON, on every ending (- standard output)")
        ->type_name("FILE");
    auto json = std::make_shared<bool>(false);
    cmd.add_flag("--json", *json, "the report on standard output, the console then on standard error");
    cmd.add_flag("--events", o->listEvents,
                 "list every fault point and power-cut event on standard error as it comes");
    cmd.add_flag("--interactive,!--no-interactive", o->interactive,
                 "draw the panel live and take keys from the keyboard");
    CLI::App *run = &cmd;
    return [o, run, json](const dltool::Voice &voice) {
        if (*json && o->reportFile.empty())
            o->reportFile = "-";
        o->keysGiven = run->count("--keys") > 0;
        o->interactiveGiven = run->count("--interactive") + run->count("--no-interactive") > 0;
        return dlrun::runSessions(
            *o, [] { return vx::dlFirmUpdateUSBMediaMain(); }, voice);
    };
}

} // namespace dlcli
