// Four high-speed ZK-57s streaming with the test client for 60 simulated seconds, against one
// instrument in the same run.  Reported as simulated seconds per wall second (x_realtime) for
// each, their ratio, and simulated seconds per process CPU second (steadier on a shared machine).
#include <benchmark/benchmark.h>

#include <chrono>
#include <sys/resource.h>
#include <memory>
#include <optional>

#include <nt/kernel.h>
#include <usb/bus.h>

#include <instrument/instrument.h>
#include <test_client.h>

namespace {

constexpr LONGLONG kMs = 10000;

// CPU seconds of the whole process (every machine thread), which other load on the machine does
// not inflate the way it inflates wall time.
double ProcessCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           1e-6 * double(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// Wall seconds for `instruments` high-speed instruments streaming `seconds` simulated seconds.
double StreamWallSeconds(unsigned instruments, int seconds, uint64_t* captureFrames, double* cpu) {
    nt::KernelConfig config;
    config.processors = 2;
    nt::Kernel kernel(config);
    kernel.Start();
    double wall = 0;
    {
        nt::MachineThreadScope scope(kernel);
        {
            usbport::UsbBus bus;
            auto& hc = bus.AddController(u"\\??\\PCI#BENCH#USB2", usb::Speed::High, 4);
            std::vector<std::shared_ptr<instrument::Instrument>> devices;
            std::vector<std::unique_ptr<usbtest::TestClient>> clients;
            for (unsigned i = 0; i < instruments; ++i) {
                devices.push_back(std::make_shared<instrument::Instrument>(
                    instrument::InstrumentConfig{.driftPpm = int32_t(i * 50) - 75}));
                PDEVICE_OBJECT pdo = nullptr;
                hc.PortAt(i).Plug(devices.back(), usb::Speed::High, &pdo);
                clients.push_back(std::make_unique<usbtest::TestClient>(pdo, usbtest::ClientOptions{}));
                clients.back()->Configure();
            }
            const auto begin = std::chrono::steady_clock::now();
            const double cpuBegin = ProcessCpuSeconds();
            for (auto& c : clients)
                c->StartStreaming();
            LARGE_INTEGER t;
            t.QuadPart = -LONGLONG(seconds) * 1000 * kMs;
            KeDelayExecutionThread(KernelMode, FALSE, &t);
            for (auto& c : clients)
                c->StopStreaming();
            wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            *cpu = ProcessCpuSeconds() - cpuBegin;
            *captureFrames = 0;
            for (auto& c : clients)
                *captureFrames += c->Capture_().frames;
            clients.clear();
        }
    }
    kernel.Stop();
    return wall;
}

void BM_FourHighSpeedInstrumentsAgainstOne(benchmark::State& state) {
    const int seconds = 60;
    for (auto _ : state) {
        uint64_t framesOne = 0, framesFour = 0;
        double cpuOne = 0, cpuFour = 0;
        const double one = StreamWallSeconds(1, seconds, &framesOne, &cpuOne);
        const double four = StreamWallSeconds(4, seconds, &framesFour, &cpuFour);
        state.counters["one_x_per_cpu_s"] = seconds / cpuOne;
        state.counters["four_x_per_cpu_s"] = seconds / cpuFour;
        state.counters["one_x_realtime"] = seconds / one;
        state.counters["four_x_realtime"] = seconds / four;
        state.counters["four_over_one"] = one / four;
        state.counters["frames_four"] = double(framesFour);
        benchmark::DoNotOptimize(framesOne);
    }
}
BENCHMARK(BM_FourHighSpeedInstrumentsAgainstOne)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
