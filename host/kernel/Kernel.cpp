// How the emulation works
// -----------------------
// Every task is a host thread, but only one of them holds the processor at
// any time: the kernel keeps one mutex over its state and a pointer to the
// running task, and a task's thread runs module code only while it is that
// task. Every other task thread sleeps on its own condition variable. A
// switch happens only inside a kernel call: when the running task blocks
// (on a message queue), ends, or readies a task of higher priority. The
// kernel then picks the next task (highest priority first, FIFO among equal
// priorities, a preempted task at the head of its priority) and wakes its
// thread. There is no time slicing, so the same inputs give the same order
// of events on every run.
//
// The thread that calls run() (the "outside", e.g. the program's main
// thread) sleeps while tasks run, and wakes when no task is ready. It then
// advances the virtual clock to the next timeout, waits for posts from an
// outside thread (the live keyboard) while one holds the machine, or
// returns the tasks left waiting: a stall, when the caller expected more.
//
// exit() unwinds the calling task's thread with an exception caught at the
// top of the thread; the kernel's destructor unwinds every task still
// waiting the same way, so no thread outlives its kernel.
#include "host/kernel/Kernel.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace host {

namespace {

struct TaskExitUnwind {
    int status;
};
struct TaskKillUnwind {};
struct PowerCutUnwind {};

} // namespace

struct Task {
    enum class State { Ready, Running, Blocked, Ended };

    int id = 0;
    std::string name;
    int priority = 0;
    int options = 0;
    int stackSize = 0;
    std::function<void()> body;
    std::thread thread;
    std::condition_variable cv;
    State state = State::Ready;
    bool killed = false;
    std::optional<TaskEnd> end;

    // What it waits on.
    MsgQueue *waitQueue = nullptr;
    bool waitingToSend = false;
    long deadline = -1; // tick; -1: none
    bool timedOut = false;
    // Receive: where a sender puts the message for it.
    char *rxBuffer = nullptr;
    unsigned rxMax = 0;
    int rxLength = -1;
    // Send: the message it waits to place.
    std::vector<char> txMessage;
    bool txUrgent = false;
};

class MsgQueue {
public:
    int id = 0;
    int maxMsgs = 0;
    int maxLength = 0;
    int options = 0;
    std::string label;
    std::deque<std::vector<char>> messages;
    std::deque<Task *> receivers;
    std::deque<Task *> senders;
};

struct Kernel::Impl {
    mutable std::mutex m;
    std::condition_variable idleCv;
    std::vector<std::unique_ptr<Task>> tasks;
    std::vector<std::unique_ptr<MsgQueue>> queues;
    std::array<std::deque<Task *>, 256> ready;
    Task *current = nullptr;
    bool running = false; // an outside thread is in run()
    int externalHolds = 0;
    bool interrupted = false;
    bool cut = false; // no task runs again
    long ticks = 0;
    std::function<void(MsgQueue *)> receiveHook;
    Kernel *owner = nullptr;

    static thread_local Task *self;
    static thread_local Impl *selfKernel;

    Task *me() const { return selfKernel == this ? self : nullptr; }

    Task *find(int id) const
    {
        for (auto &t : tasks)
            if (t->id == id)
                return t.get();
        return nullptr;
    }

    Task *popReady()
    {
        for (auto &level : ready)
            if (!level.empty()) {
                Task *t = level.front();
                level.pop_front();
                return t;
            }
        return nullptr;
    }

    // Gives the processor to the next ready task, or to nobody. Lock held.
    void schedule()
    {
        Task *next = cut ? nullptr : popReady();
        current = next;
        if (next) {
            next->state = Task::State::Running;
            next->cv.notify_one();
        } else {
            idleCv.notify_all();
        }
    }

    // The calling task waits until it holds the processor again.
    void waitForProcessor(std::unique_lock<std::mutex> &lock, Task *t)
    {
        t->cv.wait(lock, [&] { return current == t || t->killed; });
        if (t->killed)
            throw TaskKillUnwind{};
    }

    // Blocks the calling task and runs another. Lock held.
    void block(std::unique_lock<std::mutex> &lock, Task *t)
    {
        t->state = Task::State::Blocked;
        schedule();
        waitForProcessor(lock, t);
    }

    // t becomes ready; the caller (a running task, or nobody) is preempted
    // when t has a higher priority. Lock held.
    void makeReady(std::unique_lock<std::mutex> &lock, Task *t)
    {
        t->state = Task::State::Ready;
        t->waitQueue = nullptr;
        t->deadline = -1;
        ready[static_cast<size_t>(t->priority)].push_back(t);
        Task *caller = me();
        if (caller && caller == current) {
            if (t->priority < caller->priority) {
                caller->state = Task::State::Ready;
                ready[static_cast<size_t>(caller->priority)].push_front(caller);
                schedule();
                waitForProcessor(lock, caller);
            }
        } else if (!current && running) {
            schedule();
        }
    }

    void removeWaiter(Task *t)
    {
        if (!t->waitQueue)
            return;
        auto &list = t->waitingToSend ? t->waitQueue->senders : t->waitQueue->receivers;
        list.erase(std::remove(list.begin(), list.end(), t), list.end());
    }

    // Waiting tasks of a queue, FIFO or by priority (FIFO among equals).
    void enqueueWaiter(std::deque<Task *> &list, Task *t, int options)
    {
        if (options & 1) {
            auto pos =
                std::find_if(list.begin(), list.end(), [&](Task *w) { return w->priority > t->priority; });
            list.insert(pos, t);
        } else {
            list.push_back(t);
        }
    }

    void storeMessage(MsgQueue *q, std::vector<char> msg, bool urgent)
    {
        if (urgent)
            q->messages.push_front(std::move(msg));
        else
            q->messages.push_back(std::move(msg));
    }

    // A waiting sender may place its message now that there is room.
    void admitSender(std::unique_lock<std::mutex> &lock, MsgQueue *q)
    {
        if (q->senders.empty() || static_cast<int>(q->messages.size()) >= q->maxMsgs)
            return;
        Task *s = q->senders.front();
        q->senders.pop_front();
        storeMessage(q, std::move(s->txMessage), s->txUrgent);
        makeReady(lock, s);
    }

    // Delivers a message: to a waiting receiver, or into the queue.
    // false when the queue is full.
    bool deliver(std::unique_lock<std::mutex> &lock, MsgQueue *q, const char *buf, unsigned n, bool urgent)
    {
        if (!q->receivers.empty()) {
            Task *r = q->receivers.front();
            q->receivers.pop_front();
            unsigned k = std::min(n, r->rxMax);
            if (k)
                std::memcpy(r->rxBuffer, buf, k);
            r->rxLength = static_cast<int>(k);
            makeReady(lock, r);
            return true;
        }
        if (static_cast<int>(q->messages.size()) >= q->maxMsgs)
            return false;
        storeMessage(q, std::vector<char>(buf, buf + n), urgent);
        return true;
    }

    std::string describeWait(const Task &t) const
    {
        std::ostringstream s;
        if (!t.waitQueue) {
            s << "nothing";
            return s.str();
        }
        const MsgQueue &q = *t.waitQueue;
        s << (t.waitingToSend ? "send to" : "receive on") << " queue #" << q.id;
        if (!q.label.empty())
            s << " (" << q.label << ")";
        s << ", " << q.messages.size() << "/" << q.maxMsgs << " messages";
        if (t.deadline >= 0)
            s << ", timeout at tick " << t.deadline;
        return s.str();
    }

    void threadMain(Task *t)
    {
        self = t;
        selfKernel = this;
        {
            std::unique_lock lock(m);
            t->cv.wait(lock, [&] { return current == t || t->killed; });
            if (t->killed) {
                t->state = Task::State::Ended;
                t->end = TaskEnd{true, -1};
                return;
            }
        }
        TaskEnd end;
        try {
            t->body();
        } catch (const TaskExitUnwind &e) {
            end = TaskEnd{true, e.status};
        } catch (const TaskKillUnwind &) {
            end = TaskEnd{true, -1};
        } catch (const PowerCutUnwind &) {
            end = TaskEnd{true, -1};
        } catch (const std::exception &e) {
            std::fprintf(stderr, "task %s ended by an error: %s\n", t->name.c_str(), e.what());
            end = TaskEnd{true, -1};
        }
        std::unique_lock lock(m);
        t->state = Task::State::Ended;
        t->end = end;
        t->body = nullptr; // releases what the body holds, in the task
        if (current == t)
            schedule();
    }
};

thread_local Task *Kernel::Impl::self = nullptr;
thread_local Kernel::Impl *Kernel::Impl::selfKernel = nullptr;

Kernel::Kernel() : impl_(std::make_unique<Impl>()) { impl_->owner = this; }

Kernel::~Kernel()
{
    std::vector<std::thread> threads;
    {
        std::unique_lock lock(impl_->m);
        for (auto &t : impl_->tasks) {
            t->killed = true;
            t->cv.notify_one();
            if (t->thread.joinable())
                threads.push_back(std::move(t->thread));
        }
    }
    for (auto &th : threads)
        th.join();
}

int Kernel::spawn(const std::string &name, int priority, int options, int stackSize,
                  std::function<void()> body)
{
    if (priority < 0 || priority > 255 || !body)
        return -1;
    std::unique_lock lock(impl_->m);
    auto task = std::make_unique<Task>();
    Task *t = task.get();
    t->id = static_cast<int>(impl_->tasks.size()) + 1;
    t->name = name;
    t->priority = priority;
    t->options = options;
    t->stackSize = stackSize;
    t->body = std::move(body);
    impl_->tasks.push_back(std::move(task));
    t->thread = std::thread([this, t] { impl_->threadMain(t); });
    impl_->makeReady(lock, t);
    return t->id;
}

void Kernel::exitTask(int status)
{
    if (!impl_->me())
        throw std::logic_error("exit() called outside a task");
    throw TaskExitUnwind{status};
}

int Kernel::currentTaskId() const
{
    Task *t = impl_->me();
    return t ? t->id : 0;
}

std::string Kernel::currentTaskName() const
{
    Task *t = impl_->me();
    return t ? t->name : std::string();
}

bool Kernel::inTask() const { return impl_->me() != nullptr; }

std::optional<TaskEnd> Kernel::taskEnd(int taskId) const
{
    std::unique_lock lock(impl_->m);
    Task *t = impl_->find(taskId);
    return t ? t->end : std::nullopt;
}

std::string Kernel::taskName(int taskId) const
{
    std::unique_lock lock(impl_->m);
    Task *t = impl_->find(taskId);
    return t ? t->name : std::string();
}

Quiescence Kernel::run()
{
    Impl &k = *impl_;
    if (k.me())
        throw std::logic_error("Kernel::run() called from a task");
    std::unique_lock lock(k.m);
    k.running = true;
    for (;;) {
        if (k.current) {
            k.idleCv.wait(lock, [&] { return !k.current; });
            continue;
        }
        if (k.interrupted || k.cut)
            break;
        if (std::any_of(k.ready.begin(), k.ready.end(), [](auto &l) { return !l.empty(); })) {
            k.schedule();
            continue;
        }
        // Nothing ready: the next timeout, if any, comes first.
        long next = -1;
        for (auto &t : k.tasks)
            if (t->state == Task::State::Blocked && t->deadline >= 0 && (next < 0 || t->deadline < next))
                next = t->deadline;
        if (next >= 0) {
            k.ticks = std::max(k.ticks, next);
            for (auto &t : k.tasks)
                if (t->state == Task::State::Blocked && t->deadline >= 0 && t->deadline <= k.ticks) {
                    k.removeWaiter(t.get());
                    t->timedOut = true;
                    t->state = Task::State::Ready;
                    t->waitQueue = nullptr;
                    t->deadline = -1;
                    k.ready[static_cast<size_t>(t->priority)].push_back(t.get());
                }
            continue;
        }
        // Only a waiting task can be woken from outside.
        bool anyBlocked = std::any_of(k.tasks.begin(), k.tasks.end(),
                                      [](auto &t) { return t->state == Task::State::Blocked; });
        if (k.externalHolds > 0 && anyBlocked) {
            k.idleCv.wait(lock);
            continue;
        }
        break;
    }
    k.running = false;
    Quiescence q;
    q.powerCut = k.cut;
    for (auto &t : k.tasks)
        if (t->state == Task::State::Blocked || t->state == Task::State::Ready)
            q.waiting.push_back(
                Waiter{t->id, t->name, t->priority,
                       t->state == Task::State::Ready ? std::string("the processor") : k.describeWait(*t)});
    return q;
}

MsgQueue *Kernel::createQueue(int maxMsgs, int maxMsgLength, int options)
{
    if (maxMsgs < 1 || maxMsgLength < 0 || (options & ~1) != 0)
        return nullptr;
    std::unique_lock lock(impl_->m);
    auto q = std::make_unique<MsgQueue>();
    q->id = static_cast<int>(impl_->queues.size()) + 1;
    q->maxMsgs = maxMsgs;
    q->maxLength = maxMsgLength;
    q->options = options;
    impl_->queues.push_back(std::move(q));
    return impl_->queues.back().get();
}

bool Kernel::isQueue(const MsgQueue *q) const
{
    std::unique_lock lock(impl_->m);
    return std::any_of(impl_->queues.begin(), impl_->queues.end(), [&](auto &p) { return p.get() == q; });
}

void Kernel::labelQueue(MsgQueue *q, const std::string &label)
{
    std::unique_lock lock(impl_->m);
    q->label = label;
}

bool Kernel::hasReceiver(const MsgQueue *q) const
{
    std::unique_lock lock(impl_->m);
    return !q->receivers.empty();
}

int Kernel::numMsgs(MsgQueue *q) const
{
    if (!isQueue(q))
        return -1;
    std::unique_lock lock(impl_->m);
    return static_cast<int>(q->messages.size());
}

int Kernel::send(MsgQueue *q, const char *buffer, unsigned nBytes, int timeout, int priority)
{
    Impl &k = *impl_;
    if (!isQueue(q) || (nBytes && !buffer))
        return -1;
    std::unique_lock lock(k.m);
    if (nBytes > static_cast<unsigned>(q->maxLength))
        return -1;
    bool urgent = priority == 1;
    if (k.deliver(lock, q, buffer, nBytes, urgent))
        return 0;
    Task *t = k.me();
    if (timeout == kNoWait || !t)
        return -1;
    t->waitQueue = q;
    t->waitingToSend = true;
    t->txMessage.assign(buffer, buffer + nBytes);
    t->txUrgent = urgent;
    t->timedOut = false;
    t->deadline = timeout > 0 ? k.ticks + timeout : -1;
    k.enqueueWaiter(q->senders, t, q->options);
    k.block(lock, t);
    t->waitingToSend = false;
    return t->timedOut ? -1 : 0;
}

int Kernel::receive(MsgQueue *q, char *buffer, unsigned maxNBytes, int timeout)
{
    Impl &k = *impl_;
    if (!isQueue(q) || (maxNBytes && !buffer))
        return -1;
    std::unique_lock lock(k.m);
    bool hooked = false;
    for (;;) {
        if (!q->messages.empty()) {
            std::vector<char> msg = std::move(q->messages.front());
            q->messages.pop_front();
            unsigned n = std::min(static_cast<unsigned>(msg.size()), maxNBytes);
            if (n)
                std::memcpy(buffer, msg.data(), n);
            k.admitSender(lock, q);
            return static_cast<int>(n);
        }
        Task *t = k.me();
        if (timeout == kNoWait || !t)
            return -1;
        if (hooked || !k.receiveHook)
            break;
        // Give the outside (key script) its chance before waiting.
        hooked = true;
        auto hook = k.receiveHook;
        lock.unlock();
        hook(q);
        lock.lock();
    }
    Task *t = k.me();
    t->waitQueue = q;
    t->waitingToSend = false;
    t->rxBuffer = buffer;
    t->rxMax = maxNBytes;
    t->rxLength = -1;
    t->timedOut = false;
    t->deadline = timeout > 0 ? k.ticks + timeout : -1;
    k.enqueueWaiter(q->receivers, t, q->options);
    k.block(lock, t);
    return t->timedOut ? -1 : t->rxLength;
}

int Kernel::post(MsgQueue *q, const char *buffer, unsigned nBytes)
{
    if (inTask())
        return send(q, buffer, nBytes, kNoWait, 0);
    if (!isQueue(q) || (nBytes && !buffer))
        return -1;
    std::unique_lock lock(impl_->m);
    if (nBytes > static_cast<unsigned>(q->maxLength))
        return -1;
    return impl_->deliver(lock, q, buffer, nBytes, false) ? 0 : -1;
}

void Kernel::setReceiveHook(std::function<void(MsgQueue *)> hook)
{
    std::unique_lock lock(impl_->m);
    impl_->receiveHook = std::move(hook);
}

Kernel::ExternalHold::ExternalHold(Kernel *k) : kernel_(k)
{
    std::unique_lock lock(k->impl_->m);
    ++k->impl_->externalHolds;
}

Kernel::ExternalHold::ExternalHold(ExternalHold &&other) noexcept : kernel_(other.kernel_)
{
    other.kernel_ = nullptr;
}

Kernel::ExternalHold::~ExternalHold()
{
    if (!kernel_)
        return;
    std::unique_lock lock(kernel_->impl_->m);
    --kernel_->impl_->externalHolds;
    kernel_->impl_->idleCv.notify_all();
}

Kernel::ExternalHold Kernel::holdExternal() { return ExternalHold(this); }

void Kernel::interrupt()
{
    std::unique_lock lock(impl_->m);
    impl_->interrupted = true;
    impl_->idleCv.notify_all();
}

void Kernel::powerCut()
{
    Impl &k = *impl_;
    Task *t = k.me();
    {
        std::unique_lock lock(k.m);
        k.cut = true;
        // A task keeps the processor while it unwinds, so the outside sees
        // the machine only once the unwinding is over.
        k.idleCv.notify_all();
    }
    if (t)
        throw PowerCutUnwind{};
}

bool Kernel::poweredOff() const
{
    std::unique_lock lock(impl_->m);
    return impl_->cut;
}

long Kernel::ticks() const
{
    std::unique_lock lock(impl_->m);
    return impl_->ticks;
}

} // namespace host
