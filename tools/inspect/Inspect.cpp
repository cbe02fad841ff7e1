#include "tools/inspect/Inspect.h"

#include "bootenv/vxWorks.h"
#include "host/Machine.h"
#include "tools/inspect/ModuleReader.h"
#include "tools/inspect/Report.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

namespace inspect {

namespace {

namespace fs = std::filesystem;

bool readableFolder(const fs::path &dir)
{
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return false;
    fs::directory_iterator it(dir, ec);
    return !ec;
}

// The module's last console line, as the reason a task ended.
std::string lastWords(std::string_view console)
{
    while (!console.empty() && console.back() == '\n')
        console.remove_suffix(1);
    if (console.empty())
        return {};
    auto nl = console.rfind('\n');
    return "; the module said: " +
           std::string(nl == std::string_view::npos ? console : console.substr(nl + 1));
}

// A machine with the media and nothing else, its console captured and
// bound for as long as it lives.
class InspectionMachine {
public:
    explicit InspectionMachine(const fs::path &media)
    {
        host::MachineConfig config;
        config.media = media;
        machine_ = std::make_unique<host::Machine>(config);
        console_ = std::make_unique<host::CapturedConsole>(machine_->console());
        binding_ = std::make_unique<host::MachineBinding>(*machine_);
    }
    ~InspectionMachine()
    {
        // the console's sinks point into the capture: the machine goes first
        binding_.reset();
        machine_.reset();
    }
    InspectionMachine(const InspectionMachine &) = delete;
    InspectionMachine &operator=(const InspectionMachine &) = delete;

    // Reads in a task, as the module's readers may end their task with
    // exit(); nullopt then, with the module's last words in `why`.
    std::optional<Report> inspect(const fs::path &dir, std::string &why)
    {
        std::optional<Report> report;
        std::exception_ptr failure;
        ModuleReader reader(*console_, dir);
        int id = machine_->kernel().spawn("tInspect", 100, vx::VX_FP_TASK, 0x100000, [&] {
            try {
                report = reader.read();
            } catch (const std::exception &) {
                failure = std::current_exception();
            }
        });
        machine_->kernel().run();
        if (failure)
            std::rethrow_exception(failure);
        if (!report) {
            auto end = machine_->kernel().taskEnd(id);
            why = end ? "the reading task ended with exit(" + std::to_string(end->status) + ")"
                      : "the reading task never ended";
            why += lastWords(console_->output());
        }
        return report;
    }

private:
    std::unique_ptr<host::Machine> machine_;
    std::unique_ptr<host::CapturedConsole> console_;
    std::unique_ptr<host::MachineBinding> binding_;
};

} // namespace

int runInspect(const std::string &dir, bool json, std::ostream &out, std::ostream &err)
{
    if (!readableFolder(dir)) {
        err << "dlupdate inspect: " << dir << " is not a readable folder\n";
        return kExitUnusable;
    }
    std::optional<Report> report;
    std::string why;
    try {
        InspectionMachine machine(dir);
        report = machine.inspect(dir, why);
    } catch (const std::exception &e) {
        err << "dlupdate inspect: " << dir << " cannot be read: " << e.what() << "\n";
        return kExitUnusable;
    }
    if (!report) {
        err << "dlupdate inspect: " << why << "\n";
        return kExitProblems;
    }
    if (json)
        out << toJson(*report).dump(2) << "\n";
    else
        out << toText(*report);
    return report->ok() ? kExitOk : kExitProblems;
}

} // namespace inspect
