// The live view. One host thread (not a task) waits in poll() on the input
// and on a wake pipe: the panel's listener writes a byte into the pipe, so
// redraws are coalesced in that thread, at most one per frame interval,
// and the destructor stops the thread the same way.
//
// The console of the module scrolls below the panel: the view sets the
// terminal's scrolling region to the lines under the frame and draws the
// frame with the cursor saved and restored around it.
#include "host/machine/Terminal.h"

#include "host/kernel/Kernel.h"
#include "host/machine/Keys.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace host {

namespace {

// --- the terminal in raw mode, as the signal handler must see it ---
// Plain data only: a signal handler may touch nothing else. At most one
// view holds raw mode at a time.
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT};
constexpr std::size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];

volatile std::sig_atomic_t gRawActive = 0;
int gRawInputFd = -1;
int gRawOutputFd = -1; // -1: no scrolling region to undo
termios gSavedTermios;
struct sigaction gOldActions[kSignalCount];
bool gInstalled[kSignalCount];

// Undoes the scrolling region and leaves the cursor on the last line.
constexpr char kScreenReset[] = "\x1b[r\x1b[?7h\x1b[999;1H\r\n";

void writeAll(int fd, const char *data, std::size_t n) noexcept
{
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
}

// Async-signal-safe: write() and tcsetattr() only.
void restoreTerminal() noexcept
{
    if (!gRawActive)
        return;
    if (gRawOutputFd >= 0)
        writeAll(gRawOutputFd, kScreenReset, sizeof kScreenReset - 1);
    ::tcsetattr(gRawInputFd, TCSANOW, &gSavedTermios);
    gRawActive = 0;
}

void onFatalSignal(int sig)
{
    int savedErrno = errno;
    restoreTerminal();
    // Back to the previous action, then the signal again: it does what it
    // would have done without the view.
    for (std::size_t i = 0; i < kSignalCount; ++i)
        if (kSignals[i] == sig && gInstalled[i]) {
            ::sigaction(sig, &gOldActions[i], nullptr);
            gInstalled[i] = false;
        }
    ::raise(sig);
    errno = savedErrno;
}

void installHandlers()
{
    static const bool atExitRegistered = [] {
        std::atexit([] { restoreTerminal(); });
        return true;
    }();
    (void)atExitRegistered;
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        struct sigaction old {};
        ::sigaction(kSignals[i], nullptr, &old);
        // An ignored signal stays ignored (e.g. under nohup).
        if (old.sa_handler == SIG_IGN && !(old.sa_flags & SA_SIGINFO)) {
            gInstalled[i] = false;
            continue;
        }
        struct sigaction sa {};
        sa.sa_handler = onFatalSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        gOldActions[i] = old;
        gInstalled[i] = true;
        ::sigaction(kSignals[i], &sa, nullptr);
    }
}

void uninstallHandlers()
{
    for (std::size_t i = 0; i < kSignalCount; ++i)
        if (gInstalled[i]) {
            ::sigaction(kSignals[i], &gOldActions[i], nullptr);
            gInstalled[i] = false;
        }
}

int terminalRows(int fd)
{
    winsize ws{};
    if (::ioctl(fd, TIOCGWINSZ, &ws) != 0)
        return 0;
    return ws.ws_row;
}

constexpr int kFrameLines = Panel::kRows + 3;
constexpr auto kFrameInterval = std::chrono::milliseconds(33);
constexpr int kIdlePollMs = 250; // the status line follows the key lock

} // namespace

// --- pure parts ---

Terminal::KeyAction Terminal::mapKey(unsigned char byte)
{
    using Kind = KeyAction::Kind;
    if (byte >= '0' && byte <= '9')
        return {Kind::Press, Keys::kDigitCodes[byte - '0']};
    switch (byte) {
    case '\r':
    case '\n':
        return {Kind::Press, Keys::kConfirmCode};
    case 'q':
    case 'Q':
    case 3: // Ctrl-C with ISIG off
        return {Kind::Quit, 0};
    default:
        return {};
    }
}

std::string Terminal::renderFrame(const Panel::Rows &rows, std::string_view status)
{
    const std::size_t width = Panel::kColumns + 2;
    std::string border = '+' + std::string(Panel::kColumns, '-') + "+\n";
    std::string out;
    out.reserve(kFrameLines * (width + 1));
    out += border;
    for (const std::string &row : rows) {
        out += '|';
        for (std::size_t c = 0; c < static_cast<std::size_t>(Panel::kColumns); ++c)
            out += c < row.size() ? Panel::displayChar(row[c]) : ' ';
        out += "|\n";
    }
    out += border;
    std::string line;
    for (char c : status.substr(0, std::min(status.size(), width)))
        line += Panel::displayChar(c);
    line.resize(width, ' ');
    out += line;
    out += '\n';
    return out;
}

// --- the live view ---

struct Terminal::Impl {
    Panel &panel;
    Keys &keys;
    std::function<void()> onQuit;
    Options options;
    std::optional<Kernel::ExternalHold> hold;

    int wakeRead = -1;
    int wakeWrite = -1;
    bool raw = false;     // this view put the input in raw mode
    bool draw = false;    // the frame is drawn at all
    bool region = false;  // a scrolling region is set
    int screenRows = 0;

    std::mutex statusMutex;
    std::string status;   // from setStatus
    std::string lastKey;  // reader thread only
    std::string lastFrame; // reader thread, then the destructor
    std::atomic<bool> stop{false};
    std::atomic<bool> wakePending{false}; // a wake-up is in the pipe
    bool quitting = false; // reader thread only

    Panel::Subscription subscription;
    std::thread reader;

    Impl(Panel &p, Keys &k, Kernel &kernel, std::function<void()> quit, Options o)
        : panel(p), keys(k), onQuit(std::move(quit)), options(o), hold(kernel.holdExternal())
    {
    }

    // Many display calls between two frames cost one byte in the pipe.
    void wake()
    {
        if (wakePending.exchange(true))
            return;
        char b = 1;
        [[maybe_unused]] ssize_t r = ::write(wakeWrite, &b, 1);
    }

    void drainWake()
    {
        char buf[64];
        while (::read(wakeRead, buf, sizeof buf) > 0) {
        }
        // After the drain: a change from here on writes a new byte, and one
        // before is in the snapshot of the coming redraw.
        wakePending = false;
    }

    void enterRawMode()
    {
        termios saved{};
        if (::tcgetattr(options.inputFd, &saved) != 0)
            return; // not a terminal: keys come from a pipe or a file
        if (gRawActive)
            throw std::logic_error("another terminal view holds the keyboard");
        termios rawAttrs = saved;
        rawAttrs.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
        rawAttrs.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | BRKINT | ISTRIP);
        rawAttrs.c_cc[VMIN] = 1;
        rawAttrs.c_cc[VTIME] = 0;
        gSavedTermios = saved;
        gRawInputFd = options.inputFd;
        gRawOutputFd = -1;
        gRawActive = 1;
        installHandlers();
        if (::tcsetattr(options.inputFd, TCSAFLUSH, &rawAttrs) != 0) {
            gRawActive = 0;
            uninstallHandlers();
            return;
        }
        raw = true;
    }

    void setRegion(int rows, std::string &out)
    {
        // Frame, a blank line, then the console from there to the bottom.
        int top = kFrameLines + 2;
        out += "\x1b[" + std::to_string(top) + ';' + std::to_string(rows) + 'r';
        out += "\x1b[" + std::to_string(rows) + ";1H";
        screenRows = rows;
    }

    void setUpScreen()
    {
        bool tty = ::isatty(options.outputFd) == 1;
        draw = tty || options.drawWhenNotTerminal;
        if (!draw)
            return;
        std::string out = "\x1b[2J\x1b[H";
        int rows = tty ? terminalRows(options.outputFd) : 0;
        if (rows >= kFrameLines + 4) {
            setRegion(rows, out);
            region = true;
            if (raw)
                gRawOutputFd = options.outputFd;
        }
        writeAll(options.outputFd, out.data(), out.size());
    }

    std::string statusLine()
    {
        std::string s = keys.unlocked() ? "[keys on] " : "[keys off]";
        s += " 0-9 keys, Enter confirm, q quit";
        if (!lastKey.empty())
            s += " | " + lastKey;
        std::lock_guard lock(statusMutex);
        if (!status.empty())
            s += " | " + status;
        return s;
    }

    void redraw()
    {
        if (raw && !gRawActive)
            return; // a signal restored the terminal: the process is ending
        std::string frame = renderFrame(panel.snapshot(), statusLine());
        std::string out;
        if (region) {
            int rows = terminalRows(options.outputFd);
            if (rows >= kFrameLines + 4 && rows != screenRows)
                setRegion(rows, out); // resized: the console restarts at the bottom
            else if (frame == lastFrame)
                return;
        } else if (frame == lastFrame) {
            return;
        }
        lastFrame = frame;
        out += "\x1b" "7\x1b[?7l"; // save the cursor, no line wrap
        std::size_t start = 0;
        for (int line = 1; start < frame.size(); ++line) {
            std::size_t end = frame.find('\n', start);
            out += "\x1b[" + std::to_string(line) + ";1H";
            out.append(frame, start, end - start);
            out += "\x1b[K";
            start = end + 1;
        }
        out += "\x1b[?7h\x1b" "8";
        writeAll(options.outputFd, out.data(), out.size());
    }

    void handleByte(unsigned char byte)
    {
        KeyAction a = mapKey(byte);
        if (quitting || a.kind == KeyAction::Kind::None)
            return;
        if (a.kind == KeyAction::Kind::Quit) {
            quitting = true;
            lastKey = "quitting";
            if (onQuit)
                onQuit();
            return;
        }
        bool sent = keys.press(a.code);
        lastKey = "key " + std::to_string(a.code) + (sent ? " sent" : " not taken");
    }

    // The keyboard is gone: nothing can wake a task waiting for a key any
    // more, so the machine may report the stall.
    void endOfInput()
    {
        lastKey = "keyboard closed";
        hold.reset();
    }

    void run()
    {
        using Clock = std::chrono::steady_clock;
        bool inputOpen = true;
        bool dirty = true;
        Clock::time_point lastDraw{};
        while (!stop.load()) {
            int timeout = kIdlePollMs;
            if (dirty) {
                auto wait = kFrameInterval - (Clock::now() - lastDraw);
                timeout = static_cast<int>(std::max<long long>(
                    0, std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()));
            }
            pollfd fds[2] = {{inputOpen ? options.inputFd : -1, POLLIN, 0},
                             {wakeRead, POLLIN, 0}};
            int r = ::poll(fds, 2, timeout);
            if (r < 0 && errno != EINTR)
                break;
            if (stop.load())
                break;
            if (r > 0 && (fds[1].revents & POLLIN)) {
                drainWake();
                dirty = true;
            }
            if (r > 0 && inputOpen && fds[0].revents) {
                unsigned char buf[64];
                ssize_t n = ::read(options.inputFd, buf, sizeof buf);
                if (n > 0) {
                    for (ssize_t i = 0; i < n; ++i)
                        handleByte(buf[i]);
                    dirty = true;
                } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                    inputOpen = false;
                    endOfInput();
                    dirty = true;
                }
            }
            if (draw && Clock::now() - lastDraw >= kFrameInterval) {
                redraw();
                lastDraw = Clock::now();
                dirty = false;
            }
        }
    }
};

Terminal::Terminal(Panel &panel, Keys &keys, Kernel &kernel, std::function<void()> onQuit,
                   Options options)
    : impl_(std::make_unique<Impl>(panel, keys, kernel, std::move(onQuit), options))
{
    Impl &t = *impl_;
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("terminal view: cannot create its wake pipe");
    t.wakeRead = fds[0];
    t.wakeWrite = fds[1];
    try {
        t.enterRawMode();
        t.setUpScreen();
        t.subscription = panel.onChange([&t] { t.wake(); });
        t.reader = std::thread([&t] { t.run(); });
    } catch (...) {
        t.subscription.reset();
        if (t.raw) {
            restoreTerminal();
            uninstallHandlers();
        }
        ::close(t.wakeRead);
        ::close(t.wakeWrite);
        throw;
    }
}

Terminal::~Terminal()
{
    Impl &t = *impl_;
    t.subscription.reset();
    t.stop = true;
    char b = 1;
    [[maybe_unused]] ssize_t r = ::write(t.wakeWrite, &b, 1);
    t.reader.join();
    if (t.draw)
        t.redraw(); // the last state, which coalescing may have skipped
    if (t.raw) {
        restoreTerminal();
        uninstallHandlers();
    } else if (t.region) {
        writeAll(t.options.outputFd, kScreenReset, sizeof kScreenReset - 1);
    }
    ::close(t.wakeRead);
    ::close(t.wakeWrite);
}

void Terminal::setStatus(std::string text)
{
    {
        std::lock_guard lock(impl_->statusMutex);
        impl_->status = std::move(text);
    }
    impl_->wake();
}

} // namespace host
