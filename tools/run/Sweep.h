// Power-cut sweeps in one process: boot a machine folder, cut the power at
// a chosen event, boot the same folder again, and judge each cut by what an
// uninterrupted session leaves. Used by `dlupdate sweep` and the tests.
#pragma once

#include "host/machine/MachineState.h"
#include "tools/run/SessionRunner.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace dlrun {

// The power-cut events by name, in the registry's order (host/FaultNames.h):
// every event there is swept.
std::vector<std::string> cutEvents();

// One boot of a machine folder with the key script, faults and cut given.
struct BootRecord {
    int status = 0;
    std::string console;                // the module's console
    std::string trace;                  // the panel trace, JSON lines
    std::string err;                    // the host's lines
    std::map<std::string, long> events; // events of each kind the boot went through
    std::map<std::string, long> calls;  // calls by fault name, when counted
    bool stalled() const { return status == kStalled; }
};

// Where the session had got to when a boot ended: what it left unfinished.
struct Progress {
    bool flashTouched = false; // the flash was erased
    bool flashDone = false;    // the rewrite said it was done
    bool hddBegun = false;     // the HDD work showed its title
    bool hddDone = false;      // the HDD work showed "Completed"
};
Progress progressOf(const BootRecord &boot);

// The rewrite flags a cut must leave, given the flags the boot found.
// `exact` is false for a cut in nvram-clear, where a finished target's flag
// may still stand: then `flags` must hold `required` and lie within
// `allowed`.
struct FlagRule {
    std::uint32_t required = 0;
    std::uint32_t allowed = 0;
    bool exact = true;
    bool someFlag = false; // at least one flag stands
    bool accepts(std::uint32_t flags) const;
};
FlagRule expectedFlags(std::uint32_t flagsAtBoot, const BootRecord &boot, const std::string &cutEvent);
// After a boot that a fault ended: a target touched and not finished keeps
// its flag; a finished one never does, unless the fault is in the clear
// itself; one begun but untouched may.
FlagRule expectedFlagsAfterFault(const BootRecord &boot, const std::string &faultName);

// "FLASH_REWRITE" / "HDD_UPDATE" / "FLASH_REWRITE+HDD_UPDATE" / "none".
std::string describeFlags(std::uint32_t flags);

// The call (from 0) that try `t` of `tries` fails, of a name called `n`
// times: spread evenly, the first and the last call always among them.
long spreadCall(long t, long tries, long n);

class Sweeper {
public:
    struct Options {
        std::filesystem::path media;
        std::filesystem::path work; // scratch folder, made and emptied here
        std::string keys = "ok";
        Entry entry;
        // The command the sessions speak for on their lines.
        std::string speaker = "dlupdate";
    };
    explicit Sweeper(Options options);

    // The uninterrupted session, on a fresh machine; false (with `why`)
    // when it completes but goes through no cut point: nothing to sweep.
    // A session that does not complete is swept all the same: its cut
    // points are judged against its own ending (failure() says why).
    bool prepare(std::string &why);
    bool completed() const { return failure_.empty(); }
    const std::string &failure() const { return failure_; }
    const BootRecord &reference() const { return reference_; }
    const host::MachineState &referenceState() const { return referenceState_; }

    // One row of a sweep: a sequence of cuts, each judged, then a boot that
    // must finish and leave the machine as the reference does.
    struct Row {
        std::vector<std::string> cuts;    // "archiver:3", in order
        std::vector<std::string> reached; // for each cut: "" or why it was not
        std::vector<std::uint32_t> flagsAfter;
        std::string interrupted; // of the last cut: what it left unfinished
        int finalStatus = -1;
        bool finished = false; // returned 0, flags clear, update mode off
        bool sameAsUninterrupted = false;
        std::vector<std::string> problems;
        bool passed() const { return problems.empty(); }
        // "archiver:3" or "archiver:3,unit:1"; "uninterrupted" for no cut
        std::string name() const;
    };

    // The uninterrupted session as a row: it fails when it did not complete.
    Row uninterrupted() const;

    // A fresh machine: each of `cuts` in its own boot, then a finishing
    // boot. A cut a boot never reaches is a problem unless `mayMiss`.
    Row run(const std::vector<std::string> &cuts, bool mayMiss = false);

    // Every cut point of the reference session, each then finished; calls
    // `progress` after each with (done, total).
    std::vector<Row> singles(const std::function<void(long, long)> &progress = {});
    // Every cut point of the reference session, then every cut point of the
    // boot that recovers from it, then a boot that finishes. Calls
    // `progress` after each first cut with (done, total). `firstKind`, when
    // given, keeps the first cuts to that kind of event; of those, part
    // `part` of `parts` (every parts-th, from the part-th), so that a long
    // kind can be swept in pieces side by side.
    std::vector<Row> pairs(const std::function<void(long, long)> &progress = {},
                           const std::string &firstKind = "", int part = 0, int parts = 1);
    // `count` sequences of one to `maxCuts` cuts, drawn from `seed`; cut
    // points past a boot's end are allowed (that boot then finishes).
    std::vector<Row> random(unsigned seed, int count, int maxCuts);

    // Every call of the reference session by fault name ("malloc",
    // "open@/usbstor/0/fwstore/1", "spawn.tdlFirmHdUpdate", ...).
    std::map<std::string, long> census();
    // Each call of each name failing alone (NAME:K:1), then the name failing
    // from its first call on (NAME): the boot ends with a documented status
    // (a stall is reported in `reached`), the flags name what is unfinished,
    // and a boot without faults finishes as the reference. `perName` > 0
    // tries that many calls of each name, spread evenly, not all; < 0 only
    // the name failing for good.
    std::vector<Row> faultSweep(const std::map<std::string, long> &calls, long perName = 0,
                                const std::function<void(long, long)> &progress = {});

    // The events of the reference session, kind by kind.
    long events(const std::string &kind) const;
    long cutPoints() const;

    // Finishing boots not run again: their machine folder was, file for
    // file, one that a finishing boot had already started from, and a boot
    // is a function of its folder, media and keys.
    long finishesReused() const { return finishesReused_; }

    // A signal came (SIGTERM, SIGINT): each sweep returns the rows it
    // finished before it, the row in hand left out.
    static bool stopped();

private:
    BootRecord boot(const std::filesystem::path &machine, const std::string &cut,
                    const std::vector<std::string> &faults = {}, bool census = false) const;
    void freshMachine(const std::filesystem::path &machine) const;
    bool cutBoot(const std::filesystem::path &machine, const std::string &cut, bool mayMiss, Row &row,
                 BootRecord *out = nullptr) const;
    void finish(const std::filesystem::path &machine, Row &row, BootRecord *out = nullptr);

    // How a finishing boot from a given machine folder ended.
    struct Finished {
        int status = 0;
        bool finished = false;
        bool same = false;
        std::vector<std::string> problems;
    };

    Options o_;
    std::map<std::string, Finished> finishes_; // by the folder's digest
    long finishesReused_ = 0;
    BootRecord reference_;
    host::MachineState referenceState_;
    std::string failure_; // why the uninterrupted session did not complete
    std::filesystem::path fresh_;
};

} // namespace dlrun
