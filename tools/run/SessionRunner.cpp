#include "tools/run/SessionRunner.h"

#include "tools/run/ModuleImage.h"

#include "host/Machine.h"
#include "host/machine/Keys.h"
#include "host/machine/MachineFolder.h"
#include "host/machine/Panel.h"
#include "host/machine/Terminal.h"

#include <atomic>
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
    } catch (const std::invalid_argument &e) {
        err << "dlupdate run: " << e.what() << "\n";
        return false;
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
    for (const char *kind : {"flash-erase", "flash-write", "archiver", "unit", "nvram-set",
                             "nvram-clear"}) {
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
    err << "dlupdate run: power cut " << event << ":" << faults.powerCutAt()
        << " not reached: the run made " << seen << " " << event << (seen == 1 ? " event" : " events")
        << "\n"
        << std::flush;
}

} // namespace

int runSessions(const RunOptions &o, const Entry &entry, std::ostream &err)
{
    std::vector<host::KeyEntry> keyEntries;
    if (!checkUsage(o, err, keyEntries))
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
        err << "dlupdate run: the machine in " << o.machine << " cannot be used: " << e.what()
            << "\n";
        return kUnusable;
    }
    host::MachineBinding binding(*machine);
    machine->console().setReports([&err](std::string_view s) { err << s << std::flush; });
    for (const auto &f : o.faults)
        machine->faults().add(f);
    if (!o.powerCut.empty())
        machine->faults().setPowerCut(o.powerCut);
    const char *wantEvents = std::getenv("DLUPDATE_EVENTS");
    const bool reportingEvents = wantEvents && *wantEvents;

    if (!o.traceFile.empty() && !machine->panel().enableTrace(fs::path(o.traceFile))) {
        err << "dlupdate run: cannot write the panel trace " << o.traceFile << "\n";
        return kUsage;
    }
    if (o.onBoot)
        o.onBoot(*machine);

    std::optional<host::KeyScript> script;
    if (o.keysGiven) {
        script.emplace(machine->keys(), keyEntries);
        script->attach();
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
        auto result = std::make_shared<int>(0);
        int id = machine->kernel().spawn("tUpdate", 100, 0, 0x100000,
                                         [result, &entry] { *result = entry(); });
        host::Quiescence q = machine->kernel().run();
        if (q.powerCut) {
            if (reportingEvents)
                reportEvents(machine->faults(), err);
            err << "power cut " << machine->powerCutWhat() << "\n" << std::flush;
            status = kPowerCut;
            break;
        }
        if (quit) {
            err << "session " << session << ": ended from the keyboard\n";
            status = kKeyboard;
            break;
        }
        auto end = machine->kernel().taskEnd(id);
        if (!end) {
            reportStall(q, session, err);
            status = kStalled;
            break;
        }
        SessionEnd s = classify(end->exited, end->exited ? end->status : *result);
        err << "session " << session << ": " << s.summary << "\n" << std::flush;
        status = s.status;
    }
    terminal.reset();
    if (panelFdOpened)
        ::close(panelFd);
    machine->console().flush();

    if (!o.panelFile.empty()) {
        std::ofstream out(o.panelFile, std::ios::trunc);
        out << machine->panel().dump();
        if (!out.flush())
            err << "dlupdate run: cannot write the panel to " << o.panelFile << "\n";
    }
    if (!o.ramdiskOut.empty() && !machine->copyRamDiskOut(o.ramdiskOut))
        err << "dlupdate run: cannot copy the RAM disk out to " << o.ramdiskOut << "\n";
    if (script)
        script->detach();
    const bool cut = status == kPowerCut;
    if (reportingEvents && !cut)
        reportEvents(machine->faults(), err);
    // A cut the run never came to would otherwise pass for a clean run.
    if (!cut && !machine->faults().powerCutEvent().empty())
        reportCutNotReached(machine->faults(), err);
    if (o.onEnd)
        o.onEnd(*machine);
    return status;
}

} // namespace dlrun
