// Running a piece of work in a task of its own from outside the machine:
// spawn it, run the kernel until nothing more can happen, and tell how the
// task ended. The way tools, tests, benchmarks and fuzzers run module code,
// which may end its task with exit() or leave it waiting.
#pragma once

#include "host/kernel/Kernel.h"

#include <functional>
#include <optional>
#include <string>

namespace host {

// The task's options and stack, as the boot environment spawns a session:
// VX_FP_TASK (the module's tasks may use the floating-point unit) and 1 MiB.
inline constexpr int kFloatingPointTask = 8;
inline constexpr int kSessionStack = 0x100000;

struct TaskSpec {
    std::string name = "tUpdate";
    int priority = 100;
    // An error (std::exception) the body throws is thrown again from
    // runInTask once the machine is quiet, rather than ending the task as a
    // failed one.
    bool forwardErrors = false;
};

// How the task ended and what the machine came to.
struct TaskOutcome {
    int taskId = -1;
    std::optional<TaskEnd> end; // nullopt: it never ended (it waits, or the power went)
    Quiescence quiescence;
    // Ran to its end without exit().
    bool returned() const { return end && !end->exited; }
};

// From outside any task. The body runs in a new task named and ranked as
// `spec` says; returns once no task can run.
TaskOutcome runInTask(Kernel &kernel, std::function<void()> body, const TaskSpec &spec = {});

} // namespace host
