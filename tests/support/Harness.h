// A simulated machine for tests of the module: a fresh machine folder and
// media folder in a temporary directory, the console captured, the machine
// bound, and module code run in tasks as the boot environment would.
#pragma once

#include "host/BoundMachine.h"
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
    explicit MachineHarness(bool withFolder = true) : machine_(configure(withFolder)) {}

    host::Machine &machine() { return machine_.machine(); }
    fs::path media() const { return dir_ / "media"; }
    fs::path folder() const { return dir_ / "machine"; }
    const std::string &console() const { return machine_.captured().output(); }
    const std::string &reports() const { return machine_.captured().reports(); }
    void clearConsole() { machine_.captured().clear(); }

    // Runs body in a task (name, priority) until the machine is quiet.
    TaskRun runTask(std::function<void()> body, const std::string &name = "tUpdate", int priority = 100)
    {
        host::TaskOutcome o = machine_.runInTask(std::move(body), {.name = name, .priority = priority});
        TaskRun r;
        r.waiting = o.quiescence.waiting;
        if (o.end) {
            r.ended = true;
            r.exited = o.end->exited;
            r.status = o.end->status;
        }
        return r;
    }

private:
    // The folders, made before the machine that uses them.
    host::MachineConfig configure(bool withFolder)
    {
        fs::create_directories(media());
        if (withFolder)
            host::MachineFolder::init(folder());
        host::MachineConfig config;
        config.media = media();
        if (withFolder)
            config.folder = folder();
        return config;
    }

    TempDir dir_;
    host::BoundMachine machine_;
};

} // namespace testing_support
