// vexsim: boots a simulated Windows machine and runs the ZK-57 driver package on it.
#include "machine/machine.h"

#include <CLI/CLI.hpp>

#include <cstdio>

int main(int argc, char** argv) {
    CLI::App app{"vexsim - the ZK-57 driver package on a simulated Windows machine"};
    unsigned processors = 2;
    bool realTime = false;
    app.add_option("--processors", processors, "processor threads that run DPCs")->check(CLI::Range(1, 16));
    app.add_flag("--real-time", realTime, "follow the wall clock instead of virtual time");
    CLI11_PARSE(app, argc, argv);

    sim::MachineConfig config;
    config.processors = processors;
    config.virtualTime = !realTime;
    sim::Machine machine(config);
    std::printf("machine: %u processors, %s time, state folder %s\n", processors, realTime ? "real" : "virtual",
                machine.StateDir().c_str());
    return 0;
}
