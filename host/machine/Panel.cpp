#include "host/machine/Panel.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace host {

namespace {

std::string quoted(std::string_view s) { return '"' + Panel::jsonEscape(s) + '"'; }

} // namespace

Panel::Panel() { rows_.fill(std::string(kColumns, ' ')); }

void Panel::drawString(int column, int row, std::string_view text, std::string_view taskName)
{
    // Record the call as made, before any cutting.
    std::string line = "{\"task\":" + quoted(taskName) +
                       ",\"op\":\"text\",\"col\":" + std::to_string(column) +
                       ",\"row\":" + std::to_string(row) + ",\"text\":" + quoted(text) + "}";
    {
        std::lock_guard lock(mutex_);
        if (row >= 0 && row < kRows && column < kColumns) {
            // A text starting left of the display loses its leading part.
            long long first = column;
            std::size_t skip = first < 0 ? static_cast<std::size_t>(-first) : 0;
            if (skip < text.size()) {
                std::size_t start = static_cast<std::size_t>(std::max(0LL, first));
                std::size_t n = std::min(text.size() - skip, static_cast<std::size_t>(kColumns) - start);
                rows_[static_cast<std::size_t>(row)].replace(start, n, text.substr(skip, n));
            }
        }
        traceLine(line);
    }
    notify();
}

void Panel::clear(std::string_view taskName)
{
    std::string line = "{\"task\":" + quoted(taskName) + ",\"op\":\"clear\"}";
    {
        std::lock_guard lock(mutex_);
        rows_.fill(std::string(kColumns, ' '));
        traceLine(line);
    }
    notify();
}

Panel::Rows Panel::snapshot() const
{
    std::lock_guard lock(mutex_);
    return rows_;
}

std::string Panel::dump() const
{
    Rows rows = snapshot();
    std::string out;
    out.reserve(kRows * (kColumns + 1));
    for (std::string &r : rows) {
        std::transform(r.begin(), r.end(), r.begin(), displayChar);
        std::size_t end = r.find_last_not_of(' ');
        out.append(r, 0, end == std::string::npos ? 0 : end + 1);
        out += '\n';
    }
    return out;
}

char Panel::displayChar(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x7f ? c : '?';
}

std::string Panel::jsonEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20 || u >= 0x7f) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", u);
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out;
}

void Panel::enableTrace(std::ostream &out)
{
    std::lock_guard lock(mutex_);
    traceFile_ = std::ofstream();
    trace_ = &out;
    traceFailed_ = false;
}

bool Panel::enableTrace(const std::filesystem::path &file)
{
    std::ofstream f(file, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!f)
        return false;
    std::lock_guard lock(mutex_);
    traceFile_ = std::move(f);
    trace_ = &traceFile_;
    traceFailed_ = false;
    return true;
}

void Panel::disableTrace()
{
    std::lock_guard lock(mutex_);
    trace_ = nullptr;
    traceFile_ = std::ofstream();
}

bool Panel::traceFailed() const
{
    std::lock_guard lock(mutex_);
    return traceFailed_;
}

void Panel::setTraceSession(int n)
{
    std::lock_guard lock(mutex_);
    traceSession_ = n;
}

void Panel::traceLine(const std::string &line)
{
    if (!trace_)
        return;
    // Flushed line by line: a power cut ends the process without unwinding.
    if (traceSession_ > 0)
        *trace_ << line.substr(0, line.size() - 1) << ",\"session\":" << traceSession_ << "}\n" << std::flush;
    else
        *trace_ << line << '\n' << std::flush;
    if (!*trace_)
        traceFailed_ = true;
}

// --- listeners ---

Panel::Subscription Panel::onChange(std::function<void()> listener)
{
    std::lock_guard lock(listenersMutex_);
    int id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return Subscription(this, id);
}

void Panel::notify()
{
    std::lock_guard lock(listenersMutex_);
    for (auto &[id, fn] : listeners_)
        fn();
}

void Panel::unsubscribe(int id)
{
    std::lock_guard lock(listenersMutex_);
    listeners_.erase(id);
}

Panel::Subscription::Subscription(Subscription &&other) noexcept
    : panel_(std::exchange(other.panel_, nullptr)), id_(other.id_)
{}

Panel::Subscription &Panel::Subscription::operator=(Subscription &&other) noexcept
{
    if (this != &other) {
        reset();
        panel_ = std::exchange(other.panel_, nullptr);
        id_ = other.id_;
    }
    return *this;
}

void Panel::Subscription::reset()
{
    if (Panel *p = std::exchange(panel_, nullptr))
        p->unsubscribe(id_);
}

} // namespace host
