// A whole update session on a large medium, as `dlupdate run --keys ok`
// runs it, beside the floor of the same work done directly in the same
// run.
//
// The medium, made once per process with the media builder from generated
// (incompressible) sources and a tree of random files: a flash ROM image of about 7.5 MiB with three
// UI packages, image 1 of 1 MiB, four sub-unit packages (8 MiB together)
// and an HDD system of 26 files of 8 MiB (208 MiB expanded) cut into HDD
// package files of at most 16 MiB, so that one file, one package and the
// staged images fit the 48 MiB RAM disk at once.
//
// The session runs in the session task of one machine that stays booted
// for the whole benchmark, its sessions back to back. Its phases are timed
// by the console lines that end them: the menu's first line ends staging
// and the availability check, "[dlFirmRewrite]frwRewrite: done." the OS UI
// task (which runs first), "Download -> OK" the HDD, unit and scanner
// tasks and the result.
//
// The floor: the pair-swap of every file of the medium into memory, zlib
// inflating every package it holds (the units and HDD files written to
// plain files), the flash image assembled and written into 16 MiB of
// erased memory, and read back one byte at a time.
#include "host/machine/Keys.h"
#include "tools/media/MkMedia.h"
#include "update/session/dlFirmUpMain.h"

#include "host/machine/HardDisk.h"
#include "support/BenchMachine.h"
#include "support/Timing.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
using json = nlohmann::json;

constexpr int kHddFiles = 26;
constexpr std::size_t kHddFileBytes = 8u << 20;
constexpr std::size_t kFlashBytes = 16u << 20;
constexpr std::size_t kImageArea = 8u << 20;

json generated(std::size_t size, int seed) { return {{"size", size}, {"seed", seed}}; }

// The HDD system: a tree of seeded random files (the manifest's HDD file
// list takes only paths).
void writeHddTree(const fs::path &tree)
{
    fs::create_directories(tree / "SYS" / "data");
    std::mt19937_64 gen(100);
    std::vector<std::uint64_t> words(kHddFileBytes / 8);
    for (int i = 0; i < kHddFiles; ++i) {
        for (auto &w : words)
            w = gen();
        char name[40];
        std::snprintf(name, sizeof name, "blob%02d.bin", i);
        std::ofstream(tree / "SYS" / "data" / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(words.data()), static_cast<std::streamsize>(kHddFileBytes));
    }
}

json manifest(const fs::path &tree)
{
    auto ui = [](std::size_t size, int seed, const char *version, const char *name) {
        return json{{"source", generated(size, seed)},
                    {"version", version},
                    {"language", "JA"},
                    {"dbName", std::string("/TMP/") + name + ".tz"},
                    {"comment", "UI_DATA"}};
    };
    return {{"folder", "fwstore"},
            {"image0",
             {{"content", generated(0x280000, 1)},
              {"packages",
               {{"ui1", ui(0x80000, 2, "1.20", "ui1")},
                {"ui0", ui(0x60000, 3, "1.20", "ui0")},
                {"uif", ui(0x400000, 4, "1.21", "uif")}}}}},
            {"image1",
             {{"content", generated(0x100000, 5)},
              {"head", {{"target", "DL01"}, {"version", "R2.10.0001"}, {"oem", "1"}, {"shipping", "A"}}}}},
            {"image2",
             {{"lsr", {{"source", generated(1u << 20, 11)}, {"version", "L1.03"}}},
              {"pfc", {{"source", generated((1u << 20) + 1, 12)}, {"version", "P2.00"}}},
              {"engine", {{"source", generated(4u << 20, 13)}, {"version", "E3.10"}}},
              {"scanner", {{"source", generated(2u << 20, 14)}, {"version", "S1.07"}}}}},
            {"hdd",
             {{"tree", tree.string()},
              {"versionText",
               {{"target", "DL01"}, {"oem", "1"}, {"major", "R2"}, {"minor", "10"}, {"shipping", "A"}}},
              {"fileSize", 16u << 20}}}};
}

bool writeFile(const fs::path &p, const unsigned char *data, std::size_t n)
{
    std::FILE *f = std::fopen(p.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(data, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}

// The medium and a machine over it, made once per process.
class Environment {
public:
    static Environment &get() { return bench_support::ProcessEnvironment::get<Environment>(); }

    fs::path media() const { return dir_ / "media" / "fwstore"; }
    fs::path machineDir() const { return dir_ / "machine"; }
    fs::path floorDir() const { return dir_ / "floor"; }
    host::Machine &machine() { return machine_->machine(); }
    std::uintmax_t mediaBytes = 0;

    // Console lines are timed from `start`.
    Clock::time_point start;
    double stagedAt = 0, flashAt = 0, doneAt = 0;
    bool completed = false;

private:
    friend class bench_support::ProcessEnvironment;
    Environment()
    {
        writeHddTree(dir_ / "hddtree");
        std::ofstream(dir_ / "manifest.json") << manifest(dir_ / "hddtree").dump(1);
        std::ostringstream out, err;
        if (media::runMkMedia((dir_ / "manifest.json").string(), (dir_ / "media").string(), out,
                              dltool::Voice("dlupdate mkmedia", err)) != 0)
            throw std::runtime_error("the media builder failed: " + err.str());
        fs::remove_all(dir_ / "hddtree"); // in the media now
        for (const auto &e : fs::directory_iterator(media()))
            mediaBytes += e.file_size();
        machine_.emplace(dir_ / "media", machineDir(), [this](std::string_view text) { console(text); });
    }

    void console(std::string_view text)
    {
        for (char c : text) {
            if (c != '\n') {
                line_ += c;
                continue;
            }
            double at = std::chrono::duration<double>(Clock::now() - start).count();
            if (line_.starts_with("dlFirmUpdateModuleEnableFlag:"))
                stagedAt = at;
            else if (line_ == "[dlFirmRewrite]frwRewrite: done.")
                flashAt = at;
            else if (line_ == "Download -> OK")
                doneAt = at, completed = true;
            line_.clear();
        }
    }

    bench_support::ScratchDir dir_{"dlsessionbench"}; // removed too when the medium cannot be made
    std::string line_;
    std::optional<bench_support::BenchMachine> machine_; // once the medium is made
};

// One session choosing every item; true when it completed.
bool runSession(Environment &env)
{
    env.completed = false;
    env.stagedAt = env.flashAt = env.doneAt = 0;
    host::KeyScript keys(env.machine().keys(), host::KeyScript::parse("ok"));
    keys.attach();
    int result = -1;
    env.start = Clock::now();
    const host::TaskOutcome run =
        host::runInTask(env.machine().kernel(), [&result] { result = vx::dlFirmUpdateUSBMediaMain(); });
    // The session's cost includes removing the files it replaced.
    if (env.machine().disk())
        env.machine().disk()->settle();
    keys.detach();
    return run.returned() && result == 0 && env.completed;
}

// ---- the floor ----

// The file read whole with one read, then its byte pairs exchanged into
// a second buffer.
Bytes swapped(const fs::path &file)
{
    std::size_t n = fs::file_size(file);
    static Bytes in;
    in.resize(n);
    std::FILE *f = std::fopen(file.c_str(), "rb");
    if (f == nullptr || std::fread(in.data(), 1, n, f) != n)
        throw std::runtime_error("cannot read " + file.string());
    std::fclose(f);
    Bytes out(n + n % 2);
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        out[i] = in[i + 1];
        out[i + 1] = in[i];
    }
    if (n % 2) {
        out[n - 1] = 0xFF;
        out[n] = in[n - 1];
    }
    return out;
}

// Inflates every package of a chain: the data after each "DATASTART" line
// up to the end of its zlib stream, then CR LF and the next header. Each
// content goes to `sink`.
template <typename Sink>
bool inflateChain(const Bytes &chain, Sink sink)
{
    static const std::string_view kStart = "DATASTART\n";
    static std::size_t capacity = 16u << 20;
    static std::unique_ptr<unsigned char[]> out(new unsigned char[capacity]);
    std::size_t at = 0;
    for (int n = 0;; ++n) {
        auto it =
            std::search(chain.begin() + static_cast<long>(at), chain.end(), kStart.begin(), kStart.end());
        if (it == chain.end())
            return true;
        z_stream zs{};
        inflateInit(&zs);
        zs.next_in = const_cast<Bytef *>(&*it) + kStart.size();
        zs.avail_in = static_cast<uInt>(chain.end() - it - static_cast<long>(kStart.size()));
        std::size_t produced = 0;
        int rc = Z_OK;
        while (rc == Z_OK) {
            if (produced == capacity) {
                std::unique_ptr<unsigned char[]> more(new unsigned char[capacity * 2]);
                std::memcpy(more.get(), out.get(), capacity);
                out = std::move(more);
                capacity *= 2;
            }
            zs.next_out = out.get() + produced;
            zs.avail_out = static_cast<uInt>(capacity - produced);
            rc = inflate(&zs, Z_NO_FLUSH);
            produced = capacity - zs.avail_out;
        }
        at = static_cast<std::size_t>(zs.next_in - chain.data()) + 2;
        inflateEnd(&zs);
        if (rc != Z_STREAM_END || !sink(n, out.get(), produced))
            return false;
    }
}

bool floorWork(Environment &env)
{
    const fs::path media = env.media(), out = env.floorDir();
    // Every file of the medium, pair-swapped into memory.
    Bytes image0 = swapped(media / "firmImage0.bin"), image1 = swapped(media / "firmImage1.bin"),
          image2 = swapped(media / "firmImage2.bin");
    Bytes hdd;
    hdd.reserve(env.mediaBytes);
    for (int n = 1; fs::exists(media / std::to_string(n)); ++n) {
        Bytes part = swapped(media / std::to_string(n));
        hdd.insert(hdd.end(), part.begin(), part.end());
    }
    // Every package inflated: the units and the HDD system into files.
    const char *units[] = {"lsr", "pfc", "engine", "scanner"};
    bool ok = inflateChain(image2, [&](int n, const unsigned char *data, std::size_t size) {
        return n < 4 && writeFile(out / (std::string(units[n]) + ".bin"), data, size);
    });
    ok = ok && inflateChain(hdd, [&](int n, const unsigned char *data, std::size_t size) {
             return writeFile(out / ("hdd" + std::to_string(n)), data, size);
         });
    // The flash image, written into erased flash memory and read back one
    // byte at a time.
    image0.resize(kImageArea, 0);
    Bytes from = image1;
    from.insert(from.end(), image0.begin() + kImageArea / 2, image0.end());
    from.insert(from.end(), image0.begin(), image0.begin() + kImageArea / 2);
    static Bytes flash(kFlashBytes);
    std::memset(flash.data(), 0xFF, flash.size());
    for (std::size_t i = 0; i < from.size(); ++i)
        flash[i] &= from[i];
    const volatile unsigned char *cell = flash.data();
    for (std::size_t i = 0; i < from.size(); ++i)
        ok = ok && cell[i] == from[i];
    return ok;
}

double processSeconds() { return bench_support::cpuSeconds(CLOCK_PROCESS_CPUTIME_ID); }

// Each iteration runs the session and the floor back to back, taking turns
// at going first; the ratios are the medians of the pairs'. The reported
// time is the session's.
void BM_SessionOverFloor(benchmark::State &state)
{
    Environment &env = Environment::get();
    fs::create_directories(env.floorDir());
    std::vector<double> wallRatios, cpuRatios, session, floor, staged, flash, rest;
    bool sessionFirst = true;
    for (auto _ : state) {
        double wall[2] = {}, cpu[2] = {}; // session, floor
        for (int turn = 0; turn < 2; ++turn) {
            int which = (turn == 0) == sessionFirst ? 0 : 1;
            auto t0 = Clock::now();
            double c0 = processSeconds();
            bool ok = which == 0 ? runSession(env) : floorWork(env);
            cpu[which] = processSeconds() - c0;
            wall[which] = std::chrono::duration<double>(Clock::now() - t0).count();
            if (!ok) {
                state.SkipWithError(which == 0 ? "the session did not complete" : "the floor failed");
                return;
            }
        }
        sessionFirst = !sessionFirst;
        if (fs::file_size(env.machineDir() / "disk" / "SYS" / "data" / "blob25.bin") != kHddFileBytes) {
            state.SkipWithError("the HDD system was not loaded");
            return;
        }
        session.push_back(wall[0]);
        floor.push_back(wall[1]);
        staged.push_back(env.stagedAt);
        flash.push_back(env.flashAt - env.stagedAt);
        rest.push_back(env.doneAt - env.flashAt);
        wallRatios.push_back(wall[0] / wall[1]);
        cpuRatios.push_back(cpu[0] / cpu[1]);
        state.SetIterationTime(wall[0]);
    }
    state.counters["session_ms"] = bench_support::median(session) * 1e3;
    state.counters["floor_ms"] = bench_support::median(floor) * 1e3;
    state.counters["staging_ms"] = bench_support::median(staged) * 1e3;
    state.counters["os_ui_ms"] = bench_support::median(flash) * 1e3;
    state.counters["hdd_units_ms"] = bench_support::median(rest) * 1e3;
    state.counters["ratio"] = bench_support::median(wallRatios);
    state.counters["ratio_cpu"] = bench_support::median(cpuRatios);
    state.counters["media_MiB"] = static_cast<double>(env.mediaBytes) / (1 << 20);
}
BENCHMARK(BM_SessionOverFloor)
    ->Name("Session_over_Floor")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(7);

} // namespace
