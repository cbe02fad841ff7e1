// One simulated machine per fuzzing process: a machine folder and a media
// folder in a temporary directory, the console silenced, the machine bound
// for the whole run. Module code that may end its task runs in a task.
#pragma once

#include "host/BoundMachine.h"
#include "host/Machine.h"
#include "host/machine/MachineFolder.h"
#include "update/staging/dlFirmUpSubFunction.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace fuzzing {

namespace fs = std::filesystem;

// Stops the run on a broken expectation, so that libFuzzer keeps the input.
#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                    \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

class FuzzMachine {
public:
    static FuzzMachine &get()
    {
        static FuzzMachine *m = new FuzzMachine(); // lives until the process ends
        return *m;
    }

    // The machine with its RAM disk "/TMP" made, as a session has it before
    // it stages; the first call makes it, for the rest of the process.
    static FuzzMachine &withRamDisk()
    {
        static FuzzMachine &m = []() -> FuzzMachine & {
            FuzzMachine &fm = get();
            fm.runTask([] { FUZZ_CHECK(vx::bootUpdateTempDevCreate3() == 0); });
            return fm;
        }();
        return m;
    }

    host::Machine &machine() { return machine_->machine(); }
    const fs::path &media() const { return media_; }

    // Runs body in a task until the machine is quiet; true when the task ran
    // to its end without exit().
    bool runTask(std::function<void()> body) { return machine_->runInTask(std::move(body)).returned(); }

    // Empties the media folder.
    void clearMedia()
    {
        for (const auto &e : fs::directory_iterator(media_))
            fs::remove_all(e.path());
    }

    // Removes every file and folder of "/TMP" (the RAM disk outlives a session).
    void clearRamDisk() { clearDevice("/TMP"); }

    // Every descriptor closed, as the module must leave them.
    bool noDescriptorOpen() const
    {
        for (int fd = 3; fd < host::IoSystem::kMaxFiles; ++fd)
            if (machine_->machine().io().valid(fd))
                return false;
        return true;
    }

    void closeAll()
    {
        for (int fd = 3; fd < host::IoSystem::kMaxFiles; ++fd)
            if (machine_->machine().io().valid(fd))
                machine_->machine().io().close(fd);
    }

private:
    FuzzMachine()
    {
        root_ = fs::temp_directory_path() / ("dlfuzz-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        media_ = root_ / "media";
        fs::create_directories(media_);
        host::MachineFolder::init(root_ / "machine");
        host::MachineConfig config;
        config.media = media_;
        config.folder = root_ / "machine";
        machine_ = std::make_unique<host::BoundMachine>(config, host::BoundMachine::Output::silenced);
        rootToRemove() = root_;
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(rootToRemove(), ec);
        });
    }

    static fs::path &rootToRemove()
    {
        static fs::path p;
        return p;
    }

    void clearDevice(const std::string &dir)
    {
        auto list = machine_->machine().io().list(dir);
        if (!list)
            return;
        for (const auto &e : *list) {
            std::string path = dir + "/" + e.name;
            if (e.isDirectory)
                clearDevice(path);
            machine_->machine().io().remove(path);
        }
    }

    fs::path root_;
    fs::path media_;
    std::unique_ptr<host::BoundMachine> machine_;
};

inline void writeHostFile(const fs::path &file, const std::uint8_t *data, std::size_t size)
{
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

// The pair swap of a whole stream, as the storage holds files: the bytes of
// every pair exchanged, an odd last byte behind a 0xFF pad.
inline std::vector<std::uint8_t> pairSwap(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::uint8_t> out(size + size % 2);
    for (std::size_t i = 0; i + 1 < size; i += 2)
        out[i] = data[i + 1], out[i + 1] = data[i];
    if (size % 2)
        out[size - 1] = 0xFF, out[size] = data[size - 1];
    return out;
}

// Reads fuzz input pieces front to back.
class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}
    std::size_t left() const { return size_ - at_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t u32()
    {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return v;
    }
    // A piece of at most `n` bytes.
    std::vector<std::uint8_t> take(std::size_t n)
    {
        n = std::min(n, left());
        std::vector<std::uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }
    std::vector<std::uint8_t> rest() { return take(left()); }
    // A piece preceded by its 32-bit little-endian length (clipped).
    std::vector<std::uint8_t> piece() { return take(u32()); }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

} // namespace fuzzing
