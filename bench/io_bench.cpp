// One-byte reads, as a flash verification makes them by the million: on a
// RAM disk file, on a host-folder file, and a plain one-byte copy beside them.
#include "host/Console.h"
#include "host/io/HostFolderDevice.h"
#include "host/io/IoSystem.h"
#include "host/io/RamDisk.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFileBytes = 1 << 20;
constexpr std::size_t kDiskBytes = 512u * 98304u; // ramDevCreate(memory, 512, 400, 98304, 0)

std::string content()
{
    std::string s(kFileBytes, '\0');
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>(i * 31 + 7);
    return s;
}

// Reads the open file byte by byte, starting over at its end.
void readBytes(benchmark::State &state, host::IoSystem &io, int fd)
{
    char byte = 0;
    for (auto _ : state) {
        if (io.read(fd, &byte, 1) != 1) {
            io.lseek(fd, 0, host::iof::kSeekSet);
            io.read(fd, &byte, 1);
        }
        benchmark::DoNotOptimize(byte);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MemcpyOneByte(benchmark::State &state)
{
    std::string src = content();
    std::size_t at = 0;
    char byte = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(src.data());
        std::memcpy(&byte, src.data() + at, 1);
        benchmark::DoNotOptimize(byte);
        at = (at + 1) & (kFileBytes - 1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemcpyOneByte);

void BM_RamDiskReadOneByte(benchmark::State &state)
{
    host::Console console;
    auto memory = std::make_unique<char[]>(kDiskBytes);
    host::RamBlockDevice blocks(memory.get(), kDiskBytes, 512);
    host::IoSystem io(console);
    io.addDevice(std::make_unique<host::DosFsDevice>("/TMP", blocks, console));
    int fd = io.open("/TMP/flash.bin", host::iof::kRdWr | host::iof::kCreat, 0);
    std::string data = content();
    if (fd < 0 || io.write(fd, data.data(), data.size()) != static_cast<int>(data.size())) {
        state.SkipWithError("could not make the RAM disk file");
        return;
    }
    io.lseek(fd, 0, host::iof::kSeekSet);
    readBytes(state, io, fd);
}
BENCHMARK(BM_RamDiskReadOneByte);

void BM_HostFolderReadOneByte(benchmark::State &state)
{
    fs::path dir = fs::temp_directory_path() / ("dl-io-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "image.bin", std::ios::binary) << content();
    {
        host::Console console;
        host::IoSystem io(console);
        io.addDevice(std::make_unique<host::HostFolderDevice>("/usbstor/0", dir, true, console));
        int fd = io.open("/usbstor/0/image.bin", host::iof::kRdOnly, 0);
        if (fd < 0)
            state.SkipWithError("could not open the host file");
        else
            readBytes(state, io, fd);
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_HostFolderReadOneByte);

} // namespace
