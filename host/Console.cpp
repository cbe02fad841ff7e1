#include "host/Console.h"

#include <cstdio>

namespace host {

Console::Console()
    : out_(toStdout), err_([](std::string_view s) {
          std::fwrite(s.data(), 1, s.size(), stderr);
          std::fflush(stderr);
      })
{}

void Console::write(std::string_view text)
{
    std::lock_guard lock(mutex_);
    if (before_)
        before_();
    out_(text);
    if (after_)
        after_(text);
}

void Console::report(std::string_view line)
{
    std::string s(line);
    s += '\n';
    std::lock_guard lock(mutex_);
    err_(s);
}

void Console::setOutput(Sink sink)
{
    std::lock_guard lock(mutex_);
    out_ = std::move(sink);
}

void Console::setReports(Sink sink)
{
    std::lock_guard lock(mutex_);
    err_ = std::move(sink);
}

void Console::setOutputGuard(std::function<void()> before, Sink after)
{
    std::lock_guard lock(mutex_);
    before_ = std::move(before);
    after_ = std::move(after);
}

void Console::toStdout(std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (text.find('\n') != std::string_view::npos)
        std::fflush(stdout);
}

void Console::flush()
{
    std::fflush(stdout);
    std::fflush(stderr);
}

CapturedConsole::CapturedConsole(Console &console)
{
    console.setOutput([this](std::string_view s) { out_ += s; });
    console.setReports([this](std::string_view s) { err_ += s; });
}

void CapturedConsole::clear()
{
    out_.clear();
    err_.clear();
}

} // namespace host
