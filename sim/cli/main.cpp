// vexsim: boots a simulated Windows machine and runs the ZK-57 driver package on it.
#include "machine/machine.h"
#include "script.h"
#include "session.h"

#include <wdm.h>

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>

namespace {

// A heartbeat the machine runs while it idles: a 1-ms periodic timer with a DPC, the way drivers
// keep their watchdogs, so the report shows the clock and the processors at work.
struct Heartbeat {
    KTIMER timer;
    KDPC dpc;
    std::atomic<unsigned long> ticks{0};
};

VOID HeartbeatTick(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<Heartbeat*>(context)->ticks.fetch_add(1);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"vexsim - the ZK-57 driver package on a simulated Windows machine"};
    unsigned processors = 2;
    bool realTime = false;
    double seconds = 1.0;
    std::string stateDir;
    app.add_option("--processors", processors, "processor threads that run DPCs")->check(CLI::Range(1, 16));
    app.add_flag("--real-time", realTime, "follow the wall clock instead of virtual time");
    app.add_option("--seconds", seconds, "how long the machine runs, in its own time")
        ->check(CLI::Range(0.0, 3600.0));
    app.add_option("--state", stateDir, "state folder (registry, C: drive); default: a temporary one");
    vexsim::SessionOptions session;
    app.add_option("--plug", session.plugs,
                   "plug an instrument: <controller>:<port>:<full|high> (repeatable)");
    app.add_option("--script", session.script, "run a command script from a file ('-': standard input)");
    app.add_option("--driver", session.driverPath, "the vexwdm module (default: vexwdm.so next to vexsim)");
    app.footer(vexsim::kScriptHelp);
    CLI11_PARSE(app, argc, argv);

    sim::MachineConfig config;
    config.processors = processors;
    config.virtualTime = !realTime;
    config.stateDir = stateDir;
    sim::Machine machine(config);
    std::printf("machine: %u processors, %s time, state folder %s\n", processors,
                realTime ? "real" : "virtual", machine.StateDir().c_str());
    if (vexsim::WantsSession(session)) {
        std::fflush(stdout);
        return vexsim::RunSession(machine, session);
    }

    Heartbeat beat;
    auto wallStart = std::chrono::steady_clock::now();
    machine.Run([&] {
        KeInitializeTimerEx(&beat.timer, NotificationTimer);
        KeInitializeDpc(&beat.dpc, HeartbeatTick, &beat);
        LARGE_INTEGER due;
        due.QuadPart = -10000;
        KeSetTimerEx(&beat.timer, due, 1, &beat.dpc);
        LARGE_INTEGER run;
        run.QuadPart = -static_cast<LONGLONG>(seconds * 1e7);
        KeDelayExecutionThread(KernelMode, FALSE, &run);
        KeCancelTimer(&beat.timer);
        KeFlushQueuedDpcs();
    });
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

    sim::MachineStats s = machine.Stats();
    std::printf("clock: %.6f s of machine time in %.3f s of wall time (%llu clock advances)\n",
                s.interruptTime / 1e7, wall, s.clockAdvances);
    std::printf("timers: %llu expiries, heartbeat DPC ran %lu times\n", s.timerExpiries, beat.ticks.load());
    for (unsigned i = 0; i < s.processors; ++i)
        std::printf("processor %u: %llu DPCs\n", i, s.dpcsPerProcessor[i]);
    std::printf("threads: %llu created, %llu blocking waits; timer resolution %.4f ms\n", s.threadsCreated,
                s.blockingWaits, s.timerResolution / 1e4);
    auto registry = machine.StateDir() / "registry.reg";
    std::printf("registry: %s (%s)\n", registry.c_str(),
                std::filesystem::exists(registry) ? "saved" : "not written yet");
    return 0;
}
