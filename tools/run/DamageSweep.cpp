#include "tools/run/DamageSweep.h"

#include "tools/inspect/Inspect.h"
#include "tools/run/Interrupts.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dlrun {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// A row's folder holds these and nothing else once its session has run.
constexpr const char *kRowEntries[] = {"media",   "machine",   "outside",     "out.txt",
                                       "err.txt", "panel.txt", "inspect.json"};
// inspect's problems that name media a session still completes as they
// stand: a flash ROM image with a package missing is flashed, as the
// format allows, but seldom what was meant.
constexpr const char *kAdvisoryCodes[] = {"image0-packages-missing"};
// The exit status of a session process that could not run its session.
constexpr int kChildBroken = 125;

std::string readText(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return std::move(s).str();
}

// Each entry of a folder by relative path: its kind, size, inode and the
// time of its last change of content. A session that writes to the media
// changes one of them; reading a file changes none.
std::map<std::string, std::string> signature(const fs::path &dir)
{
    std::map<std::string, std::string> sig;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0)
            continue;
        std::ostringstream s;
        s << (st.st_mode & S_IFMT) << ' ' << st.st_size << ' ' << st.st_ino << ' ' << st.st_mtim.tv_sec << '.'
          << st.st_mtim.tv_nsec;
        sig[it->path().lexically_relative(dir).string()] = s.str();
    }
    return sig;
}

std::string changes(const std::map<std::string, std::string> &before,
                    const std::map<std::string, std::string> &after)
{
    return fileDifferences(before, after, {"removed", "written", "made"});
}

// What a row's session left in its folder besides its own files.
std::string strayFiles(const fs::path &row)
{
    std::string text;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(row / "outside", ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        text += (text.empty() ? "" : ", ") + it->path().lexically_relative(row).string();
    for (const auto &e : fs::directory_iterator(row, ec)) {
        const std::string name = e.path().filename().string();
        if (std::find(std::begin(kRowEntries), std::end(kRowEntries), name) == std::end(kRowEntries))
            text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

// `count` of the detectable damages, drawn from `seed` a kind at a time in
// turn, so that a small sample still holds every kind; every undetectable
// one besides. The order stays the sweep's.
std::vector<Damage> sampled(const std::vector<Damage> &all, std::size_t count, std::uint32_t seed)
{
    std::vector<std::string> kinds;
    std::map<std::string, std::vector<std::size_t>> byKind;
    for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i].detectable) {
            if (!byKind.count(all[i].kind))
                kinds.push_back(all[i].kind);
            byKind[all[i].kind].push_back(i);
        }
    std::mt19937 rng(seed);
    for (const auto &kind : kinds) {
        auto &v = byKind[kind];
        for (std::size_t k = 0; k + 1 < v.size(); ++k)
            std::swap(v[k], v[k + rng() % (v.size() - k)]);
    }
    std::vector<bool> keep(all.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        keep[i] = !all[i].detectable;
    std::size_t taken = 0;
    for (std::size_t round = 0; taken < count; ++round) {
        bool any = false;
        for (const auto &kind : kinds) {
            const auto &v = byKind[kind];
            if (round < v.size() && taken < count) {
                keep[v[round]] = true;
                ++taken;
                any = true;
            }
        }
        if (!any)
            break;
    }
    std::vector<Damage> out;
    for (std::size_t i = 0; i < all.size(); ++i)
        if (keep[i])
            out.push_back(all[i]);
    return out;
}

} // namespace

std::string DamageRow::result() const
{
    if (!passed())
        return "FAILED";
    return damage.detectable ? "ok" : "undetectable";
}

std::string DamageRow::ending() const
{
    if (timedOut)
        return "killed";
    if (signal)
        return "signal " + std::to_string(signal);
    return std::to_string(status);
}

DamageSweep::DamageSweep(Options options) : o_(std::move(options)) {}
DamageSweep::~DamageSweep() = default;

namespace {

// A process of a session's, with nothing of the sweep's left in a buffer.
// A signal to the sweep's group ends it at once; the sweep itself stops
// and keeps the rows it finished.
pid_t forkSession()
{
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0)
        Interrupts::forgetInChild();
    return pid;
}

} // namespace

pid_t DamageSweep::start(const fs::path &row, const fs::path &media, bool inspect) const
{
    fs::create_directories(row / "outside");
    const pid_t pid = forkSession();
    if (pid != 0)
        return pid;
    // The session's process: its console and host lines into the row's
    // files, its working folder one that must stay empty.
    int rc = kChildBroken;
    try {
        const int out = ::open((row / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = ::open((row / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (out < 0 || err < 0 || in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0 ||
            ::chdir((row / "outside").c_str()) != 0)
            ::_exit(kChildBroken);
        // inspect in a process of its own: the module and the machine it
        // binds are the session's here
        pid_t inspector = -1;
        if (inspect) {
            std::cout.flush();
            std::cerr.flush();
            inspector = ::fork();
            if (inspector == 0) {
                std::ofstream json(row / "inspect.json");
                std::ostringstream err;
                const int status =
                    inspect::runInspect(media.string(), true, json, dltool::Voice(o_.speaker, err), true);
                json.flush();
                ::_exit(status);
            }
        }
        struct Wait {
            pid_t pid;
            ~Wait()
            {
                int st = 0;
                while (pid > 0 && ::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
                }
            }
        } waitInspector{inspector};
        RunOptions o;
        o.media = media.string();
        o.machine = (row / "machine").string();
        o.keysGiven = true;
        o.keys = o_.keys;
        o.interactiveGiven = true;
        o.interactive = false;
        o.panelFile = (row / "panel.txt").string();
        rc = runSessions(o, o_.entry, dltool::Voice(o_.speaker, std::cerr));
    } catch (const std::exception &e) {
        dltool::Voice(o_.speaker, std::cerr).say() << "the session could not run: " << e.what() << "\n";
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    ::_exit(rc);
}

std::string DamageSweep::disagreement(const fs::path &row, const SessionOutcome &s, bool detectable) const
{
    std::vector<std::string> codes;
    try {
        const auto report = nlohmann::json::parse(readText(row / "inspect.json"));
        for (const auto &p : report.at("problemDetails")) {
            const std::string code = p.at("code").get<std::string>();
            // the list a damaged copy carries names the undamaged files
            if (!code.starts_with("checksum-") &&
                std::find(std::begin(kAdvisoryCodes), std::end(kAdvisoryCodes), code) ==
                    std::end(kAdvisoryCodes))
                codes.push_back(code);
        }
    } catch (const std::exception &) {
        return "inspect gave no report of these media";
    }
    const ItemEnds items = itemEnds(s.panel);
    const bool runWhole = s.status == kReturned0 && items == referenceItems_;
    const bool runFailed =
        s.status != kReturned0 || std::find(items.begin(), items.end(), ItemEnd::failed) != items.end();
    if (runWhole && !codes.empty())
        return "inspect reports " + codes.front() + ", but the run did all the undamaged media do";
    // Damage the format cannot show may leave less to do without a failure
    // (packages cut off whole): only a failed run must then be a problem.
    if (codes.empty() && (detectable ? !runWhole : runFailed))
        return "inspect reports no problem, but the run did less than the undamaged media do";
    return {};
}

SessionOutcome DamageSweep::collect(const fs::path &row, int st, bool killed,
                                    const std::map<std::string, std::string> &mediaBefore) const
{
    SessionOutcome s;
    s.timedOut = killed;
    s.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    s.signal = !killed && WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    s.panel = readText(row / "panel.txt");
    std::error_code ec;
    if (fs::is_directory(row / "machine", ec))
        s.machine = host::MachineState::read(row / "machine", host::MachineState::Scope::everyByte);
    s.outside = strayFiles(row);
    s.mediaChange = changes(mediaBefore, signature(row / "media"));
    s.sanitizer = sanitizerReport(readText(row / "err.txt"));
    return s;
}

bool DamageSweep::prepare(std::string &why, bool &unusable)
{
    unusable = false;
    try {
        image_ = std::make_unique<MediaImage>(o_.media);
    } catch (const std::exception &e) {
        why = e.what();
        unusable = true;
        return false;
    }
    o_.work = fs::absolute(o_.work);
    fs::create_directories(o_.work);
    image_->writeCopy(o_.work / "pristine");
    const host::MachineState fresh = freshMachineState(o_.work);

    const fs::path ref = o_.work / "reference";
    const auto before = signature(o_.work / "pristine");
    const auto began = Clock::now();
    const pid_t pid = start(ref, o_.work / "pristine");
    if (pid < 0) {
        why = "cannot start a session process";
        return false;
    }
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    const double took = std::chrono::duration<double>(Clock::now() - began).count();
    // A hang is told from a slow machine by a wide margin: sanitizer and
    // emulator builds run a session many times slower than this one did.
    limitSeconds_ = std::max(120.0, 30 * took);
    fs::create_directories(ref / "media");
    const SessionOutcome r = collect(ref, st, false, signature(ref / "media"));
    const std::string pristineChange = changes(before, signature(o_.work / "pristine"));
    if (r.status != kReturned0 || r.signal) {
        why = "the session on the undamaged media ended with " +
              (r.signal ? "signal " + std::to_string(r.signal) : "exit status " + std::to_string(r.status)) +
              "\n" + readText(ref / "err.txt");
        return false;
    }
    if (!pristineChange.empty() || !r.outside.empty()) {
        why = "the session on the undamaged media wrote where it must not: " + pristineChange + r.outside;
        return false;
    }
    if (r.machine.rewriteFlags() != 0) {
        why = "the session on the undamaged media left rewrite flags set";
        return false;
    }
    referenceItems_ = itemEnds(r.panel);
    judge_ = std::make_unique<DamageJudge>(fresh, r.machine);
    fs::remove_all(ref);

    damages_ = image_->damages(o_.seed);
    if (o_.sample > 0)
        damages_ = sampled(damages_, o_.sample, o_.seed);
    return true;
}

struct DamageSweep::Running {
    std::size_t index;
    pid_t pid;
    fs::path row;
    Clock::time_point deadline;
    std::map<std::string, std::string> media;
    bool killed = false;
};

bool DamageSweep::launch(std::size_t i, std::vector<Running> &running) const
{
    const fs::path row = o_.work / ("row-" + std::to_string(i));
    fs::remove_all(row);
    image_->writeDamaged(damages_[i], o_.work / "pristine", row / "media");
    Running r{i, -1, row, {}, signature(row / "media")};
    r.pid = start(row, row / "media", true);
    r.deadline = Clock::now() +
                 std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limitSeconds_));
    if (r.pid < 0) {
        fs::remove_all(row);
        return false;
    }
    running.push_back(std::move(r));
    return true;
}

void DamageSweep::finish(DamageRow &row, const Running &r, int st) const
{
    const SessionOutcome s = collect(r.row, st, r.killed, r.media);
    row.status = s.status;
    row.signal = s.signal;
    row.timedOut = s.timedOut;
    row.judgement = judge_->judge(s, row.damage.detectable);
    if (std::string why = disagreement(r.row, s, row.damage.detectable); !why.empty())
        row.judgement.problems.push_back(why);
    if (s.status == kChildBroken)
        row.judgement.problems.push_back(readText(r.row / "err.txt"));
    std::error_code ec;
    fs::remove_all(r.row, ec);
}

bool DamageSweep::reapEnded(std::vector<Running> &running, std::vector<DamageRow> &rows, long &done) const
{
    bool ended = false;
    for (auto it = running.begin(); it != running.end();) {
        int st = 0;
        const pid_t got = ::waitpid(it->pid, &st, WNOHANG);
        if (got == 0 || (got < 0 && errno == EINTR)) {
            if (!it->killed && Clock::now() > it->deadline) {
                ::kill(it->pid, SIGKILL);
                it->killed = true;
            }
            ++it;
            continue;
        }
        // Reaped: out of the list before anything else can throw.
        const Running r = std::move(*it);
        it = running.erase(it);
        finish(rows[r.index], r, st);
        if (o_.progress)
            o_.progress(++done, static_cast<long>(rows.size()));
        ended = true;
    }
    return ended;
}

std::vector<DamageRow> DamageSweep::run()
{
    std::vector<DamageRow> rows(damages_.size());
    std::vector<Running> running;
    // A sweep that ends by an error (a full scratch folder) leaves no
    // session running behind it.
    struct Reaper {
        std::vector<Running> &running;
        ~Reaper()
        {
            for (const Running &r : running) {
                ::kill(r.pid, SIGKILL);
                int st = 0;
                while (::waitpid(r.pid, &st, 0) < 0 && errno == EINTR) {
                }
            }
        }
    } reaper{running};
    const std::size_t width = static_cast<std::size_t>(std::max(1, o_.jobs));
    std::size_t next = 0;
    long done = 0;
    while ((next < rows.size() || !running.empty()) && !Interrupts::caught()) {
        while (next < rows.size() && running.size() < width) {
            const std::size_t i = next++;
            rows[i].damage = damages_[i];
            if (!launch(i, running)) {
                rows[i].judgement.problems.push_back("cannot start a session process");
                ++done;
            }
        }
        if (!reapEnded(running, rows, done) && !running.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (Interrupts::caught()) {
        // The rows finished, in their order; those in hand the reaper ends.
        for (const Running &r : running)
            rows[r.index].damage.name.clear();
        rows.resize(next);
        std::erase_if(rows, [](const DamageRow &r) { return r.damage.name.empty(); });
    }
    return rows;
}

} // namespace dlrun
