#include "machine/machine.h"
#include "machine/devices.h"

#include <wdm.h>

#include "ke/dispatcher.h"

#include <random>
#include <string>

namespace sim {

namespace {
std::filesystem::path MakeTempStateDir() {
    std::random_device rd;
    auto dir =
        std::filesystem::temp_directory_path() / ("vexsim-" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(dir);
    return dir;
}
} // namespace

Machine::Machine(MachineConfig config) : config_(std::move(config)) {
    if (config_.stateDir.empty()) {
        stateDir_ = MakeTempStateDir();
        ownsStateDir_ = true;
    } else {
        stateDir_ = config_.stateDir;
        std::filesystem::create_directories(stateDir_);
    }
    nt::KernelConfig kc;
    kc.processors = config_.processors;
    kc.virtualTime = config_.virtualTime;
    kc.stateDir = stateDir_;
    kernel_ = std::make_unique<nt::Kernel>(kc);
    kernel_->Start();
    devices_ = std::make_unique<DeviceManager>(*kernel_);
}

Machine::~Machine() {
    devices_.reset();
    kernel_->Stop();
    kernel_.reset();
    if (ownsStateDir_) {
        std::error_code ec;
        std::filesystem::remove_all(stateDir_, ec);
    }
}

long long Machine::Now() {
    return kernel_->Ke().InterruptTime();
}

void Machine::Run(const std::function<void()>& fn, nt::Process* process) {
    nt::MachineThreadScope scope(*kernel_, process);
    fn();
}

void Machine::RunFor(long long units) {
    Run([units] {
        LARGE_INTEGER interval;
        interval.QuadPart = -units;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    });
}

MachineStats Machine::Stats() {
    nt::Dispatcher& ke = kernel_->Ke();
    nt::Dispatcher::Stats s = ke.GetStats();
    MachineStats out;
    out.interruptTime = ke.InterruptTime();
    out.processors = ke.ProcessorCount();
    out.clockAdvances = s.clockAdvances;
    out.timerExpiries = s.timerExpiries;
    out.blockingWaits = s.waits;
    out.threadsCreated = s.threadsCreated;
    out.dpcsPerProcessor.assign(s.dpcsPerProcessor.begin(), s.dpcsPerProcessor.end());
    out.timerResolution = ke.TimerResolution();
    return out;
}

} // namespace sim
