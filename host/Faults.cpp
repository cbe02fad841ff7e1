#include "host/Faults.h"

#include "host/Suggest.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <sys/syscall.h>
#include <unistd.h>

namespace host {

namespace {

// A row of a table: the enumerator it stands for, the name the user
// types, and what it does.
template <class Id>
struct Named {
    Id id;
    std::string_view name;
    std::string_view what; // what fails, or what a cut leaves
};

// In the order of the enumerators of FaultNames.h.
constexpr std::array<Named<Fault>, kFaultCount> kPlainFaults = {{
    {Fault::ramdisk, "ramdisk", "ramDevCreate yields no device"},
    {Fault::keys, "keys", "bootGetKeyFocus returns null"},
    {Fault::msgqCreate, "msgq-create", "msgQCreate returns null"},
    {Fault::msgqSend, "msgq-send", "msgQSend returns -1"},
    {Fault::msgqReceive, "msgq-receive", "msgQReceive returns -1"},
    {Fault::archiver, "archiver",
     "dlBoardArchiver creates or truncates the destination, writes nothing, returns -1"},
    {Fault::copy, "copy", "copy returns -1"},
    {Fault::mkdir, "mkdir", "catMkdir fails"},
    {Fault::flashCreate, "flash-create", "fromDevCreate fails"},
    {Fault::flashInfo, "flash-info", "fromDevGetInfo fails"},
    {Fault::flashErase, "flash-erase", "the flash erase fails"},
    {Fault::flashWrite, "flash-write", "a flash write stores nothing and returns 0"},
    {Fault::flashVerify, "flash-verify",
     "a read of the flash device returns a wrong byte (each read counts once)"},
    {Fault::nvramSet, "nvram-set", "setBitNvFlag returns -1 and changes nothing"},
    {Fault::nvramClear, "nvram-clear", "clearBitNvRAMFlags returns -1 and changes nothing"},
    {Fault::unitLsr, "unit.lsr", "frwRewriteMAIN for the laser unit returns -1"},
    {Fault::unitPfc, "unit.pfc", "frwRewriteMAIN for the PFC unit returns -1"},
    {Fault::unitEngine, "unit.engine", "frwRewriteMAIN for the engine returns -1"},
    {Fault::unitScanner, "unit.scanner", "frwRewriteMAIN for the scanner returns -1"},
    {Fault::hdInit, "hd-init", "bootHdLoaderInit returns -1"},
    {Fault::malloc, "malloc", "malloc returns null"},
}};

// Names that end in what they aim at; the stem ends at '.' or '@'.
constexpr std::array<Named<AimedFault>, kAimedFaultCount> kAimedFaults = {{
    {AimedFault::spawn, "spawn.TASKNAME", "taskSpawn of that task name returns -1"},
    {AimedFault::open, "open@PATH", "open or fopen of exactly PATH fails"},
    {AimedFault::read, "read@PATH",
     "a read or fread of the file opened as PATH returns half the bytes asked for"},
    {AimedFault::archiver, "archiver@DESTINATION",
     "dlBoardArchiver writing exactly DESTINATION fails as archiver does"},
}};

constexpr std::array<Named<Event>, kEventCount> kEventTable = {{
    {Event::flashErase, "flash-erase", "half the flash area erased"},
    {Event::flashWrite, "flash-write", "half the bytes of the write programmed"},
    {Event::archiver, "archiver", "half the content written"},
    {Event::unit, "unit", "half the firmware written"},
    {Event::nvramSet, "nvram-set", "setBitNvFlag, cut before the change"},
    {Event::nvramClear, "nvram-clear", "clearBitNvRAMFlags, cut before the change"},
}};

// Row i stands for enumerator i, in every table.
template <class Table>
constexpr bool inEnumeratorOrder(const Table &table)
{
    for (std::size_t i = 0; i < table.size(); ++i)
        if (static_cast<std::size_t>(table[i].id) != i)
            return false;
    return true;
}
constexpr bool tablesFollowTheEnumerators()
{
    return inEnumeratorOrder(kPlainFaults) && inEnumeratorOrder(kAimedFaults) &&
           inEnumeratorOrder(kEventTable);
}
static_assert(tablesFollowTheEnumerators(), "a fault table is out of the enumerators' order");

// The stem of an aimed fault: "spawn.", "open@".
std::string_view stemOf(AimedFault fault)
{
    std::string_view name = kAimedFaults[static_cast<int>(fault)].name;
    return name.substr(0, name.find_first_of(".@") + 1);
}

std::string didYouMean(const std::vector<std::string> &names)
{
    if (names.empty())
        return "";
    std::string s = "; did you mean ";
    for (std::size_t i = 0; i < names.size(); ++i)
        s += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
    return s + "?";
}

long parseCount(std::string_view text, std::string_view spec, const char *what)
{
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 0)
        throw std::invalid_argument("bad " + std::string(what) + " '" + std::string(text) + "' in '" +
                                    std::string(spec) + "'");
    return value;
}

} // namespace

std::string_view nameOf(Fault fault) { return kPlainFaults[static_cast<int>(fault)].name; }

std::string nameOf(AimedFault fault, std::string_view target)
{
    return std::string(stemOf(fault)) + std::string(target);
}

std::string_view nameOf(Event event) { return kEventTable[static_cast<int>(event)].name; }

bool Faults::knownFault(std::string_view name)
{
    for (auto f : kPlainFaults)
        if (f.name == name)
            return true;
    for (int i = 0; i < kAimedFaultCount; ++i) {
        std::string_view prefix = stemOf(static_cast<AimedFault>(i));
        if (name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix)
            return true;
    }
    return false;
}

std::vector<Faults::Entry> Faults::entries()
{
    std::vector<Entry> list;
    for (const auto &f : kPlainFaults)
        list.push_back({"fault", std::string(f.name), std::string(f.what)});
    for (const auto &f : kAimedFaults)
        list.push_back({"fault", std::string(f.name), std::string(f.what)});
    for (const auto &e : kEventTable)
        list.push_back({"cut", std::string(e.name), std::string(e.what)});
    return list;
}

std::vector<std::string> Faults::describe()
{
    std::vector<std::string> lines;
    for (const Entry &e : entries()) {
        std::string l = e.kind + std::string(6 - e.kind.size(), ' ') + e.name;
        l.resize(std::max<std::size_t>(l.size() + 2, 30), ' ');
        lines.push_back(l + e.what);
    }
    return lines;
}

std::vector<std::string> Faults::faultNames()
{
    std::vector<std::string> names;
    for (const auto &f : kPlainFaults)
        names.emplace_back(f.name);
    return names;
}

std::vector<std::string> Faults::eventNames()
{
    std::vector<std::string> names;
    for (const auto &e : kEventTable)
        names.emplace_back(e.name);
    return names;
}

std::vector<std::string> Faults::closestFaults(std::string_view name)
{
    // The forms that take a suffix are offered by their prefix.
    auto names = faultNames();
    for (const auto &f : kAimedFaults) {
        std::size_t stem = f.name.find_first_of(".@");
        if (name.substr(0, stem) == f.name.substr(0, stem) && name.size() > stem &&
            (name[stem] == '.' || name[stem] == '@' || name[stem] == '-' || name[stem] == ':'))
            return {std::string(f.name)};
    }
    return suggest(name, names);
}

std::vector<std::string> Faults::closestEvents(std::string_view name) { return suggest(name, eventNames()); }

bool Faults::powerCutReached() const
{
    auto it = events_.find(cutEvent_);
    return !cutEvent_.empty() && it != events_.end() && it->second >= cutAt_;
}

std::vector<Faults::Record> Faults::records() const
{
    std::vector<Record> out(faults_.size());
    for (const auto &[name, f] : faults_)
        out[f.order] = {f.spec, name, f.skip, f.count, f.seen, f.fired, f.firstFired};
    return out;
}

std::string Faults::whyNeverFired(const Record &r)
{
    if (r.fired > 0)
        return "";
    if (r.calls == 0)
        return "no call matched";
    if (r.count == 0)
        return "its COUNT is 0";
    return "the run made " + std::to_string(r.calls) + (r.calls == 1 ? " call" : " calls") +
           " of it, all within SKIP " + std::to_string(r.skip);
}

bool Faults::knownEvent(std::string_view name)
{
    for (auto e : kEventTable)
        if (e.name == name)
            return true;
    return false;
}

void Faults::add(std::string_view spec)
{
    // Paths may hold ':' only in open@/read@ names, which end the name at
    // the last two fields that are numbers.
    std::string_view name = spec;
    Plan f;
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
    } else if (last != std::string_view::npos && !name.starts_with(stemOf(AimedFault::open)) &&
               !name.starts_with(stemOf(AimedFault::read)) &&
               !name.starts_with(stemOf(AimedFault::archiver))) {
        throw std::invalid_argument("bad fault '" + std::string(spec) + "': expected NAME[:SKIP[:COUNT]]");
    }
    if (!knownFault(name))
        throw std::invalid_argument("unknown fault '" + std::string(name) + "'" +
                                    didYouMean(closestFaults(name)));
    f.spec = std::string(spec);
    f.order = faults_.size();
    auto old = faults_.find(name);
    if (old != faults_.end())
        f.order = old->second.order; // the later spec replaces the earlier
    faults_[std::string(name)] = f;
}

bool Faults::watches(AimedFault fault, std::string_view target) const
{
    return watches(nameOf(fault, target));
}

bool Faults::watches(std::string_view name) const { return census_ || faults_.find(name) != faults_.end(); }

bool Faults::fail(Fault fault, std::string_view arg) { return count(nameOf(fault), arg); }

bool Faults::fail(AimedFault fault, std::string_view target, std::string_view arg)
{
    return count(nameOf(fault, target), arg);
}

bool Faults::count(std::string_view name, std::string_view arg)
{
    if (census_ || listener_) {
        auto c = calls_.find(name);
        if (c == calls_.end())
            c = calls_.emplace(std::string(name), 0).first;
        ++c->second;
        if (listener_)
            listener_(name, c->second, arg);
    }
    if (faults_.empty())
        return false;
    auto it = faults_.find(name);
    if (it == faults_.end())
        return false;
    Plan &f = it->second;
    long n = f.seen++;
    if (n < f.skip)
        return false;
    if (f.count >= 0 && n >= f.skip + f.count)
        return false;
    if (f.fired++ == 0)
        f.firstFired = n + 1;
    return true;
}

void Faults::setPowerCut(std::string_view spec)
{
    auto colon = spec.rfind(':');
    if (colon == std::string_view::npos)
        throw std::invalid_argument("bad power cut '" + std::string(spec) + "': expected EVENT:N");
    std::string_view event = spec.substr(0, colon);
    if (!knownEvent(event))
        throw std::invalid_argument("unknown power-cut event '" + std::string(event) + "'" +
                                    didYouMean(closestEvents(event)));
    long n = parseCount(spec.substr(colon + 1), spec, "N");
    if (n < 1)
        throw std::invalid_argument("power cut '" + std::string(spec) + "': N counts from 1");
    cutEvent_ = std::string(event);
    cutAt_ = n;
}

bool Faults::powerCutDue(Event kind, std::string_view arg)
{
    std::string_view event = nameOf(kind);
    long n = ++events_[std::string(event)];
    if (listener_)
        listener_(event, n, arg);
    // A cut from outside lands in the next event any task comes to.
    if (std::atomic_ref<bool>(cutPending_).load())
        return true;
    return !cutEvent_.empty() && event == cutEvent_ && n == cutAt_;
}

void Faults::cutPower(std::string_view cause)
{
    if (cutAction_)
        cutAction_();
    const std::string what =
        cause.empty() ? "in " + cutEvent_ + " #" + std::to_string(cutAt_) : std::string(cause);
    if (powerSwitch_) {
        powerSwitch_(what);
        std::atomic_ref<bool>(cutPending_).store(true); // only from outside does it return
        return;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "power cut %s\n", what.c_str());
    std::fflush(stderr);
    // The power goes: no exit handler runs, not even a sanitizer's, which
    // would report the tasks the cut left behind as leaked threads.
    ::syscall(SYS_exit_group, 9);
    ::_exit(9);
}

} // namespace host
