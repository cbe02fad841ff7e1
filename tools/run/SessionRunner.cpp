#include "tools/run/SessionRunner.h"

#include "tools/run/ModuleImage.h"

#include "host/Machine.h"
#include "host/kernel/RunInTask.h"
#include "host/machine/Keys.h"
#include "host/machine/MachineFolder.h"
#include "host/machine/Panel.h"
#include "host/machine/Terminal.h"
#include "tools/run/OutputPaths.h"
#include "tools/run/RunReport.h"
#include "tools/progress/Progress.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <fcntl.h>
#include <unistd.h>

namespace dlrun {

namespace fs = std::filesystem;

SessionEnd classify(bool exited, int value)
{
    if (exited)
        return {"exit(" + std::to_string(value) + ")", value == 0 ? kExit0 : kExit1};
    return {"returned " + std::to_string(value), value == 0 ? kReturned0 : kReturnedFailure};
}

namespace {

// The folders no output of a run may land in.
std::vector<GuardedFolder> guardedFolders(const RunOptions &o)
{
    return {{o.machine, "the machine folder"}, {o.media, "the media folder"}};
}

// Everything a usage error can be found in, checked before anything runs.
bool checkUsage(const RunOptions &o, std::ostream &err, std::vector<host::KeyEntry> &keys)
{
    try {
        if (o.media.empty() || o.machine.empty())
            throw std::invalid_argument("--media and --machine are required");
        if (o.sessions < 1)
            throw std::invalid_argument("--sessions must be 1 or more");
        if (o.keysGiven && o.interactiveGiven && o.interactive)
            throw std::invalid_argument("--keys and --interactive exclude each other");
        if (o.interactiveGiven && o.interactive && !::isatty(0))
            throw std::invalid_argument("--interactive takes the keys from a terminal on standard input, "
                                        "and it is not one; give the keys with --keys LIST");
        host::Faults scratch;
        for (const auto &f : o.faults)
            scratch.add(f);
        if (!o.powerCut.empty())
            scratch.setPowerCut(o.powerCut);
        if (o.keysGiven)
            keys = host::KeyScript::parse(o.keys);
        const std::vector<GuardedFolder> guarded = guardedFolders(o);
        for (const auto &[option, file] :
             {std::pair<const char *, const std::string &>{"--panel", o.panelFile},
              {"--panel-trace", o.traceFile},
              {"--ramdisk-out", o.ramdiskOut},
              {"--report", o.reportFile}})
            if (auto why = outputInsideFolder(option, file, guarded))
                throw std::invalid_argument(*why);
    } catch (const std::invalid_argument &e) {
        err << "dlupdate run: " << e.what() << "\n";
        return false;
    }
    return true;
}

// Where an output will be written must exist and take a new file or
// folder; found out before anything runs, so a long run is not lost to a
// typo in an output path.
std::string whyNotWritable(const fs::path &path, bool folder)
{
    std::error_code ec;
    if (fs::exists(path, ec)) {
        if (folder != fs::is_directory(path, ec))
            return folder ? "it is not a folder" : "it is a folder";
        if (::access(path.c_str(), W_OK) != 0)
            return "it is not writable";
        return "";
    }
    fs::path parent = fs::absolute(path, ec).parent_path();
    if (folder) {
        // A missing folder is made with its parents: the nearest one there
        // must be a writable folder.
        while (!parent.empty() && !fs::exists(parent, ec) && parent != parent.parent_path())
            parent = parent.parent_path();
    }
    if (!fs::is_directory(parent, ec))
        return "its folder " + parent.string() + " does not exist";
    if (::access(parent.c_str(), W_OK) != 0)
        return "its folder " + parent.string() + " is not writable";
    return "";
}

bool checkOutputs(const RunOptions &o, std::ostream &err)
{
    struct Output {
        const char *option;
        const std::string &path;
        bool folder;
    } outputs[] = {{"--panel", o.panelFile, false},
                   {"--ramdisk-out", o.ramdiskOut, true},
                   {"--report", o.reportFile, false}};
    for (const auto &out : outputs) {
        if (out.path.empty())
            continue;
        std::string why = whyNotWritable(out.path, out.folder);
        if (!why.empty()) {
            err << "dlupdate run: cannot write " << out.option << " " << out.path << ": " << why << "\n";
            return false;
        }
    }
    return true;
}

// The machine folder as `run` finds it: made when missing or empty.
bool prepareFolders(const RunOptions &o, std::ostream &err)
{
    std::error_code ec;
    if (!fs::is_directory(o.media, ec)) {
        err << "dlupdate run: media folder " << o.media << " is not a folder\n";
        return false;
    }
    try {
        if (host::MachineFolder::missingOrEmpty(o.machine))
            host::MachineFolder::init(o.machine);
        else
            host::MachineFolder::validate(o.machine);
    } catch (const host::MachineFolderError &e) {
        err << "dlupdate run: " << e.what() << "\n";
        return false;
    }
    return true;
}

void reportStall(const host::Quiescence &q, int session, std::ostream &err)
{
    err << "session " << session << ": stalled: every task waits and nothing can wake one\n";
    for (const auto &w : q.waiting)
        err << "  task " << w.taskName << " (id " << w.taskId << ", priority " << w.priority
            << ") waits: " << w.waitsOn << "\n";
}

// For power-cut sweeps: how many events of each kind the run went through,
// every kind named, so that a script knows each N it may cut at.
void reportEvents(const host::Faults &faults, std::ostream &err)
{
    err << "events:";
    for (const char *kind : {"flash-erase", "flash-write", "archiver", "unit", "nvram-set", "nvram-clear"}) {
        auto it = faults.eventCounts().find(kind);
        err << " " << kind << "=" << (it == faults.eventCounts().end() ? 0 : it->second);
    }
    err << "\n" << std::flush;
}

// Where the live panel is drawn: standard output when it is a terminal,
// else the terminal the keys come from, so that a piped console stays the
// console alone. -1 when there is none.
int openPanelTerminal(bool &opened)
{
    opened = false;
    if (::isatty(1))
        return 1;
    const char *name = ::ttyname(0);
    for (const char *path : {"/dev/tty", name})
        if (path) {
            int fd = ::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
            if (fd >= 0 && ::isatty(fd)) {
                opened = true;
                return fd;
            }
            if (fd >= 0)
                ::close(fd);
        }
    return -1;
}

void reportCutNotReached(const host::Faults &faults, std::ostream &err)
{
    const std::string &event = faults.powerCutEvent();
    auto it = faults.eventCounts().find(event);
    long seen = it == faults.eventCounts().end() ? 0 : it->second;
    err << "dlupdate run: power cut " << event << ":" << faults.powerCutAt() << " not reached: the run made "
        << seen << " " << event << (seen == 1 ? " event" : " events") << "\n"
        << std::flush;
}

} // namespace

namespace {

// The key-script entries never pressed, as written in --keys.
std::string unusedKeys(const std::string &list, std::size_t used)
{
    std::vector<std::string> entries;
    std::size_t from = 0;
    while (from <= list.size()) {
        std::size_t comma = std::min(list.find(',', from), list.size());
        entries.push_back(list.substr(from, comma - from));
        from = comma + 1;
    }
    std::string rest;
    for (std::size_t i = used; i < entries.size(); ++i)
        rest += (rest.empty() ? "" : ",") + entries[i];
    return rest;
}

// Everything a run leaves besides its exit status. Written once, on every
// ending: the sessions' end, a stall, the keyboard and a power cut.
class RunEnd {
public:
    RunEnd(const RunOptions &o, host::Machine &machine, std::ostream &err)
        : o_(o), machine_(machine), err_(err)
    {}
    void setRecord(RunRecord *record) { record_ = record; }
    void setScript(host::KeyScript *script) { script_ = script; }
    void setReportingEvents(bool on) { reportingEvents_ = on; }

    // Writes the outputs and says what the run left undone; the status to
    // exit with (an output that could not be written turns 0 into 7).
    int finish(int status)
    {
        if (finished_)
            return status;
        finished_ = true;
        const bool cut = status == kPowerCut;
        if (record_ && record_->sessionOpen())
            record_->endSession(cut ? "power cut" : "keyboard", status);
        std::vector<std::string> failed;
        if (!o_.panelFile.empty()) {
            std::ofstream out(o_.panelFile, std::ios::trunc);
            out << machine_.panel().dump();
            if (!out.flush()) {
                err_ << "dlupdate run: cannot write the panel to " << o_.panelFile << "\n";
                failed.push_back("--panel " + o_.panelFile);
            }
        }
        if (!o_.traceFile.empty() && machine_.panel().traceFailed()) {
            err_ << "dlupdate run: the panel trace " << o_.traceFile << " is incomplete\n";
            failed.push_back("--panel-trace " + o_.traceFile);
        }
        // The folder may hold the machine or media folder; what the RAM
        // disk names must still not land inside them.
        std::string refused;
        const std::vector<GuardedFolder> guarded = guardedFolders(o_);
        auto refuse = [&](const fs::path &to) {
            if (auto why = outputInsideFolder("--ramdisk-out", to, guarded))
                refused = *why;
            return !refused.empty();
        };
        if (!o_.ramdiskOut.empty() && !machine_.copyRamDiskOut(o_.ramdiskOut, refuse)) {
            if (!refused.empty())
                err_ << "dlupdate run: " << refused << "\n";
            err_ << "dlupdate run: cannot copy the RAM disk out to " << o_.ramdiskOut << "\n";
            failed.push_back("--ramdisk-out " + o_.ramdiskOut);
        }
        if (reportingEvents_)
            reportEvents(machine_.faults(), err_);
        // A cut the run never came to would otherwise pass for a clean run.
        if (!cut && !machine_.faults().powerCutEvent().empty())
            reportCutNotReached(machine_.faults(), err_);
        // So would a fault that never fired.
        for (const auto &r : machine_.faults().records())
            if (r.fired == 0)
                err_ << "dlupdate run: fault " << r.spec << " never fired: " << host::Faults::whyNeverFired(r)
                     << "\n";
        if (!cut && script_ && script_->used() < script_->size()) {
            std::size_t left = script_->size() - script_->used();
            err_ << "dlupdate run: " << left << " key-script " << (left == 1 ? "entry" : "entries")
                 << " left unused: " << unusedKeys(o_.keys, script_->used()) << "\n";
        }
        int final = status;
        if (!failed.empty() && final == kReturned0)
            final = kOutputFailed;
        if (record_ && !o_.reportFile.empty()) {
            std::ofstream out(o_.reportFile, std::ios::trunc);
            out << record_->document(final, failed).dump(2) << "\n";
            if (!out.flush()) {
                err_ << "dlupdate run: cannot write the report to " << o_.reportFile << "\n";
                if (final == kReturned0)
                    final = kOutputFailed;
            }
        }
        err_ << std::flush;
        return final;
    }

private:
    const RunOptions &o_;
    host::Machine &machine_;
    std::ostream &err_;
    RunRecord *record_ = nullptr;
    host::KeyScript *script_ = nullptr;
    bool reportingEvents_ = false;
    bool finished_ = false;
};

// The HDD package files the module will find: 1, 2, ... in the media's
// firmware folder, or at its top when there is none.
int countHddFiles(const fs::path &media)
{
    std::error_code ec;
    fs::path dir = fs::is_directory(media / "fwstore", ec) ? media / "fwstore" : media;
    int n = 0;
    while (fs::is_regular_file(dir / std::to_string(n + 1), ec))
        ++n;
    return n;
}

std::string describeProgress(const host::Progress &p, int hddFiles)
{
    std::string text = "dlupdate run: " + (p.phase.empty() ? std::string("starting") : p.phase);
    if (p.phase == "HDD" && p.hddFile > 0) {
        text += " file " + std::to_string(p.hddFile) + " of " + std::to_string(hddFiles);
        text += "  " + progress::Line::bar(p.hddFile - 1, std::max(hddFiles, 1), 10);
    }
    if (p.inflated > 0)
        text += "  " + progress::Line::bytes(p.inflated) + " inflated";
    return text;
}

} // namespace

int runSessions(const RunOptions &o, const Entry &entry, std::ostream &err)
{
    std::vector<host::KeyEntry> keyEntries;
    if (!checkUsage(o, err, keyEntries))
        return kUsage;
    if (!checkOutputs(o, err))
        return kUsage;
    if (!prepareFolders(o, err))
        return kUnusable;

    // Each boot finds the module as the device's loader leaves it.
    coldStartModule();
    host::MachineConfig config;
    config.media = o.media;
    config.folder = o.machine;
    std::unique_ptr<host::Machine> machine;
    try {
        machine = std::make_unique<host::Machine>(config);
    } catch (const std::exception &e) {
        err << "dlupdate run: the machine in " << o.machine << " cannot be used: " << e.what() << "\n";
        return kUnusable;
    }
    host::MachineBinding binding(*machine);
    machine->console().setReports([&err](std::string_view s) { err << s << std::flush; });
    for (const auto &f : o.faults)
        machine->faults().add(f);
    if (!o.powerCut.empty())
        machine->faults().setPowerCut(o.powerCut);
    const char *wantEvents = std::getenv("DLUPDATE_EVENTS");
    RunEnd ending(o, *machine, err);
    ending.setReportingEvents(wantEvents && *wantEvents);
    if (o.listEvents || (wantEvents && std::string_view(wantEvents) == "2")) {
        // A fault point that is also an event (archiver) is listed once.
        auto last = std::make_shared<std::string>();
        machine->faults().setListener([&err, last](std::string_view name, long n, std::string_view arg) {
            std::string line = std::string(name) + " #" + std::to_string(n);
            if (!arg.empty())
                line += ": " + std::string(arg);
            if (line != *last)
                err << line << "\n";
            *last = std::move(line);
        });
    }

    if (!o.traceFile.empty() && !machine->panel().enableTrace(fs::path(o.traceFile))) {
        err << "dlupdate run: cannot write the panel trace " << o.traceFile << "\n";
        return kUsage;
    }
    std::unique_ptr<RunRecord> record;
    if (!o.reportFile.empty()) {
        record = std::make_unique<RunRecord>(*machine);
        ending.setRecord(record.get());
    }
    if (o.onBoot)
        o.onBoot(*machine);

    std::optional<host::KeyScript> script;
    if (o.keysGiven) {
        script.emplace(machine->keys(), keyEntries);
        script->attach();
        ending.setScript(&*script);
    }
    bool interactive = o.interactiveGiven ? o.interactive : (!o.keysGiven && ::isatty(0));
    std::atomic<bool> quit{false};
    std::unique_ptr<host::Terminal> terminal;
    bool panelFdOpened = false;
    int panelFd = interactive ? openPanelTerminal(panelFdOpened) : -1;
    if (interactive && panelFd < 0) {
        err << "dlupdate run: no terminal to draw the panel on: the live panel is off\n" << std::flush;
        interactive = false;
    }
    // Off the live panel, long work shows one line of progress on a
    // terminal's standard error; reports and endings clear it first.
    std::optional<progress::Line> line;
    std::string lineText;
    bool consoleAtLineStart = true;
    if (!interactive && ::isatty(2)) {
        line.emplace(2);
        const int hddFiles = countHddFiles(o.media);
        machine->watchProgress([&, hddFiles](const host::Progress &p) {
            lineText = describeProgress(p, hddFiles);
            if (consoleAtLineStart)
                line->show(lineText);
        });
        // The console may share the terminal: the line is never drawn into
        // the middle of one of its lines.
        machine->console().setOutputGuard([&line] { line->clear(); },
                                          [&](std::string_view text) {
                                              consoleAtLineStart =
                                                  text.empty() ? consoleAtLineStart : text.back() == '\n';
                                              std::fflush(stdout);
                                              if (consoleAtLineStart && !lineText.empty())
                                                  line->show(lineText, true);
                                          });
        machine->console().setReports([&err, &line](std::string_view s) {
            line->clear();
            err << s << std::flush;
        });
        // A cut ends the run through its usual path, which writes the
        // outputs; the line goes at once.
        machine->faults().setCutAction([&line] { line->clear(); });
    }
    if (interactive) {
        host::Terminal::Options view;
        view.outputFd = panelFd;
        // A second 'q' during the update ends the run as a power cut does;
        // the run then ends through its usual path, the keyboard restored.
        view.onPowerCut = [&machine] { machine->faults().cutPower("from the keyboard"); };
        terminal = std::make_unique<host::Terminal>(
            machine->panel(), machine->keys(), machine->kernel(),
            [&] {
                quit = true;
                machine->kernel().interrupt();
            },
            std::move(view));
    }

    int status = kReturned0;
    for (int session = 1; session <= o.sessions; ++session) {
        if (record)
            record->beginSession(session);
        auto result = std::make_shared<int>(0);
        const host::TaskOutcome run =
            host::runInTask(machine->kernel(), [result, &entry] { *result = entry(); });
        const host::Quiescence &q = run.quiescence;
        if (line)
            line->clear();
        if (q.powerCut) {
            // The outputs are written as things stood when the power went;
            // the cut's own line comes last.
            status = kPowerCut;
            break;
        }
        if (quit) {
            machine->keepHeldMemory();
            err << "session " << session << ": ended from the keyboard\n";
            status = kKeyboard;
            if (record)
                record->endSession("keyboard", status);
            break;
        }
        const auto &end = run.end;
        if (!end) {
            machine->keepHeldMemory();
            reportStall(q, session, err);
            if (!o.keysGiven && !interactive)
                for (const auto &w : q.waiting)
                    if (w.waitsOn.find("key focus") != std::string::npos) {
                        err << "dlupdate run: no key script and no terminal: the menu waits for "
                               "a key; pass --keys\n";
                        break;
                    }
            status = kStalled;
            if (record)
                record->endSession("stalled", status, q.waiting);
            break;
        }
        // exit() ends the task where it stands, as on the device: what it
        // held stays held, and is no leak of the run.
        if (end->exited)
            machine->keepHeldMemory();
        SessionEnd s = classify(end->exited, end->exited ? end->status : *result);
        err << "session " << session << ": " << s.summary << "\n" << std::flush;
        status = s.status;
        if (record)
            record->endSession(s.summary, status);
    }
    terminal.reset();
    if (panelFdOpened)
        ::close(panelFd);
    machine->console().flush();
    status = ending.finish(status);
    if (script)
        script->detach();
    if (status == kPowerCut)
        err << "power cut " << machine->powerCutWhat() << "\n" << std::flush;
    if (o.onEnd)
        o.onEnd(*machine);
    return status;
}

} // namespace dlrun
