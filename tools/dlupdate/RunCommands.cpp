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

int moduleEntry()
{
    return vx::dlFirmUpdateUSBMediaMain();
}

} // namespace

std::function<int()> addRun(CLI::App &app)
{
    auto o = std::make_shared<dlrun::RunOptions>();
    auto *run = app.add_subcommand("run", "run update sessions of the module on a machine");
    run->add_option("--media", o->media, "folder served as the USB storage /usbstor/0")->required();
    run->add_option("--machine", o->machine, "machine folder (made when missing or empty)")
        ->required();
    run->add_option("--keys", o->keys, "key script: 0-9, ok, kN, mK:N, comma-separated");
    run->add_option("--sessions", o->sessions, "sessions to run in one boot (default 1)");
    run->add_option("--fault", o->faults, "NAME[:SKIP[:COUNT]], may be repeated");
    run->add_option("--power-cut", o->powerCut, "EVENT:N: cut the power in the Nth event");
    run->add_option("--panel", o->panelFile, "write the final panel to FILE");
    run->add_option("--panel-trace", o->traceFile, "write every display call to FILE (JSON lines)");
    run->add_option("--ramdisk-out", o->ramdiskOut, "copy the RAM disk out to DIR at the end");
    run->add_option("--report", o->reportFile,
                    "write what the run did to FILE as JSON, on every ending");
    run->add_flag("--events", o->listEvents,
                  "list every fault point and power-cut event on standard error as it comes");
    run->footer("Fault names, aimed forms and power-cut events, one a line: dlupdate faults");
    run->add_flag("--interactive,!--no-interactive", o->interactive,
                  "draw the panel live and take keys from the keyboard");
    return [o, run] {
        o->keysGiven = run->count("--keys") > 0;
        o->interactiveGiven = run->count("--interactive") + run->count("--no-interactive") > 0;
        return dlrun::runSessions(*o, moduleEntry, std::cerr);
    };
}

std::function<int()> addDemo(CLI::App &app)
{
    auto dir = std::make_shared<std::string>("dlupdate-demo");
    auto live = std::make_shared<bool>(false);
    auto *demo = app.add_subcommand(
        "demo", "make sample media and a fresh machine, run one full session");
    demo->add_option("DIR", *dir, "folder for the demo's files (default ./dlupdate-demo)");
    demo->add_flag("--interactive", *live, "choose on the live panel instead of confirming at once");
    return [dir, live] {
        fs::path base = fs::absolute(*dir);
        fs::path sample = base / "sample", mediaDir = base / "media", machine = base / "machine",
                 ramdisk = base / "ramdisk", panel = base / "panel.txt";
        // Only what the demo itself makes is replaced.
        for (const auto &p : {sample, mediaDir, machine, ramdisk})
            fs::remove_all(p);
        fs::create_directories(base);
        std::string script = std::string(DL_SOURCE_DIR) + "/media/sample/make-inputs.sh";
        std::string cmd = "bash '" + script + "' '" + sample.string() + "' >/dev/null";
        if (std::system(cmd.c_str()) != 0) {
            std::cerr << "dlupdate demo: cannot make the sample inputs with " << script << "\n";
            return int(dlrun::kUnusable);
        }
        std::ofstream quiet;
        if (int rc = media::runMkMedia((sample / "manifest.json").string(), mediaDir.string(),
                                       quiet, std::cerr))
            return rc;

        dlrun::RunOptions o;
        o.media = mediaDir.string();
        o.machine = machine.string();
        o.panelFile = panel.string();
        o.ramdiskOut = ramdisk.string();
        o.interactiveGiven = true;
        o.interactive = *live;
        // Every available item starts chosen: confirming takes them all.
        o.keysGiven = !*live;
        o.keys = "ok";
        std::cout << "== console of the update session\n" << std::flush;
        int status = dlrun::runSessions(o, moduleEntry, std::cerr);
        std::ifstream in(panel);
        std::cout << "\n== final panel\n" << in.rdbuf() << "\n";
        std::cout << "== where everything is\n"
                  << "  sample manifest and inputs: " << sample.string() << "\n"
                  << "  update media:               " << mediaDir.string() << "\n"
                  << "  machine folder:             " << machine.string()
                  << "   (dlupdate machine show " << machine.string() << ")\n"
                  << "  RAM disk at the end:        " << ramdisk.string() << "\n"
                  << "  progress log:               "
                  << (ramdisk / "HddUpdateProgress.log").string() << "\n";
        return status;
    };
}

} // namespace dlcli
