// Judging a session on damaged media against a session on the undamaged
// media: whatever the damage, an item the panel calls "Completed" must have
// left its target as the undamaged media leave it, every other item must
// say "Failed" or never have been offered, and the run must end on its own
// with a documented status, inside its machine folder.
#pragma once

#include "tools/common/UpdateScreen.h"
#include "tools/run/Sweep.h"

#include <array>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace dlrun {

const char *itemName(Item item); // "OS UI", "HDD", "LSR", "PFC", "Engine", "Scanner"

// How an item stands on the panel at the end of a session.
enum class ItemEnd {
    notRun,     // no row: not offered, not chosen or never reached
    completed,  // "Completed"
    failed,     // "Failed"
    unfinished, // its title, but neither word
};
const char *endName(ItemEnd end); // "-", "Completed", "Failed", "unfinished"

using ItemEnds = std::array<ItemEnd, kItems.size()>;

// The items as the update screen shows them (`--panel` dump); all notRun
// when the session never reached that screen.
ItemEnds itemEnds(const std::string &panel);

// One session as seen from outside its process.
struct SessionOutcome {
    int status = -1;            // exit status; -1 when it did not exit
    int signal = 0;             // the signal that ended it
    bool timedOut = false;      // killed at its time limit
    std::string panel;          // the panel at the end
    host::MachineState machine; // the machine folder after it
    std::string outside;        // what it wrote outside the machine folder; "" nothing
    std::string mediaChange;    // how the media changed; "" not at all
    std::string sanitizer;      // the first line of a sanitizer's report; "" none
};

// What differs from `was` to `is`, two maps of files by name: each name
// with the word for a file gone, changed or added, `most` names at most
// and then how many more.
struct FileWords {
    const char *gone;
    const char *changed;
    const char *added;
};
std::string fileDifferences(const std::map<std::string, std::string> &was,
                            const std::map<std::string, std::string> &is, const FileWords &words,
                            std::size_t most = static_cast<std::size_t>(-1));

// The first line of a sanitizer's report in a run's standard error; "".
std::string sanitizerReport(const std::string &err);

struct Judgement {
    ItemEnds items{};
    // The invariant broken, one line each; empty when it holds.
    std::vector<std::string> problems;
    // Targets of completed items unlike the reference's (also in problems
    // unless the damage is one the package format cannot show).
    std::vector<std::string> differences;
    bool passed() const { return problems.empty(); }
};

class DamageJudge {
public:
    // `fresh`: a new machine; `reference`: the machine after the session on
    // the undamaged media, with the same keys.
    DamageJudge(host::MachineState fresh, host::MachineState reference);

    // `detectable` false: damage the package format cannot show (a changed
    // name or version letter, image content outside packages), where a
    // completed item may rightly differ from the reference. The differences
    // are then reported but break nothing; the rest of the invariant holds.
    Judgement judge(const SessionOutcome &run, bool detectable = true) const;

    const host::MachineState &fresh() const { return fresh_; }
    const host::MachineState &reference() const { return reference_; }

private:
    host::MachineState fresh_;
    host::MachineState reference_;
};

// The state of a machine as `machine init` makes it, read from a folder
// made and removed under `scratch`.
host::MachineState freshMachineState(const std::filesystem::path &scratch);

} // namespace dlrun
