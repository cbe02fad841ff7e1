// The whole HDD update (8 files, about 2,000 packages, over 200 MiB
// expanded) as the session driver starts it, beside its floor: the same
// packages inflated straight from memory with zlib and written with plain
// file writes to the same files of the machine's disk folder.
#include "update/hdd/dlFirmHDDUpdate.h"
#include "update/session/dlFirmUpMain.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include "host/machine/HardDisk.h"
#include "support/BenchMachine.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kPackages = 2000;
constexpr int kFiles = 8;
constexpr int kDirs = 40;

struct Package {
    std::string dbName;
    std::size_t dataStart; // in the chain
    std::size_t compressed;
    std::size_t expanded;
};

// The HDD media, made once per process: packages of 64 to 144 KiB whose
// content is drawn from a small dictionary of random words, so it deflates
// about 4:1 and fast.
struct Media {
    bench_support::ScratchDir dir{"dlhddbench"};
    std::vector<Package> packages;
    std::string chain;
    std::size_t expanded = 0;

    Media()
    {
        std::mt19937 gen(2024);
        std::vector<std::string> words(256);
        for (auto &w : words)
            for (int i = 0; i < 8; ++i)
                w += static_cast<char>(gen() & 0xFF);
        std::string content;
        std::string data;
        for (int i = 0; i < kPackages; ++i) {
            std::size_t size = 65536 + gen() % 81920;
            content.clear();
            while (content.size() < size)
                content += words[gen() & 0xFF];
            content.resize(size);
            uLongf n = compressBound(static_cast<uLong>(size));
            data.resize(n);
            if (compress2(reinterpret_cast<Bytef *>(data.data()), &n,
                          reinterpret_cast<const Bytef *>(content.data()), size, 1) != Z_OK)
                throw std::runtime_error("deflate failed");
            data.resize(n);
            std::string name = "/SYS/d" + std::to_string(i % kDirs) + "/p" + std::to_string(i);
            std::string head;
            for (auto [key, value] :
                 {std::pair<std::string, std::string>{"EXPANDEDSIZE", std::to_string(size)},
                  {"COMPRESSEDSIZE", std::to_string(n)},
                  {"DBNAME", name},
                  {"VERSION", "1.00"},
                  {"COMMENT", "HDD"}})
                head += key + "\n" + value + std::string(1, '\0');
            head += "DATASTART\n";
            packages.push_back({name, chain.size() + head.size(), n, size});
            chain += head + data + "\r\n";
            expanded += size;
        }
        // Eight files of about equal size, each cut at an even offset.
        fs::create_directories(dir / "media");
        std::size_t from = 0;
        for (int f = 1; f <= kFiles; ++f) {
            std::size_t to = f == kFiles ? chain.size() : (chain.size() * f / kFiles) & ~std::size_t(1);
            std::string stored = chain.substr(from, to - from);
            if (stored.size() % 2)
                stored.insert(stored.size() - 1, 1, '\xFF');
            for (std::size_t i = 0; i + 1 < stored.size(); i += 2)
                std::swap(stored[i], stored[i + 1]);
            std::ofstream(dir / "media" / std::to_string(f), std::ios::binary)
                .write(stored.data(), static_cast<std::streamsize>(stored.size()));
            from = to;
        }
    }
};

Media &media()
{
    static Media m;
    return m;
}

// A machine over the media, its console silenced and its RAM disk made.
class Bench {
public:
    Bench()
    {
        vx::dlupdateFolderCheckFlag = 0;
        runTask([] { vx::bootUpdateTempDevCreate3(); });
    }

    void runTask(std::function<void()> body) { machine_.runInTask(std::move(body)); }

    // As the session driver: result queue, the HDD task, its result.
    int update()
    {
        int result = 99;
        runTask([&] {
            vx::dlFirmUpdateHdQId = vx::msgQCreate(5, 4, 1);
            vx::taskSpawn("tdlFirmHdUpdate", 100, 8, 0x100000, vx::dlFirmHdUpdate_USB, vx::DL_ITEM_HDD, 0, 0,
                          0, 0, 0, 0, 0, 0, 0);
            vx::INT32 word = 0;
            vx::msgQReceive(vx::dlFirmUpdateHdQId, reinterpret_cast<char *>(&word), 4, vx::WAIT_FOREVER);
            result = word;
        });
        // The update's cost includes removing the files it replaced.
        machine_.machine().disk()->settle();
        return result;
    }

    // zlib and plain file writes: the floor of the update's work.
    bool baseline()
    {
        std::vector<Bytef> out;
        const Media &m = media();
        for (int d = 0; d < kDirs; ++d)
            fs::create_directories(folder_ / "disk" / "SYS" / ("d" + std::to_string(d)));
        for (const Package &p : m.packages) {
            out.resize(p.expanded);
            uLongf n = p.expanded;
            if (uncompress(out.data(), &n, reinterpret_cast<const Bytef *>(m.chain.data() + p.dataStart),
                           p.compressed) != Z_OK ||
                n != p.expanded)
                return false;
            std::FILE *f = std::fopen((folder_ / "disk" / p.dbName.substr(1)).c_str(), "wb");
            if (f == nullptr)
                return false;
            bool ok = std::fwrite(out.data(), 1, n, f) == n;
            if (std::fclose(f) != 0 || !ok)
                return false;
        }
        return true;
    }

    void emptySys()
    {
        for (const auto &e : fs::directory_iterator(folder_ / "disk" / "SYS"))
            fs::remove_all(e.path());
    }

    bool sameAsMedia(int i)
    {
        const Package &p = media().packages[i];
        return fs::file_size(folder_ / "disk" / p.dbName.substr(1)) == p.expanded;
    }

private:
    fs::path folder_ = media().dir / "machine";
    bench_support::BenchMachine machine_{media().dir / "media", folder_};
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Each iteration times the update, then the baseline on an emptied /SYS;
// the reported time is the update's.
void BM_HddUpdateVsInflate(benchmark::State &state)
{
    Bench bench;
    double update = 0;
    double floor = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        int r = bench.update();
        auto t1 = Clock::now();
        if (r != 0 || !bench.sameAsMedia(0) || !bench.sameAsMedia(kPackages - 1)) {
            state.SkipWithError("the HDD update failed");
            break;
        }
        bench.emptySys();
        auto t2 = Clock::now();
        bool ok = bench.baseline();
        auto t3 = Clock::now();
        if (!ok) {
            state.SkipWithError("the baseline failed");
            break;
        }
        state.SetIterationTime(seconds(t1 - t0));
        update += seconds(t1 - t0);
        floor += seconds(t3 - t2);
    }
    double n = static_cast<double>(state.iterations());
    state.counters["update_ms"] = update / n * 1e3;
    state.counters["inflate_ms"] = floor / n * 1e3;
    state.counters["ratio"] = floor > 0 ? update / floor : 0;
    state.counters["packages"] = kPackages;
    state.counters["expanded_MiB"] = static_cast<double>(media().expanded) / (1 << 20);
    state.counters["media_MiB"] = static_cast<double>(media().chain.size()) / (1 << 20);
    state.SetBytesProcessed(static_cast<int64_t>(media().expanded) * state.iterations());
}
BENCHMARK(BM_HddUpdateVsInflate)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
