// SIGTERM and SIGINT (a CI timeout, Ctrl-C) end the work in hand as a power
// cut ends a session, so that what it had done is still written and said;
// the process then exits 128 + the signal's number.
#pragma once

#include <functional>

namespace dlrun {

class Interrupts {
public:
    // Catches the two signals while alive (one that is ignored, as under
    // nohup, stays ignored); nested catchers share the outermost.
    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts &) = delete;
    Interrupts &operator=(const Interrupts &) = delete;

    // The first signal caught, 0 while none came.
    static int caught();

    // While alive, `cut` runs once when a signal comes (at once when one
    // already came), in a thread of the catcher's own: the handler itself
    // may only note the signal.
    class Watch {
    public:
        explicit Watch(std::function<void(int)> cut);
        ~Watch();
        Watch(const Watch &) = delete;
        Watch &operator=(const Watch &) = delete;
    };

    // In a child process after fork(): the signals do again what they
    // did, and no catcher of the parent's is used.
    static void forgetInChild();
};

} // namespace dlrun
