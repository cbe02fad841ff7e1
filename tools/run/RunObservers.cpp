#include "tools/run/RunObservers.h"

#include "host/Machine.h"
#include "host/machine/Keys.h"
#include "host/machine/Panel.h"
#include "host/machine/Terminal.h"
#include "tools/common/OutputFile.h"
#include "tools/common/Colour.h"
#include "tools/progress/Progress.h"
#include "tools/run/MediaSurvey.h"
#include "tools/run/OutputPaths.h"
#include "tools/run/RunReport.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <fcntl.h>
#include <unistd.h>

namespace dlrun {

namespace fs = std::filesystem;

namespace {

// --panel FILE: the final panel.
class PanelFile : public RunObserver {
public:
    PanelFile(const RunOptions &o, const dltool::Voice &v) : file_(o.panelFile), voice_(v) {}
    void finish(RunEnding &ending) override
    {
        std::string why;
        if (!dltool::OutputFile::write(file_, machine().panel().dump(), why)) {
            voice_.say() << "cannot write the panel to " << file_ << "\n";
            ending.failedOutputs.push_back("--panel " + file_);
        }
    }

private:
    std::string file_;
    const dltool::Voice &voice_;
};

// --panel-trace FILE: every display call, as it comes, into a temporary
// name that becomes FILE at the end.
class PanelTrace : public RunObserver {
public:
    PanelTrace(const RunOptions &o, const dltool::Voice &v) : out_(o.traceFile), voice_(v) {}
    // The panel must not write into a gone stream.
    ~PanelTrace() override
    {
        if (booted())
            machine().panel().disableTrace();
    }
    bool start() override
    {
        if (out_.open()) {
            machine().panel().enableTrace(out_.stream());
            return true;
        }
        voice_.say() << "cannot write the panel trace " << out_.path() << ": " << out_.why() << "\n";
        return false;
    }
    void beginSession(int n) override { machine().panel().setTraceSession(n); }
    void finish(RunEnding &ending) override
    {
        const bool lost = machine().panel().traceFailed();
        machine().panel().disableTrace();
        if (!lost && out_.commit())
            return;
        voice_.say() << "cannot write the panel trace " << out_.path() << ": "
                     << (lost ? std::string("a line could not be written") : out_.why()) << "\n";
        ending.failedOutputs.push_back("--panel-trace " + out_.path());
    }

private:
    dltool::OutputFile out_;
    const dltool::Voice &voice_;
};

// --ramdisk-out DIR: the RAM disk copied out at the end.
class RamDiskOut : public RunObserver {
public:
    RamDiskOut(const RunOptions &o, const dltool::Voice &v) : o_(o), voice_(v) {}
    void finish(RunEnding &ending) override
    {
        // The folder may hold the machine or media folder; what the RAM
        // disk names must still not land inside them.
        std::string refused;
        const std::vector<GuardedFolder> guarded = guardedFolders(o_);
        auto refuse = [&](const fs::path &to) {
            if (auto why = outputInsideFolder("--ramdisk-out", to, guarded))
                refused = *why;
            return !refused.empty();
        };
        if (machine().copyRamDiskOut(o_.ramdiskOut, refuse))
            return;
        if (!refused.empty())
            voice_.say() << refused << "\n";
        voice_.say() << "cannot copy the RAM disk out to " << o_.ramdiskOut << "\n";
        ending.failedOutputs.push_back("--ramdisk-out " + o_.ramdiskOut);
    }

private:
    const RunOptions &o_;
    const dltool::Voice &voice_;
};

// --events and DLUPDATE_EVENTS: each fault point and event as it comes,
// and how many of each kind the run went through, for power-cut sweeps.
class EventList : public RunObserver {
public:
    EventList(bool listing, bool counting, const dltool::Voice &v)
        : listing_(listing), counting_(counting), voice_(v)
    {}
    // The machine outlives its observers: it must not call into a gone one.
    ~EventList() override
    {
        if (booted() && listing_)
            machine().faults().setListener({});
    }
    bool start() override
    {
        if (!listing_)
            return true;
        // A fault point that is also an event (archiver) is listed once.
        std::ostream &err = voice_.stream();
        machine().faults().setListener([&err, this](std::string_view name, long n, std::string_view arg) {
            std::string line = std::string(name) + " #" + std::to_string(n);
            if (!arg.empty())
                line += ": " + std::string(arg);
            if (line != last_)
                err << line << "\n";
            last_ = std::move(line);
        });
        return true;
    }
    void finish(RunEnding &) override
    {
        if (!counting_)
            return;
        // Every kind named, so that a script knows each N it may cut at.
        std::ostream &err = voice_.stream();
        err << "events:";
        for (const auto &kind : host::Faults::eventNames()) {
            auto it = machine().faults().eventCounts().find(kind);
            err << " " << kind << "=" << (it == machine().faults().eventCounts().end() ? 0 : it->second);
        }
        err << "\n" << std::flush;
    }

private:
    bool listing_, counting_;
    const dltool::Voice &voice_;
    std::string last_;
};

// A cut the run never came to, or a fault that never fired, would
// otherwise pass for a clean run.
class FaultChecks : public RunObserver {
public:
    explicit FaultChecks(const dltool::Voice &v) : voice_(v) {}
    void finish(RunEnding &ending) override
    {
        // An interrupted run never got to them.
        if (ending.interrupted())
            return;
        const host::Faults &faults = machine().faults();
        if (!ending.cut() && !faults.powerCutEvent().empty()) {
            const std::string &event = faults.powerCutEvent();
            auto it = faults.eventCounts().find(event);
            long seen = it == faults.eventCounts().end() ? 0 : it->second;
            voice_.say() << "power cut " << event << ":" << faults.powerCutAt()
                         << " not reached: the run made " << seen << " " << event
                         << (seen == 1 ? " event" : " events") << "\n"
                         << std::flush;
        }
        for (const auto &r : faults.records())
            if (r.fired == 0)
                voice_.say() << "fault " << r.spec << " never fired: " << host::Faults::whyNeverFired(r)
                             << "\n";
    }

private:
    const dltool::Voice &voice_;
};

// Media without one update file make a session that passes having done
// nothing; said at the end, with where media lie below.
class NothingOffered : public RunObserver {
public:
    NothingOffered(std::shared_ptr<const MediaSurvey> survey, const dltool::Voice &v)
        : survey_(std::move(survey)), voice_(v)
    {}
    void finish(RunEnding &) override
    {
        voice_.say() << "the media offered nothing: " << nothingOffered(*survey_) << "\n" << std::flush;
    }

private:
    std::shared_ptr<const MediaSurvey> survey_;
    const dltool::Voice &voice_;
};

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

// --keys LIST: pressed as the menu waits; what was left unpressed is said.
class KeyScriptKeys : public RunObserver {
public:
    KeyScriptKeys(const RunOptions &o, const dltool::Voice &v) : keys_(o.keys), voice_(v) {}
    bool start() override
    {
        script_.emplace(machine().keys(), host::KeyScript::parse(keys_));
        script_->attach();
        return true;
    }
    void finish(RunEnding &ending) override
    {
        if (ending.cut() || ending.interrupted() || script_->used() >= script_->size())
            return;
        std::size_t left = script_->size() - script_->used();
        voice_.say() << left << " key-script " << (left == 1 ? "entry" : "entries")
                     << " left unused: " << unusedKeys(keys_, script_->used()) << "\n";
    }
    void detach() override { script_->detach(); }

private:
    std::string keys_;
    const dltool::Voice &voice_;
    std::optional<host::KeyScript> script_;
};

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

// --interactive: the panel drawn live, the keys from the keyboard.
class LivePanel : public RunObserver {
public:
    LivePanel(int fd, bool opened, const dltool::Voice &v) : fd_(fd), opened_(opened), voice_(v) {}
    bool start() override
    {
        host::Terminal::Options view;
        view.outputFd = fd_;
        view.speaker = voice_.path();
        // A second 'q' during the update ends the run as a power cut does;
        // the run then ends through its usual path, the keyboard restored.
        view.onPowerCut = [this] { machine().faults().cutPower("from the keyboard"); };
        terminal_ = std::make_unique<host::Terminal>(
            machine().panel(), machine().keys(), machine().kernel(),
            [this] {
                quit_ = true;
                machine().kernel().interrupt();
            },
            std::move(view));
        return true;
    }
    bool quitAsked() const override { return quit_; }
    void stop() override
    {
        terminal_.reset();
        if (opened_)
            ::close(fd_);
        opened_ = false;
    }

private:
    int fd_;
    bool opened_;
    const dltool::Voice &voice_;
    std::atomic<bool> quit_{false};
    std::unique_ptr<host::Terminal> terminal_;
};

std::string describeProgress(const dltool::Voice &voice, const host::Progress &p, int hddFiles)
{
    std::string text = voice.path() + ": " + std::string(host::nameOf(p.phase));
    if (p.phase == host::Phase::hdd && p.hddFile > 0) {
        text += " file " + std::to_string(p.hddFile) + " of " + std::to_string(hddFiles);
        text += "  " + progress::Line::bar(p.hddFile - 1, std::max(hddFiles, 1), 10);
    }
    if (p.inflated > 0)
        text += "  " + progress::Line::bytes(p.inflated) + " inflated";
    return text;
}

// Off the live panel, long work shows one line of progress on a terminal's
// standard error; reports and endings clear it first.
class ProgressLine : public RunObserver {
public:
    ProgressLine(const RunOptions &o, const dltool::Voice &v) : hddFiles_(countHddFiles(o.media)), voice_(v)
    {}
    // The machine outlives its observers: its console and faults must not
    // call into a gone line.
    ~ProgressLine() override
    {
        if (!booted())
            return;
        machine().watchProgress({});
        machine().console().setOutputGuard({}, {});
        std::ostream &err = voice_.stream();
        machine().console().setReports([&err](std::string_view s) { err << s << std::flush; });
        machine().faults().setCutAction({});
    }
    bool start() override
    {
        machine().watchProgress([this](const host::Progress &p) {
            text_ = describeProgress(voice_, p, hddFiles_);
            if (atLineStart_)
                line_.show(text_);
        });
        // The console may share the terminal: the line is never drawn into
        // the middle of one of its lines.
        machine().console().setOutputGuard([this] { line_.clear(); },
                                           [this](std::string_view text) {
                                               atLineStart_ =
                                                   text.empty() ? atLineStart_ : text.back() == '\n';
                                               std::fflush(stdout);
                                               if (atLineStart_ && !text_.empty())
                                                   line_.show(text_, true);
                                           });
        std::ostream &err = voice_.stream();
        machine().console().setReports([&err, this](std::string_view s) {
            line_.clear();
            err << s << std::flush;
        });
        // A cut ends the run through its usual path, which writes the
        // outputs; the line goes at once.
        machine().faults().setCutAction([this] { line_.clear(); });
        return true;
    }
    void kernelStopped() override { line_.clear(); }

private:
    int hddFiles_;
    const dltool::Voice &voice_;
    progress::Line line_{2};
    std::string text_;
    bool atLineStart_ = true;
};

// On a terminal the console's "Failed" stands out; a file or a pipe gets
// the module's bytes as they are.
class FailedInRed : public RunObserver {
public:
    ~FailedInRed() override
    {
        if (booted())
            machine().console().setOutput(
                [](std::string_view s) { std::fwrite(s.data(), 1, s.size(), stdout); });
    }
    bool start() override
    {
        machine().console().setOutput([](std::string_view s) {
            const std::string painted = dltool::redWords(s, "Failed");
            std::fwrite(painted.data(), 1, painted.size(), stdout);
        });
        return true;
    }
};

// --report FILE: what the run did, written last, on every ending.
class Report : public RunObserver {
public:
    Report(const RunOptions &o, std::shared_ptr<const MediaSurvey> survey, const dltool::Voice &v)
        : file_(o.reportFile), survey_(std::move(survey)), voice_(v)
    {}
    bool start() override
    {
        record_ = std::make_unique<RunRecord>(machine(), file_ == "-" ? stderr : stdout);
        record_->setMedia(*survey_);
        return true;
    }
    void beginSession(int n) override { record_->beginSession(n); }
    void endSession(const std::string &summary, int status, const std::vector<host::Waiter> &stalled) override
    {
        record_->endSession(summary, status, stalled);
    }
    void finish(RunEnding &ending) override
    {
        if (record_->sessionOpen() && ending.interrupted())
            record_->endSession(interruptedBy(ending.signal), ending.final());
        else if (record_->sessionOpen())
            record_->endSession(ending.cut() ? "power cut" : "keyboard", ending.status);
        std::string why;
        const std::string text =
            record_->document(ending.final(), ending.failedOutputs, ending.signal).dump(2) + "\n";
        if (!dltool::OutputFile::write(file_, text, why)) {
            voice_.say() << "cannot write the report to " << file_ << "\n";
            ending.failedOutputs.push_back("--report " + file_);
        }
    }

private:
    std::string file_;
    std::shared_ptr<const MediaSurvey> survey_;
    const dltool::Voice &voice_;
    std::unique_ptr<RunRecord> record_;
};

// The hooks of a program that runs sessions inside itself (sweeps).
class Hooks : public RunObserver {
public:
    explicit Hooks(const RunOptions &o) : o_(o) {}
    bool start() override
    {
        if (o_.onBoot)
            o_.onBoot(machine());
        return true;
    }

private:
    const RunOptions &o_;
};

} // namespace

std::vector<GuardedFolder> guardedFolders(const RunOptions &o)
{
    return {{o.machine, "the machine folder"}, {o.media, "the media folder"}};
}

int countHddFiles(const std::string &mediaText)
{
    const fs::path media = mediaText;
    std::error_code ec;
    fs::path dir = fs::is_directory(media / "fwstore", ec) ? media / "fwstore" : media;
    int n = 0;
    while (fs::is_regular_file(dir / std::to_string(n + 1), ec))
        ++n;
    return n;
}

Observers makeObservers(const RunOptions &o, const dltool::Voice &voice, bool &interactive)
{
    Observers list;
    const char *wantEvents = std::getenv("DLUPDATE_EVENTS");
    const bool listing = o.listEvents || (wantEvents && std::string_view(wantEvents) == "2");
    const bool counting = wantEvents && *wantEvents;
    // In the order of their lines at the end; the report comes last, as it
    // records what the others could not write.
    if (!o.panelFile.empty())
        list.push_back(std::make_unique<PanelFile>(o, voice));
    if (!o.traceFile.empty())
        list.push_back(std::make_unique<PanelTrace>(o, voice));
    if (!o.ramdiskOut.empty())
        list.push_back(std::make_unique<RamDiskOut>(o, voice));
    if (listing || counting)
        list.push_back(std::make_unique<EventList>(listing, counting, voice));
    list.push_back(std::make_unique<FaultChecks>(voice));
    auto survey = std::make_shared<const MediaSurvey>(surveyMedia(o.media));
    if (survey->offersNothing())
        list.push_back(std::make_unique<NothingOffered>(survey, voice));
    if (o.keysGiven)
        list.push_back(std::make_unique<KeyScriptKeys>(o, voice));
    if (!o.reportFile.empty())
        list.push_back(std::make_unique<Report>(o, survey, voice));
    list.push_back(std::make_unique<Hooks>(o));
    if (dltool::colourOn(STDOUT_FILENO))
        list.push_back(std::make_unique<FailedInRed>());
    // TERM=dumb cannot hold a panel: as without a terminal.
    const bool dumb = dltool::dumbTerminal();
    interactive = o.interactiveGiven ? o.interactive : (!o.keysGiven && ::isatty(0) && !dumb);
    bool opened = false;
    const int fd = interactive && !dumb ? openPanelTerminal(opened) : -1;
    if (interactive && fd < 0) {
        voice.say() << (dumb ? "TERM=dumb: the live panel is off\n"
                             : "no terminal to draw the panel on: the live panel is off\n")
                    << std::flush;
        interactive = false;
    }
    if (interactive)
        list.push_back(std::make_unique<LivePanel>(fd, opened, voice));
    else if (::isatty(2))
        list.push_back(std::make_unique<ProgressLine>(o, voice));
    return list;
}

} // namespace dlrun
