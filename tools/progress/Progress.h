// One line of progress for long work at a terminal, shared by the commands
// that have some: drawn in place on standard error, at most ten times a
// second, and cleared at the end, so that what stays on the screen is what
// the command says for good. Off a terminal (a CI log), work measured with
// step() gets a plain line at each tenth of it and every 10 s instead.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace progress {

// Media and work measured in bytes get plain lines from this size on.
inline constexpr double kLargeWork = 4.0 * 1024 * 1024;

class Line {
public:
    using Clock = std::chrono::steady_clock;

    // Active when `fd` is a terminal, or always with `force` (tests).
    explicit Line(int fd = 2, bool force = false);
    // What a command with --quiet shows: nothing when `quiet`, else the
    // line at a terminal and plain lines elsewhere; `now` reads the time
    // (tests give their own).
    struct Plain {
        bool quiet = false;
        std::function<Clock::time_point()> now = Clock::now;
        // Work smaller than this (in step()'s units) is over before a
        // log reader looks: no plain lines.
        double from = 0;
    };
    Line(int fd, const Plain &plain);
    ~Line(); // clears the line
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    bool active() const { return active_; }
    // Replaces the line; skipped when the last one is younger than 100 ms,
    // unless `now`.
    void show(const std::string &text, bool now = false);
    // `done` of `total` of the work: at a terminal, show(text); off one, a
    // plain line when the work passes a tenth or 10 s have gone since the
    // last one.
    void step(const std::string &text, double done, double total);
    // Plain lines are written (not a terminal, not quiet).
    bool plain() const { return plain_; }
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
    bool plain_ = false;
    bool shown_ = false;
    std::function<Clock::time_point()> now_ = Clock::now;
    Clock::time_point start_, last_{};
    double plainFrom_ = 0;
    int tenth_ = 0; // of the last plain line
};

} // namespace progress
