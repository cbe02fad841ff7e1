#include "host/kernel/RunInTask.h"

#include <exception>
#include <memory>

namespace host {

TaskOutcome runInTask(Kernel &kernel, std::function<void()> body, const TaskSpec &spec)
{
    // Shared with the task, which may outlive this call when it never ends.
    auto failure = std::make_shared<std::exception_ptr>();
    if (spec.forwardErrors)
        body = [failure, inner = std::move(body)] {
            try {
                inner();
            } catch (const std::exception &) {
                *failure = std::current_exception();
            }
        };
    TaskOutcome o;
    o.taskId = kernel.spawn(spec.name, spec.priority, kFloatingPointTask, kSessionStack, std::move(body));
    o.quiescence = kernel.run();
    if (*failure)
        std::rethrow_exception(*failure);
    o.end = kernel.taskEnd(o.taskId);
    return o;
}

} // namespace host
