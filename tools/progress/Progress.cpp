#include "tools/progress/Progress.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include <sys/ioctl.h>
#include <unistd.h>

namespace progress {

namespace {

void writeAll(int fd, const std::string &s)
{
    const char *p = s.data();
    std::size_t n = s.size();
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

} // namespace

Line::Line(int fd, bool force)
    : fd_(fd), active_(force || ::isatty(fd) == 1), start_(std::chrono::steady_clock::now())
{}

Line::Line(int fd, const Plain &plain)
    : fd_(fd), active_(!plain.quiet && ::isatty(fd) == 1), plain_(!plain.quiet && !active_), now_(plain.now),
      start_(now_()), last_(start_), plainFrom_(plain.from)
{}

Line::~Line() { clear(); }

void Line::step(const std::string &text, double done, double total)
{
    if (active_) {
        show(text);
        return;
    }
    if (!plain_ || total <= 0 || total < plainFrom_)
        return;
    const int tenth = static_cast<int>(std::floor(std::clamp(done / total, 0.0, 1.0) * 10));
    const Clock::time_point t = now_();
    if (tenth <= tenth_ && t - last_ < std::chrono::seconds(10))
        return;
    tenth_ = std::max(tenth, tenth_);
    last_ = t;
    writeAll(fd_, text + "\n");
}

double Line::elapsed() const { return std::chrono::duration<double>(now_() - start_).count(); }

void Line::show(const std::string &text, bool now)
{
    if (!active_)
        return;
    auto t = std::chrono::steady_clock::now();
    if (!now && shown_ && t - last_ < std::chrono::milliseconds(100))
        return;
    last_ = t;
    shown_ = true;
    // One cell short of the width, so the line never wraps.
    std::string line = text;
    winsize ws{};
    if (::ioctl(fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 && line.size() >= ws.ws_col)
        line.resize(ws.ws_col - 1u);
    writeAll(fd_, "\r" + line + "\x1b[K");
}

void Line::clear()
{
    if (active_ && shown_)
        writeAll(fd_, "\r\x1b[K");
    shown_ = false;
}

std::string Line::bar(double done, double total, int cells)
{
    double f = total > 0 ? std::clamp(done / total, 0.0, 1.0) : 0.0;
    int full = static_cast<int>(std::floor(f * cells));
    return "[" + std::string(static_cast<std::size_t>(full), '#') +
           std::string(static_cast<std::size_t>(cells - full), '-') + "]";
}

std::string Line::timeLeft(double elapsedSeconds, double fraction)
{
    // Too early, or done: no estimate worth showing.
    if (fraction < 0.02 || fraction >= 1.0 || elapsedSeconds < 0.5)
        return "";
    long left = std::lround(elapsedSeconds * (1.0 - fraction) / fraction);
    if (left < 60)
        return "about " + std::to_string(left) + " s left";
    return "about " + std::to_string(left / 60) + " min " + std::to_string(left % 60) + " s left";
}

std::string Line::bytes(std::uint64_t n)
{
    if (n < 1024)
        return std::to_string(n) + " B";
    const char *units[] = {"KiB", "MiB", "GiB"};
    double v = static_cast<double>(n) / 1024;
    int u = 0;
    while (v >= 1024 && u < 2) {
        v /= 1024;
        ++u;
    }
    char s[32];
    std::snprintf(s, sizeof s, "%.1f %s", v, units[u]);
    return s;
}

} // namespace progress
