// The host machine's kernel: tasks and message queues with the device's
// scheduling. See Kernel.cpp for how the emulation works.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {

class MsgQueue;
struct Task;

// How one task ended.
struct TaskEnd {
    bool exited = false; // by exit(status) rather than by returning
    int status = 0;      // exit status; 0 when the body returned
};

// A task that waits, for the stall report.
struct Waiter {
    int taskId = 0;
    std::string taskName;
    int priority = 0;
    std::string waitsOn; // e.g. "receive on queue #3 (key focus), 0/10 messages"
};

struct Quiescence {
    std::vector<Waiter> waiting; // empty: every task has ended
    bool powerCut = false;       // the power went: nothing ran to its end
};

class Kernel {
public:
    static constexpr int kWaitForever = -1;
    static constexpr int kNoWait = 0;

    Kernel();
    ~Kernel(); // ends every remaining task and joins its thread
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;

    // --- tasks ---
    // From a task or from outside. The body runs in the new task; -1 for a
    // priority outside 0..255 or an empty body. From a task, a higher
    // priority new task takes the processor at once.
    int spawn(const std::string &name, int priority, int options, int stackSize, std::function<void()> body);
    // Ends the calling task (unwinds its thread). Outside a task: throws
    // std::logic_error.
    [[noreturn]] void exitTask(int status);
    // 0 outside a task.
    int currentTaskId() const;
    // "" outside a task.
    std::string currentTaskName() const;
    bool inTask() const;
    std::optional<TaskEnd> taskEnd(int taskId) const; // nullopt while alive
    std::string taskName(int taskId) const;

    // Runs the machine from outside (the main thread) until no task can run
    // and nothing outside can wake one. Returns the tasks left waiting.
    Quiescence run();

    // --- message queues (owned by the kernel, never deleted) ---
    // nullptr for a count or length below 1 or an unknown option.
    MsgQueue *createQueue(int maxMsgs, int maxMsgLength, int options);
    // OS semantics: 0 (OK) or -1. Timeout in ticks, kWaitForever or kNoWait.
    int send(MsgQueue *q, const char *buffer, unsigned nBytes, int timeout, int priority);
    // Message length or -1.
    int receive(MsgQueue *q, char *buffer, unsigned maxNBytes, int timeout);
    int numMsgs(MsgQueue *q) const;
    bool isQueue(const MsgQueue *q) const;
    void labelQueue(MsgQueue *q, const std::string &label);
    // True when a task waits to receive on q.
    bool hasReceiver(const MsgQueue *q) const;

    // From a host thread that is not a task (e.g. the keyboard reader),
    // the way an interrupt handler would: never blocks, 0 or -1. Wakes the
    // receiver, which runs at once when the machine is idle.
    int post(MsgQueue *q, const char *buffer, unsigned nBytes);

    // Called in the receiving task when it is about to wait on an empty
    // queue (not for NO_WAIT); it may post into the queue, and the receive
    // then takes the message without waiting.
    void setReceiveHook(std::function<void(MsgQueue *)> hook);

    // While a hold is alive, an idle machine waits for posts instead of
    // being reported as stalled (the live keyboard).
    class ExternalHold {
    public:
        ExternalHold(ExternalHold &&) noexcept;
        ExternalHold &operator=(ExternalHold &&) = delete;
        ~ExternalHold();

    private:
        friend class Kernel;
        explicit ExternalHold(Kernel *k);
        Kernel *kernel_;
    };
    ExternalHold holdExternal();
    // Makes run() return as soon as no task holds the processor ('q'
    // pressed), now and in every later run.
    void interrupt();

    // The power goes. In a task: the calling task unwinds at once (never
    // returns) and no task runs again. Outside (the keyboard): the running
    // task goes on to its next switch, then none runs again. run() returns
    // with powerCut set; the tasks left are unwound by the destructor.
    void powerCut();
    bool poweredOff() const;

    // Virtual clock in ticks; advances only when every task waits and one
    // waits with a timeout.
    long ticks() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace host
