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
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

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

// Read by the view's thread while a handler may clear it: a lock-free
// atomic, safe in a handler and between threads.
std::atomic<int> gRawActive{0};
static_assert(std::atomic<int>::is_always_lock_free);
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

struct WindowSize {
    int rows = 0, columns = 0;
    bool operator==(const WindowSize &) const = default;
};

WindowSize windowSize(int fd)
{
    winsize ws{};
    if (::ioctl(fd, TIOCGWINSZ, &ws) != 0)
        return {};
    return {ws.ws_row, ws.ws_col};
}

// The status line's arrow, where the terminal shows UTF-8.
bool utf8Locale()
{
    for (const char *name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char *v = std::getenv(name);
        if (v && *v) {
            std::string s(v);
            for (char &c : s)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return s.find("utf-8") != std::string::npos || s.find("utf8") != std::string::npos;
        }
    }
    return false;
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

std::string Terminal::describeOther(unsigned char byte)
{
    std::string shown;
    if (byte == 0x1b)
        shown = "Esc";
    else if (byte == ' ')
        shown = "Space";
    else if (byte < 0x20 || byte == 0x7f)
        shown = std::string("Ctrl-") + static_cast<char>(byte == 0x7f ? '?' : byte + '@');
    else if (byte < 0x7f)
        shown = std::string(1, static_cast<char>(byte));
    else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", byte);
        shown = hex;
    }
    return shown + ": not a key; digits, Enter, q";
}

void Terminal::restoreNow() noexcept { restoreTerminal(); }

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
    // The status line: printable ASCII and the arrow (one cell each).
    static constexpr std::string_view kArrow = "\u2192";
    std::string line;
    std::size_t cells = 0;
    for (std::size_t i = 0; i < status.size() && cells < width; ++cells) {
        if (status.substr(i, kArrow.size()) == kArrow) {
            line += kArrow;
            i += kArrow.size();
        } else {
            line += Panel::displayChar(status[i++]);
        }
    }
    line.append(width - cells, ' ');
    out += line;
    out += '\n';
    return out;
}

namespace {

constexpr int kHalf = 42; // the panel's two columns of text: 0-41 and 42-81

// A half row worth keeping: its row, whether it is an item, its text.
struct CompactLine {
    int row;
    bool item;
    std::string text;
};

// An item of the menu ("*2. HDD SYS Update") or one with its state
// ("HDD SYS Update .......   Completed").
bool isItem(const std::string &text)
{
    std::size_t at = text[0] == '*' ? 1 : 0;
    bool numbered =
        at + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && text[at + 1] == '.';
    return numbered || text.find(" ..") != std::string::npos;
}

std::vector<CompactLine> compactLines(const Panel::Rows &rows)
{
    std::vector<CompactLine> lines;
    for (int r = 0; r < Panel::kRows; ++r)
        for (int half = 0; half < 2; ++half) {
            std::string text;
            for (int c = half * kHalf; c < (half ? Panel::kColumns : kHalf); ++c) {
                std::size_t col = static_cast<std::size_t>(c);
                text += col < rows[static_cast<std::size_t>(r)].size()
                            ? Panel::displayChar(rows[static_cast<std::size_t>(r)][col])
                            : ' ';
            }
            std::size_t first = text.find_first_not_of(' ');
            if (first == std::string::npos)
                continue;
            text.erase(text.find_last_not_of(' ') + 1);
            text.erase(0, first);
            bool item = isItem(text);
            // Unmarked items line up under the marked ones.
            if (item && std::isdigit(static_cast<unsigned char>(text[0])) && first > 0)
                text.insert(0, " ");
            lines.push_back({r, item, text});
        }
    return lines;
}

// The status line in at most `most` lines of `width` cells, broken at a
// blank where one is near; the arrow is one cell.
std::vector<std::string> statusLines(std::string_view status, std::size_t width, std::size_t most)
{
    static constexpr std::string_view kArrow = "\u2192";
    std::vector<std::string> cells;
    for (std::size_t i = 0; i < status.size();) {
        bool arrow = status.substr(i, kArrow.size()) == kArrow;
        cells.push_back(arrow ? std::string(kArrow) : std::string(1, Panel::displayChar(status[i])));
        i += arrow ? kArrow.size() : 1;
    }
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (lines.size() < most) {
        std::size_t end = std::min(cells.size(), at + width);
        if (end < cells.size() && lines.size() + 1 < most)
            for (std::size_t b = end; b > at + width / 2; --b)
                if (cells[b - 1] == " ") {
                    end = b;
                    break;
                }
        std::string line;
        for (std::size_t c = at; c < end; ++c)
            line += cells[c];
        line.append(width - (end - at), ' ');
        lines.push_back(line);
        at = end;
        if (at >= cells.size())
            break;
    }
    return lines;
}

} // namespace

std::string Terminal::renderCompact(const Panel::Rows &rows, std::string_view status, int columns,
                                    int rowsWanted)
{
    const std::size_t width = static_cast<std::size_t>(std::max(columns, 1));
    const std::vector<std::string> statusText = statusLines(status, width, rowsWanted > 3 ? 2 : 1);
    const std::size_t body = static_cast<std::size_t>(std::max(rowsWanted, 1)) - statusText.size();
    std::vector<CompactLine> lines = compactLines(rows);
    // Every item, first; under them the rest of the panel, chosen from the
    // bottom up (where the ending is) as room allows.
    std::size_t items = static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [](const CompactLine &l) { return l.item; }));
    std::size_t room = body > items ? body - items : 0;
    std::vector<bool> keep(lines.size());
    for (std::size_t i = lines.size(); i-- > 0;)
        if (lines[i].item || room > 0) {
            room -= lines[i].item ? 0 : 1;
            keep[i] = true;
        }
    std::string out;
    std::size_t shown = 0;
    for (bool items : {true, false})
        for (std::size_t i = 0; i < lines.size() && shown < body; ++i)
            if (keep[i] && lines[i].item == items) {
                std::string text = lines[i].text.substr(0, width);
                out += text + std::string(width - text.size(), ' ') + '\n';
                ++shown;
            }
    for (; shown < body; ++shown)
        out += std::string(width, ' ') + '\n';
    for (const std::string &line : statusText)
        out += line + '\n';
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
    bool tty = false;     // the output is a terminal, whose size counts
    bool region = false;  // a scrolling region is set
    bool fits = true;     // the window holds the frame (tty only)
    bool compact = false; // ... or else the compact view
    WindowSize screen{-1, -1};
    const std::string arrow = utf8Locale() ? " \u2192 " : " -> ";

    std::mutex statusMutex;
    std::string status;    // from setStatus
    std::string lastKey;   // reader thread only
    std::string lastFrame; // reader thread, then the destructor
    std::atomic<bool> stop{false};
    std::atomic<bool> wakePending{false}; // a wake-up is in the pipe
    bool quitting = false;                // reader thread only
    bool confirmed = false;               // the confirm key was sent: the update runs
    unsigned long confirmedMenu = 0;      // ... in the menu of this unlock
    bool cutWarned = false;               // the first 'q' of the update was answered
    bool confirmShown = false;            // the last key said is the confirm that started it

    Panel::Subscription subscription;
    std::thread reader;

    Impl(Panel &p, Keys &k, Kernel &kernel, std::function<void()> quit, Options o)
        : panel(p), keys(k), onQuit(std::move(quit)), options(o), hold(kernel.holdExternal())
    {}

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

    // The console from `top` to the bottom line.
    void setRegion(int top, int rows, std::string &out)
    {
        out += "\x1b[" + std::to_string(top) + ';' + std::to_string(rows) + 'r';
        out += "\x1b[" + std::to_string(rows) + ";1H";
    }

    void setUpScreen()
    {
        tty = ::isatty(options.outputFd) == 1;
        draw = tty || options.drawWhenNotTerminal;
        if (draw && !tty) {
            std::string out = "\x1b[2J\x1b[H";
            writeAll(options.outputFd, out.data(), out.size());
        }
        if (tty)
            fitWindow();
    }

    // Lays the screen out anew when the window's size changed: the frame
    // over a console region when it fits, else one line saying what it
    // needs. Either way the screen is cleared, so no stale copy stays.
    void fitWindow()
    {
        WindowSize now = windowSize(options.outputFd);
        if (now == screen)
            return;
        screen = now;
        fits = now.rows >= kMinRows && now.columns >= kMinColumns;
        compact = !fits && now.rows >= kCompactRows && now.columns >= kCompactColumns;
        std::string out = "\x1b[r\x1b[2J\x1b[H";
        if (fits || compact) {
            // Frame, a blank line, then the console; or the compact view
            // over the last two lines (a region holds two at least).
            setRegion(fits ? kFrameLines + 2 : now.rows - 1, now.rows, out);
            region = true;
            lastFrame.clear();
        } else {
            region = false;
            // Short enough for one line of the smallest window worth naming.
            out += options.speaker + ": the panel needs " + std::to_string(kCompactColumns) + "x" +
                   std::to_string(kCompactRows) + " at least; this window is " + std::to_string(now.columns) +
                   "x" + std::to_string(now.rows) + "\r\n";
        }
        if (raw)
            gRawOutputFd = options.outputFd; // the scrolling region is undone at the end
        writeAll(options.outputFd, out.data(), out.size());
    }

    std::string statusLine()
    {
        // The help until a key is typed, then what that key did.
        std::string s = keys.unlocked() ? "[keys on]  " : "[keys off] ";
        // The help until a key is typed; during the update, what stops it.
        const bool busy = updating();
        const char *help =
            busy ? "updating: q or Ctrl-C twice cuts the power" : "0-9 keys, Enter confirm, q quit";
        s += lastKey.empty() || (confirmShown && busy) ? std::string(help) : lastKey;
        std::lock_guard lock(statusMutex);
        if (!status.empty())
            s += " | " + status;
        return s;
    }

    void redraw()
    {
        if (raw && !gRawActive)
            return; // a signal restored the terminal: the process is ending
        if (tty) {
            fitWindow();
            if (!fits && !compact)
                return;
        }
        std::string frame =
            tty && compact ? renderCompact(panel.snapshot(), statusLine(), screen.columns, screen.rows - 2)
                           : renderFrame(panel.snapshot(), statusLine());
        if (frame == lastFrame)
            return;
        lastFrame = frame;
        std::string out = "\x1b"
                          "7\x1b[?7l"; // save the cursor, no line wrap
        std::size_t start = 0;
        for (int line = 1; start < frame.size(); ++line) {
            std::size_t end = frame.find('\n', start);
            // Erased first: an erase after a line that fills the window
            // would take its last cell too.
            out += "\x1b[" + std::to_string(line) + ";1H\x1b[2K";
            out.append(frame, start, end - start);
            start = end + 1;
        }
        out += "\x1b[?7h\x1b"
               "8";
        writeAll(options.outputFd, out.data(), out.size());
    }

    // Once the confirm key went through, the update runs until the next
    // menu unlocks the keys.
    bool updating() const { return confirmed && keys.unlocks() == confirmedMenu && !keys.unlocked(); }

    void handleByte(unsigned char byte)
    {
        KeyAction a = mapKey(byte);
        if (quitting)
            return;
        confirmShown = false;
        if (a.kind == KeyAction::Kind::None) {
            lastKey = describeOther(byte);
            return;
        }
        if (a.kind == KeyAction::Kind::Quit) {
            if (!updating()) {
                quitting = true;
                lastKey = "ending the run";
                if (onQuit)
                    onQuit();
            } else if (!cutWarned || !options.onPowerCut) {
                cutWarned = true;
                lastKey = "the device cannot stop the update: q or Ctrl-C again cuts the power";
            } else {
                quitting = true;
                lastKey = "power cut";
                redraw();
                options.onPowerCut();
            }
            return;
        }
        unsigned long menu = keys.unlocks();
        bool sent = keys.press(a.code);
        if (sent && a.code == Keys::kConfirmCode) {
            confirmed = true;
            confirmedMenu = menu;
            confirmShown = true;
        }
        std::string name = byte >= '0' && byte <= '9' ? std::string(1, static_cast<char>(byte)) : "Enter";
        lastKey = name + arrow + "key " + std::to_string(a.code) +
                  (sent              ? " sent"
                   : keys.unlocked() ? " not enabled"
                                     : " not taken: keys locked");
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
            pollfd fds[2] = {{inputOpen ? options.inputFd : -1, POLLIN, 0}, {wakeRead, POLLIN, 0}};
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

Terminal::Terminal(Panel &panel, Keys &keys, Kernel &kernel, std::function<void()> onQuit, Options options)
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
    } else if (t.tty) {
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
