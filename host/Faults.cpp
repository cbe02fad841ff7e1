#include "host/Faults.h"

#include <array>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace host {

namespace {

constexpr std::array<std::string_view, 20> kPlainFaults = {
    "ramdisk",      "keys",        "msgq-create",  "msgq-send",   "msgq-receive",
    "archiver",     "copy",        "mkdir",        "flash-create", "flash-info",
    "flash-erase",  "flash-write", "flash-verify", "nvram-set",   "nvram-clear",
    "unit.lsr",     "unit.pfc",    "unit.engine",  "unit.scanner", "hd-init",
};

constexpr std::array<std::string_view, 6> kEvents = {
    "flash-erase", "flash-write", "archiver", "unit", "nvram-set", "nvram-clear",
};

long parseCount(std::string_view text, std::string_view spec, const char *what)
{
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0)
        throw std::invalid_argument("bad " + std::string(what) + " '" + std::string(text) +
                                    "' in '" + std::string(spec) + "'");
    return value;
}

} // namespace

bool Faults::knownFault(std::string_view name)
{
    if (name == "malloc")
        return true;
    for (auto f : kPlainFaults)
        if (f == name)
            return true;
    for (std::string_view prefix : {"spawn.", "open@", "read@"})
        if (name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix)
            return true;
    return false;
}

bool Faults::knownEvent(std::string_view name)
{
    for (auto e : kEvents)
        if (e == name)
            return true;
    return false;
}

void Faults::add(std::string_view spec)
{
    // Paths may hold ':' only in open@/read@ names, which end the name at
    // the last two fields that are numbers.
    std::string_view name = spec;
    Fault f;
    auto isNumber = [](std::string_view s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    auto last = name.rfind(':');
    if (last != std::string_view::npos && isNumber(name.substr(last + 1))) {
        std::string_view first = name.substr(last + 1);
        name = name.substr(0, last);
        auto prev = name.rfind(':');
        if (prev != std::string_view::npos && isNumber(name.substr(prev + 1))) {
            f.skip = parseCount(name.substr(prev + 1), spec, "SKIP");
            f.count = parseCount(first, spec, "COUNT");
            name = name.substr(0, prev);
        } else {
            f.skip = parseCount(first, spec, "SKIP");
        }
    } else if (last != std::string_view::npos && name.substr(0, 5) != "open@" &&
               name.substr(0, 5) != "read@") {
        throw std::invalid_argument("bad fault '" + std::string(spec) +
                                    "': expected NAME[:SKIP[:COUNT]]");
    }
    if (!knownFault(name))
        throw std::invalid_argument("unknown fault '" + std::string(name) + "'");
    faults_[std::string(name)] = f;
}

bool Faults::watches(std::string_view name) const
{
    return census_ || faults_.find(name) != faults_.end();
}

bool Faults::fail(std::string_view name)
{
    if (census_) {
        auto c = calls_.find(name);
        if (c == calls_.end())
            calls_.emplace(std::string(name), 1);
        else
            ++c->second;
    }
    if (faults_.empty())
        return false;
    auto it = faults_.find(name);
    if (it == faults_.end())
        return false;
    Fault &f = it->second;
    long n = f.seen++;
    if (n < f.skip)
        return false;
    return f.count < 0 || n < f.skip + f.count;
}

void Faults::setPowerCut(std::string_view spec)
{
    auto colon = spec.rfind(':');
    if (colon == std::string_view::npos)
        throw std::invalid_argument("bad power cut '" + std::string(spec) + "': expected EVENT:N");
    std::string_view event = spec.substr(0, colon);
    if (!knownEvent(event))
        throw std::invalid_argument("unknown power-cut event '" + std::string(event) + "'");
    long n = parseCount(spec.substr(colon + 1), spec, "N");
    if (n < 1)
        throw std::invalid_argument("power cut '" + std::string(spec) + "': N counts from 1");
    cutEvent_ = std::string(event);
    cutAt_ = n;
}

bool Faults::powerCutDue(std::string_view event)
{
    long n = ++events_[std::string(event)];
    // A cut from outside lands in the next event any task comes to.
    if (std::atomic_ref<bool>(cutPending_).load())
        return true;
    return !cutEvent_.empty() && event == cutEvent_ && n == cutAt_;
}

void Faults::cutPower(std::string_view cause)
{
    if (cutAction_)
        cutAction_();
    const std::string what = cause.empty()
                                 ? "in " + cutEvent_ + " #" + std::to_string(cutAt_)
                                 : std::string(cause);
    if (powerSwitch_) {
        powerSwitch_(what);
        std::atomic_ref<bool>(cutPending_).store(true); // only from outside does it return
        return;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "power cut %s\n", what.c_str());
    std::fflush(stderr);
    ::_exit(9);
}

} // namespace host
