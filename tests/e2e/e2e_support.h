// End-to-end runs of dlupdate as a firmware engineer drives it: the sample
// inputs (made once and shared by the test processes of one build), media
// made by `dlupdate mkmedia` from the sample manifest or an edited copy of
// it, `dlupdate run` with its standard output and standard error kept
// apart, and the machine folder read back: NVRAM words, flash ROM, units,
// disk. What the media should give is worked out from the media files with
// the module's documented reading rules (mkmedia_support.h).
#pragma once

#include "support/Compare.h"
#include "support/Files.h"
#include "support/PairSwap.h"
#include "tests/tools/mkmedia_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace testing_support {

namespace fs = std::filesystem;
using json = nlohmann::json;
using testing_support::Bytes;
using testing_support::readBytes;
using testing_support::readText;
using testing_support::sameBytes;
using testing_support::swapPairs;
using testing_support::TempDir;

inline std::vector<std::string> splitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// ---------------------------------------------------------------------------
// Running the program

struct Outcome {
    int status = -1; // exit status; -1 when killed by a signal
    std::string out, err;
    std::vector<std::string> lines() const { return splitLines(out); }
};

// The words of a command line as exec takes them: the program, its
// arguments, a null at the end; valid while the Argv lives.
class Argv {
public:
    Argv(const std::string &program, const std::vector<std::string> &args) : words_{program}
    {
        words_.insert(words_.end(), args.begin(), args.end());
        for (auto &w : words_)
            pointers_.push_back(w.data());
        pointers_.push_back(nullptr);
    }
    Argv(const Argv &) = delete;
    Argv &operator=(const Argv &) = delete;
    char *const *data() { return pointers_.data(); }

private:
    std::vector<std::string> words_;
    std::vector<char *> pointers_;
};

// A dlupdate command: its arguments, the folder it runs in (empty: the
// test's own), the files its standard output and standard error go to, and
// "NAME=value" words added to its environment. `program` replaces
// DL_DLUPDATE, e.g. a copy of it elsewhere.
struct Command {
    std::vector<std::string> args;
    fs::path cwd;
    fs::path out, err;
    std::vector<std::string> env;
    std::string program = DL_DLUPDATE;
};

// Starts `c` with standard input from /dev/null, so never the live panel;
// its process id.
inline pid_t start(const Command &c)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!c.cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, c.cwd.c_str());
    std::vector<std::string> variables(c.env);
    for (char **e = environ; *e; ++e)
        variables.emplace_back(*e);
    std::vector<char *> envp;
    for (auto &v : variables)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    Argv argv(c.program, c.args);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, c.program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + c.program);
    return pid;
}

// Runs `c` to its end.
inline Outcome run(const Command &c)
{
    const pid_t pid = start(c);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
    }
    Outcome o;
    o.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    o.out = readText(c.out);
    o.err = readText(c.err);
    return o;
}

// Runs dlupdate with `args` to its end, its outputs kept in a scratch folder.
inline Outcome dlupdate(const std::vector<std::string> &args, const fs::path &cwd = {},
                        const std::vector<std::string> &env = {}, const std::string &program = DL_DLUPDATE)
{
    TempDir scratch;
    return run({args, cwd, scratch / "stdout", scratch / "stderr", env, program});
}

// How a command of `runEach` ended.
struct Ran : Outcome {
    int signal = 0;        // the signal that ended it, if one did
    bool timedOut = false; // killed at its time limit
};

// Runs `count` commands, at most `width` at a time, each killed once `limit`
// has passed: `begin(i)` readies case i and gives its command (none: the
// case is skipped), `end(i, ran)` is told how it ended. Every process is
// started and reaped from the calling thread alone: under qemu-user, a
// process started while another thread of the emulated test runs can hang
// the emulator for good.
inline void runEach(std::size_t count, std::size_t width, std::chrono::seconds limit,
                    const std::function<std::optional<Command>(std::size_t)> &begin,
                    const std::function<void(std::size_t, Ran)> &end)
{
    struct Running {
        std::size_t index;
        pid_t pid;
        Command command;
        std::chrono::steady_clock::time_point deadline;
        bool killed = false;
    };
    std::vector<Running> running;
    std::size_t next = 0;
    while (next < count || !running.empty()) {
        while (next < count && running.size() < width) {
            const std::size_t i = next++;
            if (auto c = begin(i))
                running.push_back({i, start(*c), *c, std::chrono::steady_clock::now() + limit});
        }
        bool ended = false;
        for (auto it = running.begin(); it != running.end();) {
            int st = 0;
            const pid_t done = waitpid(it->pid, &st, WNOHANG);
            if (done == 0 || (done < 0 && errno == EINTR)) {
                if (!it->killed && std::chrono::steady_clock::now() > it->deadline) {
                    ::kill(it->pid, SIGKILL);
                    it->killed = true;
                }
                ++it;
                continue;
            }
            Ran r;
            r.status = done == it->pid && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            r.signal = done == it->pid && WIFSIGNALED(st) ? WTERMSIG(st) : 0;
            r.timedOut = it->killed;
            r.out = readText(it->command.out);
            r.err = readText(it->command.err);
            const std::size_t index = it->index;
            it = running.erase(it);
            end(index, std::move(r));
            ended = true;
        }
        if (!ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// What a session shows of the progress of its flash and HDD work: the HDD
// task's title and "Completed" in the panel trace, the flash rewrite's last
// console line.
const std::string kHddBegun =
    R"("task":"tdlFirmHdUpdate","op":"text","col":42,"row":4,"text":"HDD SYS Update .......")";
const std::string kHddDone = R"("task":"tdlFirmHdUpdate","op":"text","col":67,"row":4,"text":"Completed   ")";
const std::string kFlashDone = "[dlFirmRewrite]frwRewrite: done.";

// ---------------------------------------------------------------------------
// Sample inputs and media

inline std::uint64_t fnv1a(const std::string &text, std::uint64_t h = 1469598103934665603ull)
{
    for (unsigned char c : text)
        h = (h ^ c) * 1099511628211ull;
    return h;
}

// The sample's manifest.json and inputs/, made by media/sample/make-inputs.sh.
// Generating them takes seconds, so they are kept in the build folder under
// a name derived from the script and the manifest, and made again only
// when either changes. A folder is put in place only once complete.
inline const fs::path &sampleDir()
{
    static const fs::path dir = [] {
        const fs::path source = fs::path(DL_SOURCE_DIR) / "media" / "sample";
        std::uint64_t key =
            fnv1a(readText(source / "manifest.json"), fnv1a(readText(source / "make-inputs.sh")));
        const fs::path cache = DL_TEST_CACHE;
        char name[40];
        std::snprintf(name, sizeof name, "sample-%016llx", static_cast<unsigned long long>(key));
        fs::path ready = cache / name;
        if (fs::exists(ready / "ready"))
            return ready;
        fs::path making = cache / ("making-" + std::to_string(::getpid()));
        fs::remove_all(making);
        fs::create_directories(making);
        std::string command =
            "bash '" + (source / "make-inputs.sh").string() + "' '" + making.string() + "' >/dev/null";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("cannot make the sample inputs: " + command);
        std::ofstream(making / "ready") << "complete\n";
        std::error_code ec;
        fs::rename(making, ready, ec); // another test process may have been first
        if (ec)
            fs::remove_all(making);
        return ready;
    }();
    return dir;
}

inline fs::path sampleInput(const std::string &name) { return sampleDir() / "inputs" / name; }

// The sample manifest with its input paths made absolute, so that an edited
// copy may live anywhere.
inline json sampleManifest()
{
    json m = json::parse(readText(sampleDir() / "manifest.json"));
    std::function<void(json &)> absolutize = [&](json &j) {
        if (j.is_object()) {
            for (auto &[key, value] : j.items()) {
                if ((key == "source" || key == "tree") && value.is_string())
                    value = (sampleDir() / value.get<std::string>()).string();
                else
                    absolutize(value);
            }
        } else if (j.is_array()) {
            for (auto &value : j)
                absolutize(value);
        }
    };
    absolutize(m);
    return m;
}

// `dlupdate mkmedia` of `manifest` into dir/media.
inline fs::path makeMedia(const json &manifest, const fs::path &dir)
{
    fs::create_directories(dir);
    std::ofstream(dir / "manifest.json") << manifest.dump(2);
    Outcome o = dlupdate({"mkmedia", (dir / "manifest.json").string(), "--out", (dir / "media").string()});
    if (o.status != 0)
        throw std::runtime_error("mkmedia failed (" + std::to_string(o.status) + "): " + o.err);
    return dir / "media";
}

// The media as the module reads them.
struct MediaView {
    fs::path files; // the folder holding the images: media/fwstore or media

    explicit MediaView(const fs::path &media)
        : files(fs::is_directory(media / "fwstore") ? media / "fwstore" : media)
    {}

    Bytes image(int n) const
    {
        return testing_support::moduleRead(readBytes(files / ("firmImage" + std::to_string(n) + ".bin")));
    }

    std::vector<Bytes> hddFiles() const
    {
        std::vector<Bytes> stored;
        for (int n = 1; fs::exists(files / std::to_string(n)); ++n)
            stored.push_back(readBytes(files / std::to_string(n)));
        return stored;
    }

    // "/TMP/from.bin": image 1, then the upper half and the lower half of
    // the 8 MiB area holding image 0.
    Bytes flashImage() const
    {
        Bytes area = image(0);
        area.resize(0x800000, 0);
        Bytes from = image(1);
        from.insert(from.end(), area.begin() + 0x400000, area.end());
        from.insert(from.end(), area.begin(), area.begin() + 0x400000);
        return from;
    }

    // The flash ROM after the OS UI update on an erased flash.
    Bytes flashAfterUpdate() const
    {
        Bytes flash = flashImage();
        flash.resize(16u << 20, 0xFF);
        return flash;
    }

    // The first package of HDD file 1: the version text.
    Bytes versionText() const
    {
        Bytes area;
        auto head = testing_support::headOfFirstHddFile(hddFiles().at(0), area);
        return testing_support::inflateData(area, head.at(0));
    }
};

// The console line with which the module's chained lookup stops on a
// buffer of well-formed packages: no further data start, or a package
// whose data runs past the end.
inline std::string chainEnd(const Bytes &buffer, std::size_t size)
{
    auto records = testing_support::getDbInfo(buffer, size, 1);
    std::size_t origin = records.empty() ? 0 : records.back().dataStart + records.back().compressedSize + 2;
    if (origin < size && testing_support::findDataStart(buffer, origin, size))
        return "range over  ";
    return "can not find start address";
}

// ---------------------------------------------------------------------------
// What a completed session of all six items leaves, worked out from the media

inline std::string textOf(const Bytes &b) { return std::string(b.begin(), b.end()); }

inline std::string systemVersion(const MediaView &m)
{
    return testing_support::systemVersionOfText(m.versionText());
}

// The console lines of the HDD package file check, one per file.
inline std::vector<std::string> fileSizeLines(const MediaView &m, const std::string &prefix = "")
{
    std::vector<std::string> lines;
    auto files = m.hddFiles();
    for (std::size_t k = 0; k < files.size(); ++k)
        lines.push_back(prefix + "file Size  " + std::to_string(k) + "  " + std::to_string(files[k].size()));
    return lines;
}

// Each HDD part buffer (the remainder of the one before, then the file's
// content) and the packages its loader finds.
struct Part {
    Bytes buffer;
    std::size_t placed; // bytes of the file's own content
    std::size_t packages;
};

inline std::vector<Part> hddParts(const MediaView &m)
{
    std::vector<Part> parts;
    Bytes remainder;
    for (const Bytes &stored : m.hddFiles()) {
        Bytes content = testing_support::moduleRead(stored);
        Part p{remainder, content.size(), 0};
        p.buffer.insert(p.buffer.end(), content.begin(), content.end());
        auto records = testing_support::getDbInfo(p.buffer, p.buffer.size(), 1);
        p.packages = records.size();
        std::size_t consumed = records.empty() ? 0 : records.back().dataStart + records.back().compressedSize;
        remainder.assign(p.buffer.begin() + static_cast<std::ptrdiff_t>(consumed), p.buffer.end());
        parts.push_back(std::move(p));
    }
    return parts;
}

// The staging lines, from the folder check to the version text.
inline std::vector<std::string> stagingConsole(const MediaView &m, const std::string &folderLine)
{
    Bytes engine = m.image(2), area;
    testing_support::headOfFirstHddFile(m.hddFiles().at(0), area);
    std::string text = textOf(m.versionText());
    return {folderLine,
            "ramdevice_48",
            "totalSizeEng=" + std::to_string(engine.size()),
            "Eng base  " + std::to_string(engine.size()),
            chainEnd(engine, engine.size()),
            chainEnd(area, area.size()),
            "BOOTHDLOADER_SYS_NAME_RAM fileSize=" + std::to_string(text.size()),
            "FRW=" + testing_support::versionTextValue(text, "TARGET"),
            "Version=" + systemVersion(m)};
}

// The whole console of a session on media offering all six items, the
// menu confirmed at once (`keyLines` are the menu's lines before it).
inline std::vector<std::string> completedConsole(const MediaView &m, const std::string &folderLine, bool f200,
                                                 const std::vector<std::string> &keyLines = {})
{
    std::vector<std::string> lines = stagingConsole(m, folderLine);
    auto sizes = fileSizeLines(m);
    lines.insert(lines.end(), sizes.begin(), sizes.end());
    lines.push_back("dlFirmUpdateModuleEnableFlag:7e");
    lines.insert(lines.end(), keyLines.begin(), keyLines.end());
    lines.push_back("dlBoardMsgRcvBuf3[1]:34");
    lines.push_back("[dlFirmRewrite]frwRewrite: done.");
    lines.insert(lines.end(), sizes.begin(), sizes.end());
    for (const Part &p : hddParts(m)) {
        // The loader's RAM disk check follows the unended "start HD taskn".
        lines.insert(lines.end(), {"hdfile /TMP/hdd.bin", "total_HDDsize=" + std::to_string(p.placed),
                                   "start HD tasknramdevice_48", chainEnd(p.buffer, p.buffer.size()),
                                   "bootHdLoaderUSBUpdate...Completed"});
    }
    if (f200)
        lines.push_back("[dlFirmSCFlagClear] F200 Clear.");
    lines.push_back("Download -> OK");
    return lines;
}

// The progress log of a completed HDD update.
inline std::string completedProgressLog(const MediaView &m)
{
    std::string log = "OS Version = BOOT V1.00\nSYS Version = " + systemVersion(m) + "\n";
    for (const auto &line : fileSizeLines(m, "[dlFirmUsbCheckHDD] "))
        log += line + "\n";
    for (const Part &p : hddParts(m))
        log += "[bootUsbStrageTenkai_HDD] hdfile /TMP/hdd.bin\n"
               "[bootUsbStrageTenkai_HDD] total_HDDsize=" +
               std::to_string(p.placed) +
               "\n"
               "[dlFirmHdUpdate_USB] start HD task\n"
               "[dlFirmHdLoaderUSBHdUpdate] bootHdLoaderUSBUpdate...Completed\n";
    return log;
}

// The hard disk after the HDD update: every package at its destination,
// then "/PRF" backed up into "/ROM/PRF" in place of what that held.
inline std::map<std::string, Bytes> diskAfterUpdate(const MediaView &m)
{
    std::map<std::string, Bytes> disk;
    for (const auto &p : testing_support::walkHddFiles(m.hddFiles()).packages)
        disk[p.dbName] = p.content;
    std::erase_if(disk, [](const auto &e) { return e.first.starts_with("/ROM/PRF/"); });
    for (const auto &[name, content] : std::map(disk))
        if (name.starts_with("/PRF/"))
            disk["/ROM" + name] = content;
    return disk;
}

// Expansions made while staging: one per engine package, one for the
// version text. The HDD loader's come after them.
// Expansions before the HDD update: each flash ROM package once (checked),
// each engine package, the version text.
inline long stagingExpansions(const MediaView &m)
{
    Bytes engine = m.image(2);
    return 3 + static_cast<long>(testing_support::getDbInfo(engine, engine.size(), 1).size()) + 1;
}

// ---------------------------------------------------------------------------
// The machine folder

inline std::uint32_t be32(const Bytes &b, std::size_t at)
{
    return std::uint32_t(b.at(at)) << 24 | std::uint32_t(b.at(at + 1)) << 16 |
           std::uint32_t(b.at(at + 2)) << 8 | b.at(at + 3);
}

inline std::uint16_t be16(const Bytes &b, std::size_t at)
{
    return std::uint16_t(b.at(at) << 8 | b.at(at + 1));
}

struct MachineView {
    fs::path dir;

    Bytes nvram() const { return readBytes(dir / "nvram.bin"); }
    std::uint32_t rewriteFlags() const { return be32(nvram(), 0); }
    std::uint32_t updateMode() const { return be32(nvram(), 4); }
    bool serviceAreaClear() const
    {
        Bytes nv = nvram();
        return std::all_of(nv.begin() + 0x100, nv.begin() + 0x200, [](std::uint8_t b) { return b == 0; });
    }
    std::uint16_t f200A() const { return be16(nvram(), 0x7808); }
    std::uint16_t f200B() const { return be16(nvram(), 0x780A); }

    // Makes the machine when needed and writes `bytes` into nvram.bin.
    void pokeNvram(std::size_t at, const Bytes &bytes) const
    {
        if (!fs::exists(dir / "nvram.bin") && dlupdate({"machine", "init", dir.string()}).status != 0)
            throw std::runtime_error("dlupdate machine init " + dir.string() + " failed");
        Bytes nv = nvram();
        std::copy(bytes.begin(), bytes.end(), nv.begin() + static_cast<std::ptrdiff_t>(at));
        testing_support::writeFile(dir / "nvram.bin", nv);
    }

    Bytes flash() const { return readBytes(dir / "flashrom.bin"); }
    bool flashErased() const
    {
        static const Bytes erased(16u << 20, 0xFF);
        return flash() == erased;
    }

    std::optional<Bytes> unit(const std::string &name) const
    {
        fs::path p = dir / "units" / (name + ".bin");
        return fs::exists(p) ? std::optional(readBytes(p)) : std::nullopt;
    }

    // Every file under disk/, by its device path ("/SYS/bin/app").
    std::map<std::string, Bytes> disk() const { return filesUnder(dir / "disk", "/"); }

    static std::map<std::string, Bytes> filesUnder(const fs::path &root, const std::string &prefix)
    {
        std::map<std::string, Bytes> files;
        if (fs::is_regular_file(root))
            files[prefix] = readBytes(root);
        else if (fs::is_directory(root))
            for (const auto &e : fs::recursive_directory_iterator(root))
                if (e.is_regular_file())
                    files[prefix + e.path().lexically_relative(root).generic_string()] = readBytes(e.path());
        return files;
    }
};

// ---------------------------------------------------------------------------
inline std::string names(const std::map<std::string, Bytes> &files)
{
    std::string list;
    for (const auto &[name, bytes] : files)
        list += (list.empty() ? "" : ", ") + name + " (" + std::to_string(bytes.size()) + ")";
    return "{" + list + "}";
}

inline ::testing::AssertionResult sameFiles(const std::map<std::string, Bytes> &actual,
                                            const std::map<std::string, Bytes> &expected)
{
    if (actual == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "files " << names(actual) << ", expected " << names(expected);
}

// ---------------------------------------------------------------------------
// The panel

// The 15 x 82 panel, drawn as the boot environment draws it.
class Screen {
public:
    Screen &put(int col, int row, const std::string &text)
    {
        std::string &r = rows_.at(static_cast<std::size_t>(row));
        std::string cut = text.substr(0, static_cast<std::size_t>(std::max(0, 82 - col)));
        if (r.size() < col + cut.size())
            r.resize(col + cut.size(), ' ');
        r.replace(static_cast<std::size_t>(col), cut.size(), cut);
        return *this;
    }
    // As `--panel` writes it: one line per row, trailing blanks removed.
    std::string dump() const
    {
        std::string out;
        for (std::string r : rows_) {
            r.erase(r.find_last_not_of(' ') + 1);
            out += r + "\n";
        }
        return out;
    }

private:
    std::vector<std::string> rows_ = std::vector<std::string>(15);
};

// `len` cells of a `--panel` dump from (col, row), blank-padded.
inline std::string cells(const std::string &panel, int row, int col, std::size_t len)
{
    auto rows = splitLines(panel);
    std::string r = static_cast<std::size_t>(row) < rows.size() ? rows[static_cast<std::size_t>(row)] : "";
    r.resize(std::max(r.size(), static_cast<std::size_t>(col) + len), ' ');
    return r.substr(static_cast<std::size_t>(col), len);
}

struct Draw {
    std::string task;
    int col, row;
    std::string text;
    bool operator==(const Draw &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Draw &d)
{
    return os << d.task << " (" << d.col << "," << d.row << ") \"" << d.text << "\"";
}

// The text calls of a `--panel-trace` file ("clear" calls as text "<clear>").
inline std::vector<Draw> readTrace(const fs::path &file)
{
    std::vector<Draw> draws;
    for (const auto &line : splitLines(readText(file))) {
        json j = json::parse(line);
        if (j.at("op") == "clear")
            draws.push_back({j.at("task"), -1, -1, "<clear>"});
        else
            draws.push_back({j.at("task"), j.at("col"), j.at("row"), j.at("text")});
    }
    return draws;
}

inline std::vector<Draw> drawsOf(const std::vector<Draw> &trace, const std::string &task)
{
    std::vector<Draw> out;
    for (const auto &d : trace)
        if (d.task == task)
            out.push_back(d);
    return out;
}

// ---------------------------------------------------------------------------
// A run in a scratch folder: media, machine, and every output of `run`.

struct Session {
    TempDir dir;
    fs::path media;
    MachineView machine{dir / "machine"};

    fs::path panelFile() const { return dir / "panel.txt"; }
    fs::path traceFile() const { return dir / "trace.jsonl"; }
    fs::path ramdisk() const { return dir / "ramdisk"; }

    // `dlupdate run` on this session's media and machine, with every
    // output file; `extra` holds --keys, --fault and the like.
    Outcome run(const std::vector<std::string> &extra) const
    {
        fs::remove_all(ramdisk());
        std::vector<std::string> args{"run",
                                      "--media",
                                      media.string(),
                                      "--machine",
                                      machine.dir.string(),
                                      "--panel",
                                      panelFile().string(),
                                      "--panel-trace",
                                      traceFile().string(),
                                      "--ramdisk-out",
                                      ramdisk().string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return dlupdate(args);
    }

    std::string panel() const { return readText(panelFile()); }
    std::vector<Draw> trace() const { return readTrace(traceFile()); }
    std::map<std::string, Bytes> ramdiskFiles() const { return MachineView::filesUnder(ramdisk(), "/TMP/"); }
};

// Media of the sample manifest, edited by `edit`, made once per test
// process for each name.
inline fs::path sharedMedia(const std::string &name, const std::function<void(json &)> &edit = {})
{
    static TempDir store;
    static std::map<std::string, fs::path> made;
    auto it = made.find(name);
    if (it != made.end())
        return it->second;
    json m = sampleManifest();
    if (edit)
        edit(m);
    return made[name] = makeMedia(m, store / name);
}

} // namespace testing_support
