// A simulated machine for tests of the module: a fresh machine folder and
// media folder in a temporary directory, the console captured, the machine
// bound, and module code run in tasks as the boot environment would.
#pragma once

#include "host/Machine.h"
#include "host/machine/MachineFolder.h"

#include "Files.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

inline std::string randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto &c : s)
        c = static_cast<char>(gen() & 0xFF);
    return s;
}

// How a task run ended.
struct TaskRun {
    bool ended = false;                // false: it still waits (a stall)
    bool exited = false;               // by exit(status)
    int status = 0;                    // exit status
    std::vector<host::Waiter> waiting; // tasks left waiting
};

class MachineHarness {
public:
    explicit MachineHarness(bool withFolder = true)
    {
        fs::create_directories(media());
        if (withFolder)
            host::MachineFolder::init(folder());
        host::MachineConfig config;
        config.media = media();
        if (withFolder)
            config.folder = folder();
        machine_ = std::make_unique<host::Machine>(config);
        capture_ = std::make_unique<host::CapturedConsole>(machine_->console());
        binding_ = std::make_unique<host::MachineBinding>(*machine_);
    }
    ~MachineHarness()
    {
        binding_.reset();
        machine_.reset();
    }

    host::Machine &machine() { return *machine_; }
    fs::path media() const { return dir_ / "media"; }
    fs::path folder() const { return dir_ / "machine"; }
    const std::string &console() const { return capture_->output(); }
    const std::string &reports() const { return capture_->reports(); }
    void clearConsole() { capture_->clear(); }

    // Runs body in a task (name, priority) until the machine is quiet.
    TaskRun runTask(std::function<void()> body, const std::string &name = "tUpdate", int priority = 100)
    {
        int id = machine_->kernel().spawn(name, priority, 8, 0x100000, std::move(body));
        host::Quiescence q = machine_->kernel().run();
        TaskRun r;
        r.waiting = q.waiting;
        if (auto end = machine_->kernel().taskEnd(id)) {
            r.ended = true;
            r.exited = end->exited;
            r.status = end->status;
        }
        return r;
    }

private:
    TempDir dir_;
    std::unique_ptr<host::Machine> machine_;
    std::unique_ptr<host::CapturedConsole> capture_;
    std::unique_ptr<host::MachineBinding> binding_;
};

} // namespace testing_support
