#include "tools/run/SessionRunner.h"

#include "host/Machine.h"
#include "host/kernel/RunInTask.h"
#include "host/machine/Keys.h"
#include "host/machine/MachineFolder.h"
#include "tools/common/JsonFormat.h"
#include "tools/common/OutputFile.h"
#include "tools/run/ColdStart.h"
#include "tools/run/Interrupts.h"
#include "tools/run/OutputPaths.h"
#include "tools/run/RunObservers.h"
#include "tools/run/RunReport.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
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

// Where an output will be written must exist and take a new file or
// folder; found out before anything runs, so a long run is not lost to a
// typo in an output path.
std::string whyNotWritable(const fs::path &path, bool folder)
{
    if (!folder)
        return dltool::OutputFile::whyNotWritable(path.string());
    std::error_code ec;
    if (fs::exists(path, ec)) {
        if (!fs::is_directory(path, ec))
            return "it is not a folder";
        if (::access(path.c_str(), W_OK) != 0)
            return "it is not writable";
        return "";
    }
    // A missing folder is made with its parents: the nearest one there
    // must be a writable folder.
    fs::path parent = fs::absolute(path, ec).parent_path();
    while (!parent.empty() && !fs::exists(parent, ec) && parent != parent.parent_path())
        parent = parent.parent_path();
    if (!fs::is_directory(parent, ec))
        return "its folder " + parent.string() + " does not exist";
    if (::access(parent.c_str(), W_OK) != 0)
        return "its folder " + parent.string() + " is not writable";
    return "";
}

void reportStall(const host::Quiescence &q, int session, std::ostream &err)
{
    // Each line in one piece, so that no console text lands inside it.
    err << ("session " + std::to_string(session) + ": stalled: every task waits and nothing can wake one\n");
    for (const auto &w : q.waiting)
        err << ("  task " + w.taskName + " (id " + std::to_string(w.taskId) + ", priority " +
                std::to_string(w.priority) + ") waits: " + w.waitsOn + "\n");
}

// One run: prepared, booted, its sessions run one by one, then finished
// by the observers, each of which owns one concern.
class Run {
public:
    Run(const RunOptions &o, const Entry &entry, const dltool::Voice &voice)
        : o_(o), entry_(entry), voice_(voice)
    {}

    int execute()
    {
        if (!checkUsage() || !checkOutputs())
            return endedEarly(kUsage);
        if (!prepareFolders() || !boot())
            return endedEarly(kUnusable);
        for (auto &obs : observers_)
            if (!obs->boot(*machine_))
                return endedEarly(kUsage);
        int status = kReturned0;
        for (int session = 1; session <= o_.sessions && !Interrupts::caught(); ++session)
            if (!runSession(session, status))
                break;
        return finish(status);
    }

private:
    // Everything a usage error can be found in, checked before anything runs.
    bool checkUsage()
    {
        try {
            if (o_.media.empty() || o_.machine.empty())
                throw std::invalid_argument("--media and --machine are required");
            if (o_.sessions < 1)
                throw std::invalid_argument("--sessions must be 1 or more");
            if (o_.keysGiven && o_.interactiveGiven && o_.interactive)
                throw std::invalid_argument("--keys and --interactive exclude each other");
            if (o_.interactiveGiven && o_.interactive && !::isatty(0))
                throw std::invalid_argument("--interactive takes the keys from a terminal on standard input, "
                                            "and it is not one; give the keys with --keys LIST");
            host::Faults scratch;
            for (const auto &f : o_.faults)
                scratch.add(f);
            if (!o_.powerCut.empty())
                scratch.setPowerCut(o_.powerCut);
            if (o_.keysGiven)
                host::KeyScript::parse(o_.keys);
            if ((o_.panelFile == "-") + (o_.traceFile == "-") + (o_.reportFile == "-") > 1)
                throw std::invalid_argument("only one output can go to standard output (-)");
            const std::vector<GuardedFolder> guarded = guardedFolders(o_);
            for (const auto &[option, file] :
                 {std::pair<const char *, const std::string &>{"--panel", o_.panelFile},
                  {"--panel-trace", o_.traceFile},
                  {"--ramdisk-out", o_.ramdiskOut},
                  {"--report", o_.reportFile}})
                if (auto why = outputInsideFolder(option, file, guarded))
                    throw std::invalid_argument(*why);
        } catch (const std::invalid_argument &e) {
            refuse(e.what());
            return false;
        }
        return true;
    }

    bool checkOutputs()
    {
        const struct {
            const char *option;
            const std::string &path;
            bool folder;
        } outputs[] = {{"--panel", o_.panelFile, false},
                       {"--panel-trace", o_.traceFile, false},
                       {"--ramdisk-out", o_.ramdiskOut, true},
                       {"--report", o_.reportFile, false}};
        for (const auto &out : outputs) {
            if (out.path.empty() || out.path == "-")
                continue;
            std::string why = whyNotWritable(out.path, out.folder);
            if (!why.empty()) {
                refuse("cannot write " + std::string(out.option) + " " + out.path + ": " + why);
                return false;
            }
        }
        return true;
    }

    // A line of the run's own that ends it before any session.
    void refuse(const std::string &why)
    {
        voice_.say() << why << "\n";
        why_ = why;
    }

    // Ended before any session: no output of an earlier run may pass for
    // this one's. The report says why; a panel or trace is removed. An
    // output that is itself the fault, or lies where it would clobber a
    // folder, is left alone.
    int endedEarly(int status)
    {
        const std::vector<GuardedFolder> guarded = guardedFolders(o_);
        auto usable = [&](const std::string &file) {
            return !file.empty() && !outputInsideFolder("", file, guarded) &&
                   (file == "-" || whyNotWritable(file, false).empty());
        };
        if (usable(o_.reportFile)) {
            std::string why;
            const auto doc = dltool::endedEarly(dltool::kRunReportFormat, status,
                                                why_.empty() ? "an output could not be opened" : why_);
            if (!dltool::OutputFile::write(o_.reportFile, doc.dump(2) + "\n", why))
                voice_.say() << "cannot write the report to " << o_.reportFile << ": " << why << "\n";
        }
        for (const std::string *file : {&o_.panelFile, &o_.traceFile})
            if (usable(*file) && dltool::OutputFile::removeStale(*file))
                voice_.say() << "removed " << *file << ", an earlier run's: this run drew nothing\n";
        return status;
    }

    // The machine folder as `run` finds it: made when missing or empty.
    bool prepareFolders()
    {
        std::error_code ec;
        if (!fs::is_directory(o_.media, ec)) {
            refuse("media folder " + o_.media + " is not a folder");
            return false;
        }
        try {
            if (host::MachineFolder::missingOrEmpty(o_.machine))
                host::MachineFolder::init(o_.machine);
            else
                host::MachineFolder::validate(o_.machine);
        } catch (const host::MachineFolderError &e) {
            refuse(e.what());
            return false;
        }
        return true;
    }

    bool boot()
    {
        // Each boot finds the module as the device's loader leaves it.
        coldStartModule();
        host::MachineConfig config;
        config.media = o_.media;
        config.folder = o_.machine;
        try {
            machine_ = std::make_unique<host::Machine>(config);
        } catch (const std::exception &e) {
            refuse("the machine in " + o_.machine + " cannot be used: " + e.what());
            return false;
        }
        binding_.emplace(*machine_);
        std::ostream &err = voice_.stream();
        machine_->console().setReports([&err](std::string_view s) { err << s << std::flush; });
        // Standard output then carries one JSON document alone.
        if (o_.reportFile == "-" || o_.panelFile == "-" || o_.traceFile == "-")
            machine_->console().setOutput(
                [](std::string_view s) { std::fwrite(s.data(), 1, s.size(), stderr); });
        for (const auto &f : o_.faults)
            machine_->faults().add(f);
        if (!o_.powerCut.empty())
            machine_->faults().setPowerCut(o_.powerCut);
        observers_ = makeObservers(o_, voice_, interactive_);
        return true;
    }

    // One session in the session task; false when the run ends with it.
    bool runSession(int session, int &status)
    {
        std::ostream &err = voice_.stream();
        for (auto &obs : observers_)
            obs->beginSession(session);
        auto result = std::make_shared<int>(0);
        const Entry &entry = entry_;
        const host::TaskOutcome run = [&] {
            // A signal takes the power as the keyboard does: the machine
            // stops at its next switch, and the outputs are written below.
            host::Machine &m = *machine_;
            const Interrupts::Watch watch(
                [&m](int sig) { m.faults().cutPower("on signal " + std::to_string(sig)); });
            return host::runInTask(m.kernel(), [result, &entry] { *result = entry(); });
        }();
        const host::Quiescence &q = run.quiescence;
        for (auto &obs : observers_)
            obs->kernelStopped();
        if (q.powerCut) {
            // The outputs are written as things stood when the power went;
            // the cut's own line comes last.
            status = kPowerCut;
            return false;
        }
        if (quitAsked()) {
            machine_->keepHeldMemory();
            err << ("session " + std::to_string(session) + ": ended from the keyboard\n");
            status = kKeyboard;
            endSession("keyboard", status, {});
            return false;
        }
        const auto &end = run.end;
        if (!end) {
            machine_->keepHeldMemory();
            reportStall(q, session, err);
            if (!o_.keysGiven && !interactive_)
                for (const auto &w : q.waiting)
                    if (w.waitsOn.find("key focus") != std::string::npos) {
                        voice_.say()
                            << "no key script and no terminal: the menu waits for a key; pass --keys\n";
                        break;
                    }
            status = kStalled;
            endSession("stalled", status, q.waiting);
            return false;
        }
        // exit() ends the task where it stands, as on the device: what it
        // held stays held, and is no leak of the run.
        if (end->exited)
            machine_->keepHeldMemory();
        SessionEnd s = classify(end->exited, end->exited ? end->status : *result);
        // One piece, so that no console text lands inside it.
        err << ("session " + std::to_string(session) + ": " + s.summary + "\n") << std::flush;
        status = s.status;
        endSession(s.summary, status, {});
        return true;
    }

    bool quitAsked() const
    {
        for (const auto &obs : observers_)
            if (obs->quitAsked())
                return true;
        return false;
    }

    void endSession(const std::string &summary, int status, const std::vector<host::Waiter> &stalled)
    {
        for (auto &obs : observers_)
            obs->endSession(summary, status, stalled);
    }

    // Everything a run leaves besides its exit status, written on every
    // ending: the sessions' end, a stall, the keyboard and a power cut.
    int finish(int status)
    {
        for (auto &obs : observers_)
            obs->stop();
        machine_->console().flush();
        RunEnding ending;
        ending.status = status;
        ending.signal = Interrupts::caught();
        for (auto &obs : observers_)
            obs->finish(ending);
        voice_.stream() << std::flush;
        for (auto &obs : observers_)
            obs->detach();
        if (ending.interrupted())
            voice_.stream() << (voice_.path() + ": " + interruptedBy(ending.signal) + "\n") << std::flush;
        else if (ending.cut())
            voice_.stream() << ("power cut " + machine_->powerCutWhat() + "\n") << std::flush;
        if (o_.onEnd)
            o_.onEnd(*machine_);
        return ending.final();
    }

    const RunOptions &o_;
    const Entry &entry_;
    const dltool::Voice &voice_;
    // In the order they go: the observers before the binding, the binding
    // before the machine.
    std::unique_ptr<host::Machine> machine_;
    std::optional<host::MachineBinding> binding_;
    Observers observers_;
    bool interactive_ = false;
    std::string why_; // what ended the run before any session
};

} // namespace

int runSessions(const RunOptions &o, const Entry &entry, const dltool::Voice &voice)
{
    const Interrupts catcher;
    return Run(o, entry, voice).execute();
}

} // namespace dlrun
