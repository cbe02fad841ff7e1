// One line of progress for long work at a terminal, shared by the commands
// that have some: drawn in place on standard error, at most ten times a
// second, and cleared at the end, so that what stays on the screen is what
// the command says for good. When the stream is not a terminal nothing is
// written at all: logs and scripts see the same lines as ever.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace progress {

class Line {
public:
    // Active when `fd` is a terminal, or always with `force` (tests).
    explicit Line(int fd = 2, bool force = false);
    ~Line(); // clears the line
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    bool active() const { return active_; }
    // Replaces the line; skipped when the last one is younger than 100 ms,
    // unless `now`.
    void show(const std::string &text, bool now = false);
    // Leaves the cursor at the start of an empty line.
    void clear();

    // "[#####-----]": `cells` cells for done of total.
    static std::string bar(double done, double total, int cells);
    // "about 1 min 5 s left" from the time spent on a fraction of the work;
    // empty until an estimate means anything.
    static std::string timeLeft(double elapsedSeconds, double fraction);
    // "532 B", "12.3 KiB", "208.0 MiB".
    static std::string bytes(std::uint64_t n);

    // Seconds since the line was made.
    double elapsed() const;

private:
    int fd_;
    bool active_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_, last_{};
};

} // namespace progress
