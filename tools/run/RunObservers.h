// The concerns of a run besides the sessions themselves, one observer each:
// the outputs it writes, the key script, the live panel, the progress line,
// the checks on faults and cuts. A new output of `run` is one more observer.
#pragma once

#include "host/kernel/Kernel.h"
#include "tools/common/Voice.h"
#include "tools/run/OutputPaths.h"
#include "tools/run/SessionRunner.h"

#include <memory>
#include <string>
#include <vector>

namespace host {
class Machine;
}

namespace dlrun {

// How the run ended, as the observers finish it: the status the sessions
// gave, the signal that interrupted it, and the outputs that could not be
// written.
struct RunEnding {
    int status = kReturned0;
    int signal = 0;
    std::vector<std::string> failedOutputs; // "--panel FILE"
    bool cut() const { return status == kPowerCut; }
    bool interrupted() const { return signal != 0; }
    // A signal wins; an output that could not be written turns 0 into 7.
    int final() const
    {
        if (signal)
            return kSignalled + signal;
        return failedOutputs.empty() || status != kReturned0 ? status : kOutputFailed;
    }
};

// One concern of a run. Observers are booted in the order the run lists
// them and finished in the same order, so their lines on standard error
// come in that order too.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    // Set up on the booted machine; false when it cannot do its work (an
    // output that cannot be written): the run ends as bad usage.
    bool boot(host::Machine &m)
    {
        machine_ = &m;
        return start();
    }
    virtual void beginSession(int) {}
    // The kernel stopped, whatever the reason.
    virtual void kernelStopped() {}
    virtual void endSession(const std::string & /*summary*/, int /*status*/,
                            const std::vector<host::Waiter> & /*stalled*/)
    {}
    // After the last session, before any output is written.
    virtual void stop() {}
    // Writes what it owns; adds what could not be written to `ending`.
    virtual void finish(RunEnding &) {}
    // After every observer has finished.
    virtual void detach() {}
    // Asked after each session: the user ended the run from the keyboard.
    virtual bool quitAsked() const { return false; }

protected:
    virtual bool start() { return true; }
    bool booted() const { return machine_ != nullptr; }
    host::Machine &machine() const { return *machine_; }

private:
    host::Machine *machine_ = nullptr;
};

using Observers = std::vector<std::unique_ptr<RunObserver>>;

// The observers a run with `o` needs, in their order. `interactive` is the
// live panel's choice, made by the run.
Observers makeObservers(const RunOptions &o, const dltool::Voice &voice, bool &interactive);

// The folders no output of a run may land in.
std::vector<GuardedFolder> guardedFolders(const RunOptions &o);

// The HDD package files the module will find: 1, 2, ... in the media's
// firmware folder, or at its top when there is none.
int countHddFiles(const std::string &media);

} // namespace dlrun
