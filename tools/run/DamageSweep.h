// The damage sweep: damaged copies of a user's media, each run on a new
// machine and judged against a run of the undamaged media. Each session
// runs in a process of its own: the module's variables and the bound
// machine are one per process, and a crash or a hang of one row is that
// row's finding, not the end of the sweep.
#pragma once

#include "tools/run/Damage.h"
#include "tools/run/MediaDamage.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <sys/types.h>

namespace dlrun {

struct DamageRow {
    Damage damage;
    int status = -1;
    int signal = 0;
    bool timedOut = false;
    Judgement judgement;
    // Passed: the invariant holds (for undetectable damage, all of it but
    // the comparison of completed targets).
    bool passed() const { return judgement.passed(); }
    // "ok", "FAILED" or "undetectable".
    std::string result() const;
    // "0", "1", "signal 11", "killed"
    std::string ending() const;
};

class DamageSweep {
public:
    struct Options {
        std::filesystem::path media;
        std::filesystem::path work; // scratch folder, made here; the caller removes it
        std::string keys = "ok";
        std::uint32_t seed = 1;
        // 0: every damaged copy; else a sample of this many detectable ones,
        // drawn from `seed` a kind of damage at a time in turn, and every
        // undetectable one.
        std::size_t sample = 0;
        int jobs = 1; // sessions at once
        Entry entry;
        std::function<void(long, long)> progress; // (done, total)
        // The command the sessions speak for on their lines.
        std::string speaker = "dlupdate";
    };
    explicit DamageSweep(Options options);
    ~DamageSweep();

    // Reads the media, makes the pristine copy and runs the reference
    // session. False with `why` when nothing can be judged; `unusable` then
    // says whether the media folder itself is at fault.
    bool prepare(std::string &why, bool &unusable);
    const ItemEnds &referenceItems() const { return referenceItems_; }
    const std::vector<Damage> &damages() const { return damages_; }

    std::vector<DamageRow> run();

private:
    struct Running;
    // `inspect`: `dlupdate inspect --json` of the media beside the session,
    // into the row's inspect.json, to be compared with how the run ended.
    pid_t start(const std::filesystem::path &row, const std::filesystem::path &media,
                bool inspect = false) const;
    // A problem when inspect and the run disagree about the media: a run
    // that did not do all the reference did must be a problem for inspect,
    // and the reverse.
    std::string disagreement(const std::filesystem::path &row, const SessionOutcome &s,
                             bool detectable) const;
    SessionOutcome collect(const std::filesystem::path &row, int waitStatus, bool killed,
                           const std::map<std::string, std::string> &mediaBefore) const;
    // Writes row i's damaged media and starts its session into `running`;
    // false when no session process could be started.
    bool launch(std::size_t i, std::vector<Running> &running) const;
    // Judges the ended session `r` into `row` and removes its folder.
    void finish(DamageRow &row, const Running &r, int waitStatus) const;
    // Takes in each session of `running` that has ended, counting it in
    // `done`, and kills each one past its deadline; true when any ended.
    bool reapEnded(std::vector<Running> &running, std::vector<DamageRow> &rows, long &done) const;

    Options o_;
    std::unique_ptr<MediaImage> image_;
    std::unique_ptr<DamageJudge> judge_;
    std::vector<Damage> damages_;
    ItemEnds referenceItems_{};
    double limitSeconds_ = 120;
};

} // namespace dlrun
