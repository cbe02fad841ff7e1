#include "tools/run/Damage.h"

#include "host/machine/MachineFolder.h"
#include "host/machine/MachineLayout.h"
#include "host/machine/Nvram.h"
#include "tools/common/Lines.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace dlrun {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kFlashFlag = host::Nvram::kFlashRewriteFlag;
constexpr std::uint32_t kHddFlag = host::Nvram::kHddUpdateFlag;

using namespace screen;

bool cellsBegin(const std::vector<std::string> &panel, int row, int col, const std::string &text)
{
    if (static_cast<std::size_t>(row) >= panel.size())
        return false;
    const std::string &r = panel[static_cast<std::size_t>(row)];
    return r.size() >= static_cast<std::size_t>(col) &&
           r.compare(static_cast<std::size_t>(col), text.size(), text) == 0;
}

std::string hex(std::uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%02X", v);
    return b;
}

std::string bytes(std::size_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

} // namespace

std::string fileDifferences(const std::map<std::string, std::string> &was,
                            const std::map<std::string, std::string> &is, const FileWords &words,
                            std::size_t most)
{
    std::vector<std::string> names;
    for (const auto &[name, content] : was) {
        auto it = is.find(name);
        if (it == is.end())
            names.push_back(name + " " + words.gone);
        else if (it->second != content)
            names.push_back(name + " " + words.changed);
    }
    for (const auto &[name, content] : is)
        if (!was.count(name))
            names.push_back(name + " " + words.added);
    std::string text;
    for (std::size_t i = 0; i < names.size() && i < most; ++i)
        text += (i ? ", " : "") + names[i];
    if (names.size() > most)
        text += " and " + std::to_string(names.size() - most) + " more";
    return text;
}

namespace {

const std::string *unitOf(const host::MachineState &s, const char *unit)
{
    auto it = s.units.find(host::machine_layout::unitFile(unit));
    return it == s.units.end() ? nullptr : &it->second;
}

std::string unitText(const std::string *u) { return u ? bytes(u->size()) : "absent"; }

// How `item`'s target in `got` differs from `want`; "" when it does not.
std::string targetDifference(Item item, const host::MachineState &got, const host::MachineState &want,
                             const char *as)
{
    const ItemRow &r = rowOf(item);
    if (item == Item::osUi) {
        if (got.flash == want.flash)
            return "";
        std::size_t at = 0;
        while (at < got.flash.size() && at < want.flash.size() && got.flash[at] == want.flash[at])
            ++at;
        char where[32];
        std::snprintf(where, sizeof where, "0x%zX", at);
        return std::string("the flash differs from ") + as + " from offset " + where;
    }
    if (item == Item::hdd) {
        if (got.disk == want.disk)
            return "";
        return std::string("the disk differs from ") + as + ": " +
               fileDifferences(want.disk, got.disk, {"missing", "differs", "extra"}, 3);
    }
    const std::string *g = unitOf(got, r.unit), *w = unitOf(want, r.unit);
    if ((!g && !w) || (g && w && *g == *w))
        return "";
    return std::string(host::machine_layout::kUnitsFolder) + "/" + host::machine_layout::unitFile(r.unit) +
           " (" + unitText(g) + ") differs from " + as + " (" + unitText(w) + ")";
}

bool documented(int status) { return status >= 0 && status <= 3; }

} // namespace

const char *itemName(Item item) { return rowOf(item).name; }

const char *endName(ItemEnd end)
{
    switch (end) {
    case ItemEnd::completed:
        return "Completed";
    case ItemEnd::failed:
        return "Failed";
    case ItemEnd::unfinished:
        return "unfinished";
    case ItemEnd::notRun:
        break;
    }
    return "-";
}

ItemEnds itemEnds(const std::string &panel)
{
    ItemEnds ends{};
    ends.fill(ItemEnd::notRun);
    const auto rows = dltool::splitLines(panel);
    if (!cellsBegin(rows, kHeadingRow, kHeadingColumn, kHeading))
        return ends;
    for (const ItemRow &r : kRows) {
        ItemEnd &e = ends[static_cast<std::size_t>(r.item)];
        if (cellsBegin(rows, r.updateRow, kStateColumn, "Completed"))
            e = ItemEnd::completed;
        else if (cellsBegin(rows, r.updateRow, kStateColumn, "Failed"))
            e = ItemEnd::failed;
        else if (cellsBegin(rows, r.updateRow, kTitleColumn, r.title))
            e = ItemEnd::unfinished;
    }
    return ends;
}

DamageJudge::DamageJudge(host::MachineState fresh, host::MachineState reference)
    : fresh_(std::move(fresh)), reference_(std::move(reference))
{}

Judgement DamageJudge::judge(const SessionOutcome &run, bool detectable) const
{
    Judgement j;
    j.items = itemEnds(run.panel);
    auto problem = [&j](std::string p) { j.problems.push_back(std::move(p)); };

    if (run.timedOut)
        problem("no end within its time limit: killed");
    else if (run.signal)
        problem("ended by signal " + std::to_string(run.signal));
    else if (run.status == kStalled)
        problem("stalled (exit 4): every task waits and nothing can wake one");
    else if (!documented(run.status))
        problem("exit status " + std::to_string(run.status) + " is no ending of a session");
    if (!run.outside.empty())
        problem("wrote outside the machine folder: " + run.outside);
    if (!run.mediaChange.empty())
        problem("the media changed: " + run.mediaChange);
    if (!run.sanitizer.empty())
        problem("a sanitizer report: " + run.sanitizer);
    // A session that did not end as sessions end left a folder that says
    // nothing more.
    if (!documented(run.status) || run.signal || run.timedOut)
        return j;

    const host::MachineState &m = run.machine;
    for (Item item : kItems) {
        const ItemEnd end = j.items[static_cast<std::size_t>(item)];
        const std::string name = itemName(item);
        if (end == ItemEnd::unfinished)
            problem(name + ": its title stands, but neither \"Completed\" nor \"Failed\"");
        if (end == ItemEnd::completed) {
            std::string d = targetDifference(item, m, reference_, "the reference's");
            if (!d.empty()) {
                j.differences.push_back(name + " completed, but " + d);
                if (detectable)
                    problem(j.differences.back());
            }
        }
        if (end == ItemEnd::notRun) {
            std::string d = targetDifference(item, m, fresh_, "a new machine's");
            if (!d.empty())
                problem(name + " shows no row, but " + d);
        }
        if (end == ItemEnd::failed && run.status == kReturned0)
            problem(name + " failed, yet the session returned 0 (\"Update Completed.\")");
    }

    const std::uint32_t flags = m.rewriteFlags();
    if (run.status == kReturned0 && flags != 0)
        problem("returned 0 but left rewrite flags " + hex(flags));
    const bool flashTouched = m.flash != fresh_.flash;
    const bool diskTouched = m.disk != fresh_.disk;
    const auto endOf = [&j](Item item) { return j.items[static_cast<std::size_t>(item)]; };
    if (flashTouched && endOf(Item::osUi) != ItemEnd::completed && !(flags & kFlashFlag))
        problem("the flash was changed and not completed, but FLASH_REWRITE (0x01) is clear: " + hex(flags));
    if (diskTouched && endOf(Item::hdd) != ItemEnd::completed && !(flags & kHddFlag))
        problem("the disk was changed and not completed, but HDD_UPDATE (0x10) is clear: " + hex(flags));
    if (flags & ~(kFlashFlag | kHddFlag))
        problem("rewrite flags " + hex(flags) + " name no target");
    return j;
}

std::string sanitizerReport(const std::string &err)
{
    // A report ends the session with an ordinary exit status (or none at
    // all, when the process leaves by _exit), so it is read from the text.
    for (const auto &line : dltool::splitLines(err))
        if (line.find("Sanitizer") != std::string::npos ||
            line.find(": runtime error: ") != std::string::npos)
            return line;
    return "";
}

host::MachineState freshMachineState(const fs::path &scratch)
{
    const fs::path dir = scratch / "fresh-machine";
    fs::remove_all(dir);
    host::MachineFolder::init(dir);
    host::MachineState s = host::MachineState::read(dir, host::MachineState::Scope::everyByte);
    fs::remove_all(dir);
    return s;
}

} // namespace dlrun
