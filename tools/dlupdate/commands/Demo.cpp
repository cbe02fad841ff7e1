// dlupdate demo [DIR]: sample media, a fresh machine and one full session,
// all inside one folder that the demo made. A folder holding anything else
// is never touched, so a mistyped DIR cannot cost a user's files.
#include "tools/common/ExitStatus.h"
#include "tools/dlupdate/Command.h"

#include "tools/media/Media.h"
#include "tools/media/MkMedia.h"
#include "tools/media/Sample.h"
#include "tools/run/SessionRunner.h"
#include "update/session/dlFirmUpMain.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <unistd.h>
#include <memory>
#include <optional>
#include <sstream>
#include <system_error>
#include <vector>

namespace dlcli {

namespace fs = std::filesystem;

namespace {

constexpr const char *kMarker = ".dlupdate-demo";

struct Refusal {
    int status;
    std::string why;
};

// Makes `base` the demo's folder, or says why it cannot be: it is the
// demo's when missing (made now, not its parents), empty, or marked by an
// earlier demo; then only the demo's own names in it are replaced.
std::optional<Refusal> claimFolder(const fs::path &base, const std::vector<fs::path> &owned)
{
    std::error_code ec;
    fs::file_status st = fs::status(base, ec);
    if (fs::exists(st)) {
        if (!fs::is_directory(st))
            return Refusal{dltool::kUsage,
                           base.string() + " exists and is not a folder; give a new or empty folder"};
        bool marked = fs::is_regular_file(base / kMarker, ec);
        if (!marked && !fs::is_empty(base, ec))
            return Refusal{dltool::kUsage, base.string() +
                                               " holds files that no demo made; give a new or empty folder "
                                               "(nothing in it was changed)"};
        if (ec)
            return Refusal{dltool::kUnusable,
                           "cannot read the folder " + base.string() + ": " + ec.message()};
        for (const fs::path &p : owned) {
            fs::remove_all(p, ec);
            if (ec)
                return Refusal{dltool::kUnusable,
                               "cannot remove the earlier demo's " + p.string() + ": " + ec.message()};
        }
    } else if (!fs::create_directory(base, ec) || ec) {
        // A path through a file or a missing folder is a wrong DIR, not a broken disk.
        bool wrongPath = ec == std::errc::not_a_directory || ec == std::errc::no_such_file_or_directory ||
                         ec == std::errc::file_exists;
        return Refusal{wrongPath ? int(dltool::kUsage) : int(dltool::kUnusable),
                       "cannot make the folder " + base.string() + ": " + ec.message()};
    }
    std::ofstream marker(base / kMarker, std::ios::trunc);
    marker << "made by dlupdate demo: the next demo in this folder replaces what it made here\n";
    if (!marker.flush())
        return Refusal{dltool::kUnusable, "cannot write " + (base / kMarker).string()};
    return std::nullopt;
}

} // namespace

Action defineDemo(CLI::App &cmd)
{
    auto dir = std::make_shared<std::string>("dlupdate-demo");
    auto live = std::make_shared<bool>(false);
    cmd.add_option("DIR", *dir,
                   "folder for the demo's files: new, empty or an earlier demo's (default ./dlupdate-demo)");
    cmd.add_flag("--interactive", *live, "choose on the live panel instead of confirming at once");
    return [dir, live](const dltool::Voice &voice) {
        fs::path base = fs::absolute(*dir).lexically_normal();
        if (base.filename().empty())
            base = base.parent_path(); // "DIR/" names DIR
        fs::path sample = base / "sample", mediaDir = base / "media", machine = base / "machine",
                 ramdisk = base / "ramdisk", panel = base / "panel.txt";
        if (auto refused = claimFolder(base, {sample, mediaDir, machine, ramdisk, panel})) {
            voice.say() << refused->why << "\n";
            return refused->status;
        }
        try {
            media::writeSample(sample);
        } catch (const media::MediaIoError &e) {
            voice.say() << "cannot make the sample inputs: " << e.what() << "\n";
            return int(dltool::kUnusable);
        }
        std::ostringstream quiet;
        // Off a terminal the demo's own lines say what was made.
        media::MkMediaOptions made;
        made.quiet = !::isatty(2);
        made.summary = !made.quiet;
        if (int rc =
                media::runMkMedia((sample / "manifest.json").string(), mediaDir.string(), quiet, voice, made))
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
        int status = dlrun::runSessions(
            o, [] { return vx::dlFirmUpdateUSBMediaMain(); }, voice);
        std::ifstream in(panel);
        std::cout << "\n== final panel\n" << in.rdbuf() << "\n";
        std::cout << "== where everything is\n"
                  << "  sample manifest and inputs: " << sample.string() << "\n"
                  << "  update media:               " << mediaDir.string() << "\n"
                  << "  machine folder:             " << machine.string() << "   (dlupdate machine show "
                  << machine.string() << ")\n"
                  << "  RAM disk at the end:        " << ramdisk.string() << "\n"
                  << "  progress log:               " << (ramdisk / "HddUpdateProgress.log").string() << "\n";
        return status;
    };
}

} // namespace dlcli
