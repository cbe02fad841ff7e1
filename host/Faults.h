// Injected faults and power cuts. A fault NAME[:SKIP[:COUNT]] lets the named
// operation succeed SKIP times and then fail COUNT times (every time after
// when COUNT is left out). A power cut EVENT:N ends the process in the middle
// of the Nth such event. Only the module's own calls are counted, over the
// whole run, in the order the machine makes them.
#pragma once

#include "host/Console.h"
#include "host/FaultNames.h"

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class Faults {
public:
    // Parses and adds one spec; std::invalid_argument with a readable
    // message for a bad spec or an unknown name.
    void add(std::string_view spec);
    // Counts one call; true when this call must fail. `arg` says what the
    // call works on, for the listing of calls.
    bool fail(Fault fault, std::string_view arg = {});
    bool fail(AimedFault fault, std::string_view target, std::string_view arg = {});
    // The same, and a failing call says so on the host's own output:
    // "fault NAME: " and what `what()` tells (made only then).
    template <class What>
    bool fires(Fault fault, Console &console, What &&what, std::string_view arg = {})
    {
        if (!fail(fault, arg))
            return false;
        console.report("fault " + std::string(nameOf(fault)) + ": " + std::string(what()));
        return true;
    }
    template <class What>
    bool fires(AimedFault fault, std::string_view target, Console &console, What &&what)
    {
        if (!fail(fault, target))
            return false;
        console.report("fault " + nameOf(fault, target) + ": " + std::string(what()));
        return true;
    }
    // True when some spec names exactly `name` (nothing is counted).
    bool watches(std::string_view name) const;
    bool watches(Fault fault) const { return watches(nameOf(fault)); }
    bool watches(AimedFault fault, std::string_view target) const;
    bool empty() const { return faults_.empty() && !census_; }

    // For sweeps of every call: every name is watched and every call
    // counted by its full name ("open@/TMP/x", "spawn.tUpdate"); none fails.
    void takeCensus() { census_ = true; }
    const std::map<std::string, long, std::less<>> &calls() const { return calls_; }

    // --- power cuts ---
    void setPowerCut(std::string_view spec);
    // The cut asked for: its event ("" when none) and N.
    const std::string &powerCutEvent() const { return cutEvent_; }
    long powerCutAt() const { return cutAt_; }
    // Counts one event; true when the power must be cut in this one. The
    // caller leaves the half-done state, then calls cutPower().
    bool powerCutDue(Event event, std::string_view arg = {});

    // --- listing: every counted call and event, in order, with its number
    // (the N of NAME:N-1:1 or of a cut EVENT:N) ---
    using Listener = std::function<void(std::string_view name, long n, std::string_view arg)>;
    void setListener(Listener listener) { listener_ = std::move(listener); }
    bool listening() const { return static_cast<bool>(listener_); }
    // How many events of each kind were seen (for sweeps).
    const std::map<std::string, long, std::less<>> &eventCounts() const { return events_; }
    // The power goes in the middle of the event: the cut action runs (tests
    // may throw from it), then the machine's power switch. In a task the
    // task unwinds to the runner and this never returns; from outside (the
    // keyboard) it returns, and the next event of any task is cut at once.
    // Without a machine the process ends with status 9, nothing flushed but
    // the host's own output. `cause` says where a cut that no event asked
    // for came from ("from the keyboard"); by default the event and N.
    void cutPower(std::string_view cause = {});
    void setCutAction(std::function<void()> action) { cutAction_ = std::move(action); }
    // Set by the machine, given what the cut says ("in flash-write #1",
    // "from the keyboard"); must not return when called in a task.
    void setPowerSwitch(std::function<void(const std::string &)> off) { powerSwitch_ = std::move(off); }

    // True once the asked-for cut has come (the process may still be in it).
    bool powerCutReached() const;

    // Each spec added, in the order given, with what became of it, so that
    // a fault that tested nothing can be told from one that fired.
    struct Record {
        std::string spec; // as given
        std::string name;
        long skip = 0;
        long count = -1;     // -1: for ever
        long calls = 0;      // calls of the name counted
        long fired = 0;      // of which failed
        long firstFired = 0; // the call (from 1) that failed first; 0: none
    };
    std::vector<Record> records() const;
    // Why a spec never fired, or "" when it did.
    static std::string whyNeverFired(const Record &r);

    static bool knownFault(std::string_view name);
    static bool knownEvent(std::string_view name);
    // The valid names nearest to a mistyped one, best first (at most three).
    static std::vector<std::string> closestFaults(std::string_view name);
    static std::vector<std::string> closestEvents(std::string_view name);
    // One line per fault name, aimed form and power-cut event, with what
    // it does: "fault NAME  what fails", "cut   EVENT  what it leaves".
    static std::vector<std::string> describe();
    // The same entries as data: "fault" or "cut", the name, what it does.
    struct Entry {
        std::string kind, name, what;
    };
    static std::vector<Entry> entries();
    // Every plain fault name and every power-cut event, in table order.
    static std::vector<std::string> faultNames();
    static std::vector<std::string> eventNames();

private:
    bool count(std::string_view name, std::string_view arg);

    struct Plan {
        std::string spec;
        long skip = 0;
        long count = -1; // -1: for ever
        long seen = 0;
        long fired = 0;
        long firstFired = 0;
        std::size_t order = 0;
    };
    std::map<std::string, Plan, std::less<>> faults_;
    std::map<std::string, long, std::less<>> events_;
    std::map<std::string, long, std::less<>> calls_; // every name, in a census or while listening
    bool census_ = false;
    std::string cutEvent_;
    long cutAt_ = 0;
    std::function<void()> cutAction_;
    std::function<void(const std::string &)> powerSwitch_;
    bool cutPending_ = false; // set from the keyboard thread: atomic_ref
    Listener listener_;
};

} // namespace host
