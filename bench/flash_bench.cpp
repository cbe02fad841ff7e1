// The flash ROM rewrite as the module does it: erase, program the whole
// 16 MiB, read it back one byte per read call; beside it a memcmp of the
// same 16 MiB, the floor that the byte-per-call read-back is measured
// against.
#include "host/Console.h"
#include "host/Faults.h"
#include "host/machine/FlashRom.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using host::FlashRom;

constexpr std::uint32_t kSize = FlashRom::kSize;

// A flashrom.bin in a scratch folder, an unlocked "/dlfromALL/" over it and
// an image of 16 MiB, programmed once.
class Bench {
public:
    Bench()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "dlbench.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        FlashRom::create(dir_ / "flashrom.bin");
        rom_ = std::make_unique<FlashRom>(dir_ / "flashrom.bin", console_, faults_);
        device_ = rom_->createDevice("/dlfromALL/", FlashRom::kBoardBase, kSize);
        rom_->unlock(FlashRom::kBoardBase, kSize);
        file_ = device_->open("", host::iof::kRdWr, 0);
        image_.resize(kSize);
        for (std::size_t i = 0; i < kSize; ++i)
            image_[i] = static_cast<char>((i * 131) ^ (i >> 9));
    }
    ~Bench()
    {
        file_.reset();
        device_.reset();
        rom_.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    void eraseAndProgram()
    {
        file_->ioctl(FlashRom::kEraseFunction, 0);
        file_->seek(0, host::iof::kSeekSet);
        if (file_->write(image_.data(), kSize) != static_cast<long>(kSize))
            throw std::runtime_error("short write");
    }

    host::OpenFile &file() { return *file_; }
    const std::vector<char> &image() const { return image_; }
    const std::uint8_t *flash() const { return rom_->bytes().data(); }

private:
    std::filesystem::path dir_;
    host::Console console_;
    host::Faults faults_;
    std::unique_ptr<FlashRom> rom_;
    std::unique_ptr<host::FlashDevice> device_;
    std::unique_ptr<host::OpenFile> file_;
    std::vector<char> image_;
};

// Each benchmark gets its own flash file, made before its timing starts.
class FlashBench : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State &) override { bench_ = std::make_unique<Bench>(); }
    void TearDown(const benchmark::State &) override { bench_.reset(); }

protected:
    std::unique_ptr<Bench> bench_;
};

BENCHMARK_DEFINE_F(FlashBench, EraseAndProgram16MiB)(benchmark::State &state)
{
    for (auto _ : state)
        bench_->eraseAndProgram();
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK_REGISTER_F(FlashBench, EraseAndProgram16MiB)->Unit(benchmark::kMillisecond);

// verifyFRom: one read call per byte, each compared with the image.
BENCHMARK_DEFINE_F(FlashBench, ReadBackOneBytePerCall16MiB)(benchmark::State &state)
{
    bench_->eraseAndProgram();
    const char *image = bench_->image().data();
    host::OpenFile &f = bench_->file();
    for (auto _ : state) {
        f.seek(0, host::iof::kSeekSet);
        std::size_t bad = 0;
        for (std::size_t i = 0; i < kSize; ++i) {
            char c;
            if (f.read(&c, 1) < 1 || c != image[i])
                ++bad;
        }
        if (bad != 0)
            state.SkipWithError("read-back differs");
        benchmark::DoNotOptimize(bad);
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK_REGISTER_F(FlashBench, ReadBackOneBytePerCall16MiB)->Unit(benchmark::kMillisecond);

BENCHMARK_DEFINE_F(FlashBench, Memcmp16MiB)(benchmark::State &state)
{
    bench_->eraseAndProgram();
    for (auto _ : state) {
        int r = std::memcmp(bench_->flash(), bench_->image().data(), kSize);
        if (r != 0)
            state.SkipWithError("flash differs");
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(state.iterations() * kSize);
}
BENCHMARK_REGISTER_F(FlashBench, Memcmp16MiB)->Unit(benchmark::kMillisecond);

} // namespace
