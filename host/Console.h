// The machine's two output channels: the module's console (standard output
// on the device's serial line) and the host's own reports (standard error).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace host {

class Console {
public:
    using Sink = std::function<void(std::string_view)>;

    // Defaults: console to stdout, reports to stderr.
    Console();

    // What the module prints, in the order the tasks ran.
    void write(std::string_view text);
    // A host line (fault, escape attempt, stall); a newline is added.
    void report(std::string_view line);

    void setOutput(Sink sink);
    void setReports(Sink sink);
    // Called around each piece of the console, whatever its sink: a line
    // drawn on the same terminal steps aside and comes back.
    void setOutputGuard(std::function<void()> before, std::function<void(std::string_view)> after);
    void flush();

    // Writes to standard output, flushed at each line's end: a log or a
    // pipe keeps every whole line even when the process is killed.
    static void toStdout(std::string_view text);

private:
    std::mutex mutex_; // reports may come from the keyboard thread
    Sink out_;
    Sink err_;
    std::function<void()> before_;
    Sink after_;
};

// Captures both channels into strings, for tests.
class CapturedConsole {
public:
    explicit CapturedConsole(Console &console);
    const std::string &output() const { return out_; }
    const std::string &reports() const { return err_; }
    void clear();

private:
    std::string out_;
    std::string err_;
};

} // namespace host
