// Scheduling and message queues of the host kernel.
#include "host/kernel/Kernel.h"
#include "host/kernel/RunInTask.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using host::Kernel;
using host::MsgQueue;

struct Trace {
    std::vector<std::string> events;
    void operator()(const std::string &e) { events.push_back(e); }
};

using Events = std::vector<std::string>;

int sendInt(Kernel &k, MsgQueue *q, int v, int timeout = Kernel::kWaitForever)
{
    return k.send(q, reinterpret_cast<const char *>(&v), sizeof v, timeout, 0);
}

int receiveInt(Kernel &k, MsgQueue *q, int &v, int timeout = Kernel::kWaitForever)
{
    return k.receive(q, reinterpret_cast<char *>(&v), sizeof v, timeout);
}

TEST(KernelScheduling, HigherPriorityFirstThenFifoAmongEquals)
{
    Kernel k;
    Trace t;
    k.spawn("tA", 100, 0, 0, [&] { t("A"); });
    k.spawn("tB", 50, 0, 0, [&] { t("B"); });
    k.spawn("tC", 100, 0, 0, [&] { t("C"); });
    k.spawn("tD", 200, 0, 0, [&] { t("D"); });
    k.spawn("tE", 50, 0, 0, [&] { t("E"); });
    EXPECT_TRUE(k.run().waiting.empty());
    EXPECT_EQ(t.events, (Events{"B", "E", "A", "C", "D"}));
}

TEST(KernelScheduling, SpawnPreemptsOnlyForHigherPriority)
{
    Kernel k;
    Trace t;
    k.spawn("tMain", 100, 0, 0, [&] {
        t("main 1");
        k.spawn("tEqual", 100, 0, 0, [&] { t("equal"); });
        t("main 2");
        k.spawn("tHigh", 99, 0, 0, [&] { t("high"); });
        t("main 3");
    });
    k.run();
    EXPECT_EQ(t.events, (Events{"main 1", "main 2", "high", "main 3", "equal"}));
}

TEST(KernelScheduling, SendSwitchesAtOnceOnlyToAHigherPriorityWaiter)
{
    Kernel k;
    Trace t;
    MsgQueue *hq = k.createQueue(5, 4, 0);
    MsgQueue *eq = k.createQueue(5, 4, 0);
    k.spawn("tHigh", 50, 0, 0, [&] {
        int v = 0;
        receiveInt(k, hq, v);
        t("high got " + std::to_string(v));
    });
    k.spawn("tEqual", 100, 0, 0, [&] {
        int v = 0;
        receiveInt(k, eq, v);
        t("equal got " + std::to_string(v));
    });
    k.spawn("tSender", 100, 0, 0, [&] {
        t("send equal");
        sendInt(k, eq, 2);
        t("after equal");
        sendInt(k, hq, 1);
        t("after high");
    });
    k.run();
    EXPECT_EQ(t.events, (Events{"send equal", "after equal", "high got 1", "after high", "equal got 2"}));
}

TEST(KernelScheduling, ExitEndsOnlyTheCallingTask)
{
    Kernel k;
    Trace t;
    int a = k.spawn("tA", 100, 0, 0, [&] {
        t("A before");
        k.exitTask(3);
        t("A after"); // never reached
    });
    int b = k.spawn("tB", 100, 0, 0, [&] { t("B"); });
    int c = k.spawn("tC", 100, 0, 0, [] {});
    EXPECT_TRUE(k.run().waiting.empty());
    EXPECT_EQ(t.events, (Events{"A before", "B"}));
    ASSERT_TRUE(k.taskEnd(a));
    EXPECT_TRUE(k.taskEnd(a)->exited);
    EXPECT_EQ(k.taskEnd(a)->status, 3);
    ASSERT_TRUE(k.taskEnd(b));
    EXPECT_FALSE(k.taskEnd(b)->exited);
    EXPECT_TRUE(k.taskEnd(c));
    EXPECT_THROW(k.exitTask(0), std::logic_error);
}

TEST(KernelScheduling, RejectsBadPriorityAndReportsNames)
{
    Kernel k;
    EXPECT_EQ(k.spawn("tBad", 256, 0, 0, [] {}), -1);
    EXPECT_EQ(k.spawn("tBad", -1, 0, 0, [] {}), -1);
    std::string seen;
    int id = k.spawn("tName", 10, 8, 0x100000, [&] { seen = k.currentTaskName(); });
    EXPECT_GT(id, 0);
    k.run();
    EXPECT_EQ(seen, "tName");
    EXPECT_EQ(k.currentTaskName(), "");
    EXPECT_EQ(k.taskName(id), "tName");
}

TEST(KernelQueues, SizesCountsAndNoWait)
{
    Kernel k;
    EXPECT_EQ(k.createQueue(0, 4, 0), nullptr);
    EXPECT_EQ(k.createQueue(5, 4, 7), nullptr);
    MsgQueue *q = k.createQueue(2, 4, 0);
    ASSERT_NE(q, nullptr);
    std::vector<int> got;
    int tooLong = 0, full = 0, empty = 0, truncated = 0;
    k.spawn("tQ", 100, 0, 0, [&] {
        char big[8] = {};
        tooLong = k.send(q, big, 8, Kernel::kNoWait, 0);
        sendInt(k, q, 1, Kernel::kNoWait);
        sendInt(k, q, 2, Kernel::kNoWait);
        full = sendInt(k, q, 3, Kernel::kNoWait);
        char two[2];
        truncated = k.receive(q, two, 2, Kernel::kNoWait);
        int v = 0;
        receiveInt(k, q, v, Kernel::kNoWait);
        got.push_back(v);
        empty = receiveInt(k, q, v, Kernel::kNoWait);
    });
    k.run();
    EXPECT_EQ(tooLong, -1);
    EXPECT_EQ(full, -1);
    EXPECT_EQ(truncated, 2);
    EXPECT_EQ(got, std::vector<int>{2});
    EXPECT_EQ(empty, -1);
}

// A message is the sender's bytes as they lay in its memory: a word goes
// in the machine's own byte order (most significant byte first on a
// big-endian machine), and a short receive takes its leading bytes.
TEST(KernelQueues, MessagesCarryTheSendersBytesInTheMachinesOrder)
{
    Kernel k;
    MsgQueue *q = k.createQueue(2, 4, 0);
    ASSERT_NE(q, nullptr);
    std::array<unsigned char, 4> whole{}, leading{};
    k.spawn("tQ", 100, 0, 0, [&] {
        sendInt(k, q, 0x01020304, Kernel::kNoWait);
        sendInt(k, q, 0x01020304, Kernel::kNoWait);
        k.receive(q, reinterpret_cast<char *>(whole.data()), 4, Kernel::kNoWait);
        k.receive(q, reinterpret_cast<char *>(leading.data()), 2, Kernel::kNoWait);
    });
    k.run();
    using Bytes = std::array<unsigned char, 4>;
    if constexpr (std::endian::native == std::endian::big) {
        EXPECT_EQ(whole, (Bytes{1, 2, 3, 4}));
        EXPECT_EQ(leading, (Bytes{1, 2, 0, 0}));
    } else {
        EXPECT_EQ(whole, (Bytes{4, 3, 2, 1}));
        EXPECT_EQ(leading, (Bytes{4, 3, 0, 0}));
    }
}

TEST(KernelQueues, UrgentMessagesGoFirst)
{
    Kernel k;
    MsgQueue *q = k.createQueue(5, 4, 0);
    std::vector<int> got;
    k.spawn("tQ", 100, 0, 0, [&] {
        int one = 1, two = 2;
        k.send(q, reinterpret_cast<char *>(&one), 4, 0, 0);
        k.send(q, reinterpret_cast<char *>(&two), 4, 0, 1);
        for (int i = 0; i < 2; ++i) {
            int v = 0;
            receiveInt(k, q, v);
            got.push_back(v);
        }
    });
    k.run();
    EXPECT_EQ(got, (std::vector<int>{2, 1}));
}

// Receivers of distinct priorities wait in the order low, high, mid:
// priority queuing serves high, mid, low; FIFO the order they came in.
TEST(KernelQueues, WaitersServedByPriorityOrFifo)
{
    for (int options : {0, 1}) {
        Kernel k2;
        MsgQueue *q2 = k2.createQueue(5, 4, options);
        std::vector<std::string> order2;
        auto receiver2 = [&](const char *name) {
            return [&k2, q2, &order2, name] {
                int v = 0;
                receiveInt(k2, q2, v);
                order2.push_back(name);
            };
        };
        k2.spawn("tStarter", 10, 0, 0, [&] {
            // Spawned from a priority-10 task, each runs and waits before
            // the next is spawned.
            k2.spawn("tLow", 5, 0, 0, receiver2("low"));
            k2.spawn("tHigh", 1, 0, 0, receiver2("high"));
            k2.spawn("tMid", 3, 0, 0, receiver2("mid"));
            for (int i = 0; i < 3; ++i)
                sendInt(k2, q2, i);
        });
        EXPECT_TRUE(k2.run().waiting.empty());
        if (options == 1)
            EXPECT_EQ(order2, (std::vector<std::string>{"high", "mid", "low"}));
        else
            EXPECT_EQ(order2, (std::vector<std::string>{"low", "high", "mid"}));
    }
}

TEST(KernelQueues, BlockedSenderResumesWhenRoomIsMade)
{
    Kernel k;
    MsgQueue *q = k.createQueue(1, 4, 0);
    Trace t;
    std::vector<int> got;
    k.spawn("tSender", 100, 0, 0, [&] {
        sendInt(k, q, 1);
        t("sent 1");
        sendInt(k, q, 2); // full: waits
        t("sent 2");
    });
    k.spawn("tReceiver", 100, 0, 0, [&] {
        for (int i = 0; i < 2; ++i) {
            int v = 0;
            receiveInt(k, q, v);
            got.push_back(v);
            t("got " + std::to_string(v));
        }
    });
    EXPECT_TRUE(k.run().waiting.empty());
    EXPECT_EQ(got, (std::vector<int>{1, 2}));
    EXPECT_EQ(t.events, (Events{"sent 1", "got 1", "got 2", "sent 2"}));
}

TEST(KernelQueues, TimeoutsAdvanceTheVirtualClock)
{
    Kernel k;
    MsgQueue *q = k.createQueue(1, 4, 0);
    int result = 0;
    long at = 0;
    k.spawn("tWait", 100, 0, 0, [&] {
        int v = 0;
        result = receiveInt(k, q, v, 25);
        at = k.ticks();
    });
    EXPECT_TRUE(k.run().waiting.empty());
    EXPECT_EQ(result, -1);
    EXPECT_EQ(at, 25);
}

TEST(KernelStall, ReportNamesEveryWaiterAndWhatItWaitsOn)
{
    Kernel k;
    MsgQueue *keys = k.createQueue(10, 4, 0);
    k.labelQueue(keys, "key focus");
    MsgQueue *results = k.createQueue(5, 4, 1);
    Trace t;
    k.spawn("tUpdate", 100, 0, 0, [&] {
        int v = 0;
        receiveInt(k, keys, v);
        t("never");
    });
    k.spawn("tOther", 90, 0, 0, [&] {
        int v = 0;
        receiveInt(k, results, v);
    });
    k.spawn("tDone", 100, 0, 0, [] {});
    host::Quiescence q = k.run();
    ASSERT_EQ(q.waiting.size(), 2u);
    std::string all;
    for (auto &w : q.waiting)
        all += w.taskName + ": " + w.waitsOn + "\n";
    EXPECT_NE(all.find("tUpdate: receive on queue #1 (key focus), 0/10 messages"), std::string::npos) << all;
    EXPECT_NE(all.find("tOther: receive on queue #2"), std::string::npos) << all;
    EXPECT_TRUE(t.events.empty());
    // The kernel's destructor unwinds both waiting tasks.
}

TEST(KernelOutside, PostFromAnotherThreadWakesTheWaiter)
{
    Kernel k;
    MsgQueue *q = k.createQueue(10, 4, 0);
    std::vector<int> got;
    k.spawn("tMenu", 100, 0, 0, [&] {
        for (int i = 0; i < 3; ++i) {
            int v = 0;
            receiveInt(k, q, v);
            got.push_back(v);
        }
    });
    auto hold = std::make_unique<Kernel::ExternalHold>(k.holdExternal());
    std::thread keyboard([&] {
        for (int i = 1; i <= 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            while (!k.hasReceiver(q))
                std::this_thread::yield();
            ASSERT_EQ(k.post(q, reinterpret_cast<const char *>(&i), 4), 0);
        }
        hold.reset();
    });
    host::Quiescence result = k.run();
    keyboard.join();
    EXPECT_TRUE(result.waiting.empty());
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3}));
}

TEST(KernelOutside, ReceiveHookMayFeedTheQueueBeforeAWait)
{
    Kernel k;
    MsgQueue *q = k.createQueue(10, 4, 0);
    int fed = 0;
    k.setReceiveHook([&](MsgQueue *which) {
        if (which == q && fed < 2) {
            ++fed;
            k.post(q, reinterpret_cast<const char *>(&fed), 4);
        }
    });
    std::vector<int> got;
    k.spawn("tMenu", 100, 0, 0, [&] {
        for (int i = 0; i < 3; ++i) {
            int v = 0;
            receiveInt(k, q, v);
            got.push_back(v);
        }
    });
    host::Quiescence result = k.run();
    EXPECT_EQ(got, (std::vector<int>{1, 2}));
    ASSERT_EQ(result.waiting.size(), 1u); // the script ran out: a stall
    EXPECT_EQ(result.waiting[0].taskName, "tMenu");
}

} // namespace

namespace {

TEST(KernelOutside, AHoldKeepsWaitingOnlyWhileATaskCanBeWoken)
{
    Kernel k;
    auto hold = k.holdExternal();
    bool ran = false;
    k.spawn("tDone", 100, 0, 0, [&] { ran = true; });
    EXPECT_TRUE(k.run().waiting.empty()); // returns: nothing left to wake
    EXPECT_TRUE(ran);
}

TEST(KernelOutside, InterruptEndsTheRunEvenBeforeItStarts)
{
    Kernel k;
    k.interrupt();
    bool ran = false;
    k.spawn("tLate", 100, 0, 0, [&] { ran = true; });
    host::Quiescence q = k.run();
    EXPECT_FALSE(ran);
    ASSERT_EQ(q.waiting.size(), 1u);
    EXPECT_EQ(q.waiting[0].waitsOn, "the processor");
}

// One piece of work run in a task from outside: how it ended, and what the
// kernel came to.
TEST(RunInTask, TellsHowTheTaskEnded)
{
    struct Case {
        const char *what;
        std::function<void(Kernel &)> body;
        bool forwardErrors;
        bool ended, exited;
        int status;
        std::size_t waiting;
        bool throws;
    } cases[] = {
        {"returns", [](Kernel &) {}, false, true, false, 0, 0, false},
        {"ends with exit(3)", [](Kernel &k) { k.exitTask(3); }, false, true, true, 3, 0, false},
        {"waits for good",
         [](Kernel &k) {
             char buffer[4];
             k.receive(k.createQueue(1, 4, 0), buffer, 4, Kernel::kWaitForever);
         },
         false, false, false, 0, 1, false},
        {"throws, an error of the task", [](Kernel &) { throw std::runtime_error("broken"); }, false, true,
         true, -1, 0, false},
        {"throws, the error forwarded", [](Kernel &) { throw std::runtime_error("broken"); }, true, false,
         false, 0, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Kernel k;
        const host::TaskSpec spec{.name = "tCase", .priority = 42, .forwardErrors = c.forwardErrors};
        if (c.throws) {
            EXPECT_THROW(host::runInTask(
                             k, [&] { c.body(k); }, spec),
                         std::runtime_error);
            continue;
        }
        const host::TaskOutcome o = host::runInTask(
            k, [&] { c.body(k); }, spec);
        EXPECT_EQ(o.end.has_value(), c.ended);
        EXPECT_EQ(o.returned(), c.ended && !c.exited);
        if (o.end) {
            EXPECT_EQ(o.end->exited, c.exited);
            EXPECT_EQ(o.end->status, c.status);
        }
        EXPECT_EQ(k.taskName(o.taskId), "tCase");
        ASSERT_EQ(o.quiescence.waiting.size(), c.waiting);
        for (const host::Waiter &w : o.quiescence.waiting) {
            EXPECT_EQ(w.taskName, "tCase");
            EXPECT_EQ(w.priority, 42);
        }
    }
}

} // namespace
