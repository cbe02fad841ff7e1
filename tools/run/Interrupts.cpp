#include "tools/run/Interrupts.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace dlrun {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT};
constexpr std::size_t kCount = sizeof kSignals / sizeof kSignals[0];

// What the handler may touch: an atomic and a pipe.
std::atomic<int> gCaught{0};
int gPipe[2] = {-1, -1};

void onSignal(int sig)
{
    const int saved = errno;
    int none = 0;
    gCaught.compare_exchange_strong(none, sig);
    const char byte = 1;
    [[maybe_unused]] ssize_t w = ::write(gPipe[1], &byte, 1);
    errno = saved;
}

struct Catcher {
    std::mutex m;
    int depth = 0;
    bool stopping = false;
    bool disabled = false; // a child process of a catcher's
    std::thread thread;
    std::function<void(int)> cut;
    bool fired = false;
    struct sigaction old[kCount];
    bool installed[kCount] = {};

    // Lock held.
    void fire()
    {
        const int sig = gCaught.load();
        if (sig && cut && !fired) {
            fired = true;
            cut(sig);
        }
    }

    void watch()
    {
        for (;;) {
            char byte;
            const ssize_t n = ::read(gPipe[0], &byte, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            std::lock_guard lock(m);
            if (stopping)
                return;
            fire();
        }
    }

    void install()
    {
        if (gPipe[0] < 0 && ::pipe2(gPipe, O_CLOEXEC) != 0)
            return;
        ::fcntl(gPipe[1], F_SETFL, O_NONBLOCK); // a full pipe never blocks the handler
        for (std::size_t i = 0; i < kCount; ++i) {
            installed[i] = false;
            if (::sigaction(kSignals[i], nullptr, &old[i]) != 0)
                continue;
            if (!(old[i].sa_flags & SA_SIGINFO) && old[i].sa_handler == SIG_IGN)
                continue;
            struct sigaction sa {};
            sa.sa_handler = onSignal;
            sigemptyset(&sa.sa_mask);
            // Reads and writes of the work in hand go on undisturbed.
            sa.sa_flags = SA_RESTART;
            installed[i] = ::sigaction(kSignals[i], &sa, nullptr) == 0;
        }
    }

    // The watcher runs only while a watch needs it: a process that forks
    // (the damage sweep) must have no thread of its own then.
    void startWatcher()
    {
        if (gPipe[0] >= 0 && !thread.joinable())
            thread = std::thread([this] { watch(); });
    }

    void stopWatcher()
    {
        if (!thread.joinable())
            return;
        {
            std::lock_guard lock(m);
            stopping = true;
        }
        const char byte = 0;
        [[maybe_unused]] ssize_t w = ::write(gPipe[1], &byte, 1);
        thread.join();
        stopping = false;
        // What the handler wrote and nobody read.
        char drain[64];
        ::fcntl(gPipe[0], F_SETFL, O_NONBLOCK);
        while (::read(gPipe[0], drain, sizeof drain) > 0) {
        }
        ::fcntl(gPipe[0], F_SETFL, 0);
    }

    void uninstall()
    {
        for (std::size_t i = 0; i < kCount; ++i)
            if (installed[i])
                ::sigaction(kSignals[i], &old[i], nullptr);
        stopWatcher();
    }
};

// Never destroyed: a process may end while its watcher waits.
Catcher &catcher()
{
    static Catcher *c = new Catcher;
    return *c;
}

} // namespace

Interrupts::Interrupts()
{
    Catcher &c = catcher();
    if (c.disabled || c.depth++ > 0)
        return;
    c.install();
}

Interrupts::~Interrupts()
{
    Catcher &c = catcher();
    if (c.disabled || --c.depth > 0)
        return;
    c.uninstall();
}

int Interrupts::caught() { return gCaught.load(); }

Interrupts::Watch::Watch(std::function<void(int)> cut)
{
    Catcher &c = catcher();
    if (c.disabled)
        return;
    {
        std::lock_guard lock(c.m);
        c.cut = std::move(cut);
        c.fired = false;
        c.fire(); // a signal that came before the watch
    }
    c.startWatcher();
}

Interrupts::Watch::~Watch()
{
    Catcher &c = catcher();
    if (c.disabled)
        return;
    {
        std::lock_guard lock(c.m);
        c.cut = {};
    }
    c.stopWatcher();
}

void Interrupts::forgetInChild()
{
    // The parent's thread is not in the child: only its handlers are.
    Catcher &c = catcher();
    for (std::size_t i = 0; i < kCount; ++i)
        if (c.installed[i])
            ::sigaction(kSignals[i], &c.old[i], nullptr);
    c.disabled = true;
}

} // namespace dlrun
