// `dlupdate run`: boots a machine from its folder, mounts the media and
// runs update sessions in the session task, with the outputs and exit
// statuses a firmware engineer's scripts rely on.
#pragma once

#include "tools/common/ExitStatus.h"
#include "tools/common/Voice.h"

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace host {
class Machine;
}

namespace dlrun {

// The exit statuses `run` ends with, by their names.
using Status = dltool::Exit;
using enum dltool::Exit;

struct RunOptions {
    std::string media;
    std::string machine;
    bool keysGiven = false;
    std::string keys;
    int sessions = 1;
    std::vector<std::string> faults;
    std::string powerCut;
    std::string panelFile;
    std::string traceFile;
    std::string ramdiskOut;
    std::string reportFile;
    // Lists every fault point and power-cut event on standard error as the
    // run passes it ("archiver #7: /TMP/temp.db -> /PRF/panel.cfg").
    bool listEvents = false;
    // Live panel and keyboard: by default when stdin is a terminal and no
    // key script is given.
    bool interactive = false;
    bool interactiveGiven = false;
    // For runs inside another program (sweeps): called with the machine
    // once it is built, and once the run has ended, before it goes.
    std::function<void(host::Machine &)> onBoot;
    std::function<void(host::Machine &)> onEnd;
};

// The module's entry, called once per session in the session task.
using Entry = std::function<int()>;

// Runs the sessions; the module's console goes to standard output, the
// host's lines to `voice`. Returns the exit status. A power cut ends the boot
// (status kPowerCut) and returns here: the same process may boot the
// folder again.
int runSessions(const RunOptions &options, const Entry &entry, const dltool::Voice &voice);

// What a session's end means for the run: the summary word and the status.
struct SessionEnd {
    std::string summary; // "returned 0", "exit(1)", ...
    int status;
};
SessionEnd classify(bool exited, int value);

} // namespace dlrun
