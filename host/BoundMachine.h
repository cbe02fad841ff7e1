// A machine made, bound to the module's calls and, if asked, its console
// captured, for as long as this object lives; the way tools, tests,
// benchmarks and fuzzers hold a machine to run module code on.
#pragma once

#include "host/Console.h"
#include "host/Machine.h"
#include "host/kernel/RunInTask.h"

#include <functional>
#include <memory>
#include <optional>

namespace host {

class BoundMachine {
public:
    // Where the machine's console and reports go.
    enum class Output {
        captured, // into strings: captured()
        silenced, // nowhere
        asIs,     // standard output and error, until the owner says otherwise
    };

    // Throws what Machine's constructor throws, or std::logic_error when
    // another machine is bound.
    explicit BoundMachine(const MachineConfig &config = {}, Output output = Output::captured);
    ~BoundMachine();
    BoundMachine(const BoundMachine &) = delete;
    BoundMachine &operator=(const BoundMachine &) = delete;

    Machine &machine() { return *machine_; }
    Machine *operator->() { return machine_.get(); }
    // Output::captured only.
    const CapturedConsole &captured() const { return *capture_; }
    CapturedConsole &captured() { return *capture_; }

    TaskOutcome runInTask(std::function<void()> body, const TaskSpec &spec = {})
    {
        return host::runInTask(machine_->kernel(), std::move(body), spec);
    }

private:
    // Torn down in the reverse order: unbound first, so that no call reaches
    // the machine as it goes; then the machine, whose tasks end first and
    // may still print; last the capture its console's sinks point into.
    std::optional<CapturedConsole> capture_;
    std::unique_ptr<Machine> machine_;
    std::optional<MachineBinding> binding_;
};

} // namespace host
