// Media staging: the pair-swap readers on a 64 MiB image beside a plain
// copy of the same file through the same I/O layer, and the chained package
// lookup over a part buffer of 2,048 packages.
//
// Setup: a 64 MiB file does not fit the 48 MiB RAM disk, so every copy
// reads from the media folder ("/usbstor/0", a host-folder device) and
// writes to the hard-disk partition "/UND" (a host-folder device as well),
// both through the machine's I/O system exactly as the module's calls go.
// The plain copy reads and writes the same 64 KiB chunks with the same
// calls and differs only in not exchanging the bytes, so the ratio of the
// two is the cost of the swap itself. The memory readers are set beside
// the same chunked reads into the destination without the swap.
#include "update/staging/dlFirmUpSubFunction.h"

#include "support/BenchMachine.h"
#include "support/Timing.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kImageBytes = 64u << 20;
constexpr int kChunk = vx::DL_SWAP_CHUNK;
const char *const kSource = "/usbstor/0/image.bin";
const char *const kTarget = "/UND/image.out";

// One machine for the whole run, with its media file made once.
class Environment {
public:
    static Environment &get() { return bench_support::ProcessEnvironment::get<Environment>(); }

private:
    friend class bench_support::ProcessEnvironment;
    Environment()
    {
        fs::create_directories(dir_ / "media");
        std::vector<char> bytes(kImageBytes);
        std::mt19937 gen(1);
        for (auto &b : bytes)
            b = static_cast<char>(gen());
        std::ofstream(dir_ / "media" / "image.bin", std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        machine_.emplace(dir_ / "media", dir_ / "machine");
    }

    bench_support::ScratchDir dir_{"dlbench-staging"};
    std::optional<bench_support::BenchMachine> machine_; // once the media file is made
};

// ---- file to file ----

int swapCopy()
{
    int src = vx::open(kSource, vx::O_RDONLY, 0);
    int dst = vx::open(kTarget, vx::O_RDWR | vx::O_CREAT | vx::O_TRUNC, 0644);
    int n = vx::dlFirmUsbReadFile_Swap(dst, src);
    vx::close(src);
    vx::close(dst);
    return n;
}

// The same reads and writes without the swap, buffers allocated per call as
// the reader does.
int plainCopy()
{
    int src = vx::open(kSource, vx::O_RDONLY, 0);
    int dst = vx::open(kTarget, vx::O_RDWR | vx::O_CREAT | vx::O_TRUNC, 0644);
    char *buf = static_cast<char *>(vx::malloc(kChunk));
    int total = 0;
    for (int n; (n = vx::read(src, buf, kChunk)) > 0;)
        total += vx::write(dst, buf, static_cast<vx::size_t>(n));
    vx::free(buf);
    vx::close(src);
    vx::close(dst);
    return total;
}

template <int (*Copy)()>
void BM_FileCopy(benchmark::State &state)
{
    Environment::get();
    for (auto _ : state) {
        if (Copy() != static_cast<int>(kImageBytes)) {
            state.SkipWithError("short copy");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes));
}
BENCHMARK_TEMPLATE(BM_FileCopy, plainCopy)->Name("PlainCopy_64MiB_FileToFile")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_FileCopy, swapCopy)
    ->Name("dlFirmUsbReadFile_Swap_64MiB")
    ->Unit(benchmark::kMillisecond);

// The calling thread's processor time (the copies run in it, system calls
// included), which a loaded machine disturbs less than the clock.
double threadSeconds() { return bench_support::cpuSeconds(CLOCK_THREAD_CPUTIME_ID); }

// Both copies in each iteration, back to back and taking turns at going
// first, so that each pair meets the same load of a shared machine; the
// ratio reported is the median of the pairs' ratios, by the clock and by
// the thread's processor time. The reported time is the swap's.
template <int (*Plain)(), int (*Swap)()>
void BM_SwapOverPlain(benchmark::State &state)
{
    Environment::get();
    using Clock = std::chrono::steady_clock;
    std::vector<double> wallRatios, cpuRatios;
    bool plainFirst = true;
    for (auto _ : state) {
        double wall[2] = {}, cpu[2] = {}; // plain, swap
        for (int turn = 0; turn < 2; ++turn) {
            int which = (turn == 0) == plainFirst ? 0 : 1;
            auto t0 = Clock::now();
            double c0 = threadSeconds();
            which == 0 ? Plain() : Swap();
            cpu[which] = threadSeconds() - c0;
            wall[which] = std::chrono::duration<double>(Clock::now() - t0).count();
        }
        plainFirst = !plainFirst;
        wallRatios.push_back(wall[1] / wall[0]);
        cpuRatios.push_back(cpu[1] / cpu[0]);
        state.SetIterationTime(wall[1]);
    }
    state.counters["swap_over_plain"] = bench_support::median(wallRatios);
    state.counters["swap_over_plain_cpu"] = bench_support::median(cpuRatios);
}
BENCHMARK_TEMPLATE(BM_SwapOverPlain, plainCopy, swapCopy)
    ->Name("Ratio_FileSwap_over_PlainCopy")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

// ---- file to memory ----

std::vector<char> &destination()
{
    static std::vector<char> d(kImageBytes + kChunk);
    return d;
}

int swapToMemory()
{
    int src = vx::open(kSource, vx::O_RDONLY, 0);
    int n = vx::bootUsbReadMem_Swap(destination().data(), src);
    vx::close(src);
    return n;
}

// The same reads into the destination without the swap.
int plainToMemory()
{
    int src = vx::open(kSource, vx::O_RDONLY, 0);
    char *to = destination().data();
    int total = 0;
    for (int n; (n = vx::read(src, to + total, kChunk)) > 0;)
        total += n;
    vx::close(src);
    return total;
}

template <int (*Read)()>
void BM_MemoryRead(benchmark::State &state)
{
    Environment::get();
    for (auto _ : state) {
        if (Read() != static_cast<int>(kImageBytes)) {
            state.SkipWithError("short read");
            return;
        }
        benchmark::DoNotOptimize(destination().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes));
}
BENCHMARK_TEMPLATE(BM_MemoryRead, plainToMemory)
    ->Name("PlainRead_64MiB_ToMemory")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_MemoryRead, swapToMemory)
    ->Name("bootUsbReadMem_Swap_64MiB")
    ->Unit(benchmark::kMillisecond);

BENCHMARK_TEMPLATE(BM_SwapOverPlain, plainToMemory, swapToMemory)
    ->Name("Ratio_MemSwap_over_PlainRead")
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

// The bounded reader: the first chunk of the file, as the version-text step
// reads HDD package file 1.
void BM_BoundedFirstChunk(benchmark::State &state)
{
    Environment::get();
    for (auto _ : state) {
        int src = vx::open(kSource, vx::O_RDONLY, 0);
        int n = vx::bootUsbReadMem_Swap_Size(destination().data(), src, kChunk);
        vx::close(src);
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(BM_BoundedFirstChunk)->Name("bootUsbReadMem_Swap_Size_64KiB")->Unit(benchmark::kMicrosecond);

// ---- chained lookup ----

// A part buffer of 2,048 packages with headers as the media tool writes
// them and 1 KiB of data each.
std::string partBuffer(int packages)
{
    std::mt19937 gen(2);
    std::string buf;
    for (int i = 0; i < packages; ++i) {
        std::string data(1024, '\0');
        for (auto &c : data)
            c = static_cast<char>(gen());
        auto pair = [&](const char *key, const std::string &value) {
            buf += key;
            buf += '\n';
            buf += value;
            buf += '\0';
        };
        pair("EXPANDEDSIZE", std::to_string(4096 + i));
        pair("COMPRESSEDSIZE", std::to_string(data.size()));
        pair("DBNAME", "/SYS/app/data/file" + std::to_string(i) + ".bin");
        pair("VERSION", "V1R2.10 A");
        pair("COMMENT", "HDD");
        buf += "DATASTART\n" + data + "\r\n";
    }
    return buf;
}

void BM_ChainLookup2048(benchmark::State &state)
{
    Environment::get();
    std::string text = partBuffer(vx::DL_DB_TABLE_HDD);
    std::vector<char> buf(text.begin(), text.end());
    std::vector<vx::DL_DB_INFO> table(vx::DL_DB_TABLE_HDD);
    for (auto _ : state) {
        // the exported form: bounded by the loader's table
        int n = vx::dlFirmGetDBInfo(table.data(), buf.data(), static_cast<vx::INT32>(buf.size()),
                                    vx::DL_DB_CHAIN);
        if (n != vx::DL_DB_TABLE_HDD) {
            state.SkipWithError("packages missed");
            return;
        }
        benchmark::DoNotOptimize(table.data());
    }
    state.SetItemsProcessed(state.iterations() * vx::DL_DB_TABLE_HDD);
}
BENCHMARK(BM_ChainLookup2048)->Name("dlFirmGetDBInfo_chain_2048")->Unit(benchmark::kMillisecond);

} // namespace
