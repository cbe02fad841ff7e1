// What `dlupdate run --report` writes: one JSON document per run, made
// from what the machine showed while the sessions ran (console, panel,
// NVRAM, faults) and from the machine folder at the end.
#pragma once

#include "host/kernel/Kernel.h"
#include "host/machine/Panel.h"
#include "tools/run/MediaSurvey.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace host {
class Machine;
}

namespace dlrun {

// "interrupted by signal 15": a session's ending and the run's.
std::string interruptedBy(int signal);

class RunRecord {
public:
    // Takes over the machine's console output (still written to `console`:
    // standard error when standard output carries the report) and watches
    // the panel; the machine must outlive the record.
    explicit RunRecord(host::Machine &machine, std::FILE *console = stdout);
    ~RunRecord();
    RunRecord(const RunRecord &) = delete;
    RunRecord &operator=(const RunRecord &) = delete;

    void beginSession(int number);
    // Closes the open session, if any. `ending` is the summary word
    // ("returned 0", "exit(1)", "stalled", "power cut", "keyboard").
    void endSession(const std::string &ending, int status, const std::vector<host::Waiter> &stalled = {});
    bool sessionOpen() const { return open_; }
    // What the media offered the module, for the report's "media".
    void setMedia(const MediaSurvey &survey);

    // The whole document; `outputErrors` are outputs that could not be
    // written, `signal` the one that interrupted the run (0: none).
    nlohmann::ordered_json document(int status, const std::vector<std::string> &outputErrors,
                                    int signal = 0) const;

private:
    std::FILE *consoleTo_;
    struct Nv {
        std::uint32_t flags = 0, mode = 0;
    };
    Nv readNvram() const;
    void watchMenu();

    host::Machine &machine_;
    mutable std::mutex mutex_; // console text and menu marks, written by tasks
    std::string console_;
    std::size_t sessionStart_ = 0;
    bool menuSeen_ = false;
    std::uint32_t marks_ = 0;
    bool open_ = false;
    int number_ = 0;
    Nv before_;
    host::Panel::Subscription subscription_;
    nlohmann::ordered_json sessions_ = nlohmann::ordered_json::array();
    nlohmann::ordered_json media_;
};

} // namespace dlrun
