#include "machine/machine.h"

#include <random>
#include <string>

namespace sim {

namespace {
std::filesystem::path MakeTempStateDir() {
    std::random_device rd;
    auto dir = std::filesystem::temp_directory_path() / ("vexsim-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(dir);
    return dir;
}
} // namespace

Machine::Machine(MachineConfig config) {
    if (config.stateDir.empty()) {
        stateDir_ = MakeTempStateDir();
        ownsStateDir_ = true;
    } else {
        stateDir_ = config.stateDir;
        std::filesystem::create_directories(stateDir_);
    }
    nt::KernelConfig kc;
    kc.processors = config.processors;
    kc.virtualTime = config.virtualTime;
    kc.stateDir = stateDir_;
    kernel_ = std::make_unique<nt::Kernel>(kc);
    kernel_->Start();
}

Machine::~Machine() {
    kernel_->Stop();
    kernel_.reset();
    if (ownsStateDir_) {
        std::error_code ec;
        std::filesystem::remove_all(stateDir_, ec);
    }
}

} // namespace sim
