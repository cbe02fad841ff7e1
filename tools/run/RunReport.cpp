#include "tools/run/RunReport.h"

#include "host/Machine.h"
#include "host/machine/MachineState.h"
#include "host/machine/Nvram.h"
#include "tools/common/JsonFormat.h"
#include "tools/common/Lines.h"
#include "tools/common/UpdateScreen.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace dlrun {

using json = nlohmann::ordered_json;

namespace {

using namespace screen;

std::string trimmed(const std::string &row, int from, std::size_t length = std::string::npos)
{
    std::string s = row.substr(static_cast<std::size_t>(from), length);
    for (char &c : s)
        c = host::Panel::displayChar(c);
    auto end = s.find_last_not_of(' ');
    auto begin = s.find_first_not_of(' ');
    return end == std::string::npos ? "" : s.substr(begin, end - begin + 1);
}

} // namespace

RunRecord::RunRecord(host::Machine &machine, std::FILE *console) : consoleTo_(console), machine_(machine)
{
    machine_.console().setOutput([this](std::string_view s) {
        std::fwrite(s.data(), 1, s.size(), consoleTo_);
        // A line at a time, so a killed run's log keeps what it printed.
        if (s.find('\n') != std::string_view::npos)
            std::fflush(consoleTo_);
        std::lock_guard lock(mutex_);
        console_.append(s);
    });
    subscription_ = machine_.panel().onChange([this] { watchMenu(); });
}

RunRecord::~RunRecord()
{
    subscription_.reset();
    machine_.console().setOutput([to = consoleTo_](std::string_view s) {
        std::fwrite(s.data(), 1, s.size(), to);
        if (s.find('\n') != std::string_view::npos)
            std::fflush(to);
    });
}

// The menu's marks as they stand at each draw; the last ones before the
// confirm key are the operator's choice.
void RunRecord::watchMenu()
{
    host::Panel::Rows rows = machine_.panel().snapshot();
    const std::string title = kMenuTitle;
    if (rows[kMenuTitleRow].compare(kMenuTitleColumn, title.size(), title) != 0)
        return;
    std::uint32_t marks = 0;
    for (const ItemRow &item : kRows)
        if (rows[static_cast<std::size_t>(item.menuRow)][kMarkColumn] == '*')
            marks |= item.bit;
    std::lock_guard lock(mutex_);
    menuSeen_ = true;
    marks_ = marks;
}

RunRecord::Nv RunRecord::readNvram() const
{
    Nv nv;
    if (const host::Nvram *n = machine_.nvram()) {
        nv.flags = n->flags();
        nv.mode = n->updateMode();
    }
    return nv;
}

void RunRecord::beginSession(int number)
{
    std::lock_guard lock(mutex_);
    open_ = true;
    number_ = number;
    sessionStart_ = console_.size();
    menuSeen_ = false;
    marks_ = 0;
    before_ = readNvram();
}

namespace {

// What a session's menu offered and what the operator confirmed.
struct MenuChoice {
    bool hasOffered = false, hasConfirmed = false;
    std::uint32_t offered = 0, confirmed = 0;
};

// What the menu offered is the module's own line; what was confirmed is
// what the menu marked when the confirm key came.
MenuChoice menuChoice(const std::vector<std::string> &console, bool menuSeen, std::uint32_t marks)
{
    MenuChoice c;
    for (const auto &line : console) {
        if (line.rfind(kOfferedLine, 0) == 0) {
            c.hasOffered = true;
            c.offered = static_cast<std::uint32_t>(
                std::strtoul(line.c_str() + std::string_view(kOfferedLine).size(), nullptr, 16));
            c.hasConfirmed = false;
        } else if (c.hasOffered && line == kConfirmLine && menuSeen) {
            c.hasConfirmed = true;
            c.confirmed = (c.offered & ~vx::DL_ITEM_ALL) | marks;
        }
    }
    return c;
}

std::string itemOutcome(const MenuChoice &c, const ItemRow &item, const std::string &state,
                        const std::string &title)
{
    if (!c.hasOffered || !(c.offered & item.bit))
        return "not offered";
    if (!c.hasConfirmed || !(c.confirmed & item.bit))
        return "not chosen";
    if (!state.empty())
        return state;
    if (!title.empty())
        return "in progress";
    return "not started";
}

// Each item as the panel's update screen leaves it.
json itemsJson(const host::Panel::Rows &rows, const MenuChoice &choice)
{
    json items = json::array();
    for (const ItemRow &item : kRows) {
        const std::string &row = rows[static_cast<std::size_t>(item.updateRow)];
        std::string state = trimmed(row, kStateColumn);
        std::string title = trimmed(row, kTitleColumn, kStateColumn - kTitleColumn);
        items.push_back({{"item", item.reportName},
                         {"bit", item.bit},
                         {"outcome", itemOutcome(choice, item, state, title)},
                         {"title", title},
                         {"state", state}});
    }
    return items;
}

json nvramJson(std::uint32_t flags, std::uint32_t mode) { return {{"flags", flags}, {"updateMode", mode}}; }

json stalledJson(const std::vector<host::Waiter> &stalled)
{
    json waiting = json::array();
    for (const auto &w : stalled)
        waiting.push_back(
            {{"task", w.taskName}, {"id", w.taskId}, {"priority", w.priority}, {"waits", w.waitsOn}});
    return waiting;
}

json powerCutJson(const host::Faults &faults)
{
    return faults.powerCutReached() ? json{{"event", faults.powerCutEvent()}, {"n", faults.powerCutAt()}}
                                    : json{{"event", nullptr}, {"n", nullptr}};
}

} // namespace

void RunRecord::endSession(const std::string &ending, int status, const std::vector<host::Waiter> &stalled)
{
    std::string text;
    bool menuSeen;
    std::uint32_t marks;
    {
        std::lock_guard lock(mutex_);
        if (!open_)
            return;
        open_ = false;
        text = console_.substr(sessionStart_);
        menuSeen = menuSeen_;
        marks = marks_;
    }
    json s;
    s["session"] = number_;
    s["ending"] = ending;
    s["status"] = status;
    auto console = dltool::splitLines(text);
    const MenuChoice choice = menuChoice(console, menuSeen, marks);
    s["offered"] = choice.hasOffered ? json(choice.offered) : json(nullptr);
    s["confirmed"] = choice.hasConfirmed ? json(choice.confirmed) : json(nullptr);

    host::Panel::Rows rows = machine_.panel().snapshot();
    s["items"] = itemsJson(rows, choice);
    s["result"] = trimmed(rows[kResultRow], kTitleColumn);
    s["console"] = console;
    Nv after = readNvram();
    s["nvram"] = {{"before", nvramJson(before_.flags, before_.mode)},
                  {"after", nvramJson(after.flags, after.mode)}};
    if (!stalled.empty())
        s["stalled"] = stalledJson(stalled);
    // A cut from the keyboard is no event of the fault table.
    if (ending == "power cut")
        s["powerCut"] = powerCutJson(machine_.faults());
    sessions_.push_back(std::move(s));
}

void RunRecord::setMedia(const MediaSurvey &survey)
{
    json below = json::array();
    for (const auto &dir : survey.mediaBelow)
        below.push_back(dir.string());
    media_ = {{"folder", survey.folder.string()},
              {"updateFiles", survey.files},
              {"offeredNothing", survey.offersNothing()},
              {"mediaBelow", below}};
}

std::string interruptedBy(int signal) { return "interrupted by signal " + std::to_string(signal); }

json RunRecord::document(int status, const std::vector<std::string> &outputErrors, int signal) const
{
    const host::Faults &faults = machine_.faults();
    json doc = dltool::envelope(dltool::kRunReportFormat);
    doc["status"] = status;
    doc["interrupted"] = signal ? json{{"signal", signal}, {"text", interruptedBy(signal)}} : json(nullptr);
    doc["sessions"] = sessions_;

    json list = json::array();
    for (const auto &r : faults.records())
        list.push_back({{"spec", r.spec},
                        {"name", r.name},
                        {"skip", r.skip},
                        {"count", r.count < 0 ? json(nullptr) : json(r.count)},
                        {"calls", r.calls},
                        {"fired", r.fired},
                        {"firstFiredCall", r.firstFired ? json(r.firstFired) : json(nullptr)},
                        {"neverFired", r.fired ? json(nullptr) : json(host::Faults::whyNeverFired(r))}});
    doc["faults"] = list;
    if (faults.powerCutEvent().empty())
        doc["powerCut"] = nullptr;
    else
        doc["powerCut"] = {{"event", faults.powerCutEvent()},
                           {"n", faults.powerCutAt()},
                           {"reached", faults.powerCutReached()}};
    json events = json::object();
    for (const auto &e : host::Faults::eventNames()) {
        auto it = faults.eventCounts().find(e);
        events[e] = it == faults.eventCounts().end() ? 0 : it->second;
    }
    doc["events"] = events;

    // The machine as its folder holds it now.
    const auto m = host::MachineState::read(machine_.folder(), host::MachineState::Scope::summary);
    json after;
    after["flash"] =
        m.hasFlash ? json{{"bytes", m.flash.size()}, {"sha256", m.flashSha256()}} : json(nullptr);
    json units = json::object();
    for (const auto &u : m.unitFirmware)
        units[std::string(u.name)] =
            u.firmware ? json{{"bytes", u.firmware->size()}, {"sha256", u.sha256()}} : json(nullptr);
    after["units"] = units;
    after["nvram"] = {{"flags", m.hasNvram ? m.rewriteFlags() : 0},
                      {"updateMode", m.hasNvram ? m.updateMode() : 0}};
    doc["after"] = after;
    doc["media"] = media_;
    doc["outputErrors"] = outputErrors;
    return doc;
}

} // namespace dlrun
