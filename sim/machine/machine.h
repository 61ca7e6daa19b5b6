// A simulated Windows machine: its kernel (clock, processors, objects, registry, I/O) and its
// state folder.  Later the USB controllers, the installed package and the instruments join it.
//
// A machine can be created and destroyed many times in one process; destruction stops the
// kernel and joins every thread.  In virtual time the clock moves only while an outside thread is
// inside the machine (Run, RunFor) and every machine thread waits.
#pragma once

#include <nt/kernel.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class DeviceManager; // machine/devices.h: USB controllers, PnP manager, installed package, instruments

struct MachineConfig {
    unsigned processors = 2;
    bool virtualTime = true;
    std::filesystem::path stateDir; // empty: a fresh temporary folder, removed with the machine
};

// What the machine's dispatcher did, for reports.
struct MachineStats {
    long long interruptTime = 0; // 100-ns units since boot
    unsigned processors = 0;
    unsigned long long clockAdvances = 0;
    unsigned long long timerExpiries = 0;
    unsigned long long blockingWaits = 0;
    unsigned long long threadsCreated = 0;
    std::vector<unsigned long long> dpcsPerProcessor;
    unsigned long timerResolution = 0; // 100-ns units; the finest resolution drivers asked for
};

class Machine {
public:
    explicit Machine(MachineConfig config = {});
    ~Machine(); // stops the machine; every thread is joined
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    nt::Kernel& Kernel() { return *kernel_; }
    DeviceManager& Devices() { return *devices_; }
    const std::filesystem::path& StateDir() const { return stateDir_; }
    const MachineConfig& Config() const { return config_; }

    // The interrupt time (100-ns units since boot).  Any thread.
    long long Now();
    // Runs `fn` on the calling thread as a machine thread at PASSIVE_LEVEL (a MachineThreadScope
    // for its duration).  `process` null: the System process.
    void Run(const std::function<void()>& fn, nt::Process* process = nullptr);
    // Lets the machine run for `units` of its time (100 ns each), then returns.
    void RunFor(long long units);
    MachineStats Stats();

private:
    MachineConfig config_;
    std::filesystem::path stateDir_;
    bool ownsStateDir_ = false;
    std::unique_ptr<nt::Kernel> kernel_;
    std::unique_ptr<DeviceManager> devices_; // built after the kernel starts, gone before it stops
};

} // namespace sim
