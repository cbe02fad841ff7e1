// What the machine benchmarks run over: a scratch folder for the medium
// they make, and a machine booted over that medium with a folder of its
// own, bound to the calling thread for as long as it lives.
#pragma once

#include "host/BoundMachine.h"
#include "host/Machine.h"
#include "host/machine/MachineFolder.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace bench_support {

// A fresh folder under the temporary folder, removed with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const std::string &prefix)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path &p) const { return path_ / p; }

private:
    std::filesystem::path path_;
};

// Only one machine may be bound at a time. A family of benchmarks that keeps
// its machine for the whole run takes its environment through here, which
// first ends the environment another family kept, as does every new
// BenchMachine.
class ProcessEnvironment {
public:
    template <class Env>
    static Env &get()
    {
        static const char tag = 0; // one per environment type
        Slot &s = slot();
        if (s.tag != &tag) {
            release();
            s.env = std::shared_ptr<void>(new Env(), [](void *p) { delete static_cast<Env *>(p); });
            s.tag = &tag;
        }
        return *static_cast<Env *>(s.env.get());
    }
    static void release()
    {
        slot().env.reset();
        slot().tag = nullptr;
    }

private:
    struct Slot {
        const void *tag = nullptr;
        std::shared_ptr<void> env;
    };
    static Slot &slot()
    {
        static Slot s;
        return s;
    }
};

// A machine over `media` with a new machine folder at `folder`, removed
// again at the end. Its console goes to `console`, or nowhere: printing
// would be timed with the work.
class BenchMachine {
public:
    BenchMachine(const std::filesystem::path &media, const std::filesystem::path &folder,
                 host::Console::Sink console = {})
        : folder_(folder), machine_(std::in_place, configure(media, folder), host::BoundMachine::Output::asIs)
    {
        if (!console)
            console = [](std::string_view) {};
        machine().console().setOutput(std::move(console));
    }
    ~BenchMachine()
    {
        machine_.reset(); // before its folder goes
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
    BenchMachine(const BenchMachine &) = delete;
    BenchMachine &operator=(const BenchMachine &) = delete;

    host::Machine &machine() { return machine_->machine(); }
    const std::filesystem::path &folder() const { return folder_; }
    host::TaskOutcome runInTask(std::function<void()> body) { return machine_->runInTask(std::move(body)); }

private:
    // A new folder, after any other bound machine is gone.
    static host::MachineConfig configure(const std::filesystem::path &media,
                                         const std::filesystem::path &folder)
    {
        ProcessEnvironment::release();
        std::filesystem::remove_all(folder);
        host::MachineFolder::init(folder);
        host::MachineConfig config;
        config.media = media;
        config.folder = folder;
        return config;
    }

    std::filesystem::path folder_;
    std::optional<host::BoundMachine> machine_;
};

} // namespace bench_support
