#include "host/BoundMachine.h"

namespace host {

BoundMachine::BoundMachine(const MachineConfig &config, Output output)
    : machine_(std::make_unique<Machine>(config))
{
    if (output == Output::captured)
        capture_.emplace(machine_->console());
    if (output == Output::silenced) {
        machine_->console().setOutput([](std::string_view) {});
        machine_->console().setReports([](std::string_view) {});
    }
    binding_.emplace(*machine_);
}

BoundMachine::~BoundMachine() = default;

} // namespace host
