// A simulated Windows machine: its kernel (clock, processors, objects, registry, I/O) and its
// state folder.  Later the USB controllers, the installed package and the instruments join it.
#pragma once

#include <nt/kernel.h>

#include <filesystem>
#include <memory>

namespace sim {

struct MachineConfig {
    unsigned processors = 2;
    bool virtualTime = true;
    std::filesystem::path stateDir; // empty: a fresh temporary folder, removed with the machine
};

class Machine {
public:
    explicit Machine(MachineConfig config = {});
    ~Machine(); // stops the machine; every thread is joined
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    nt::Kernel& Kernel() { return *kernel_; }
    const std::filesystem::path& StateDir() const { return stateDir_; }

private:
    std::filesystem::path stateDir_;
    bool ownsStateDir_ = false;
    std::unique_ptr<nt::Kernel> kernel_;
};

} // namespace sim
