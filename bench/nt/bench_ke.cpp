// Dispatcher costs against a plain host baseline measured in the same run:
//  - an event signal-and-wait round trip between two machine threads (two synchronization events),
//  - a timer-DPC firing in virtual time (the clock jumps, a processor runs the DPC, which wakes
//    the waiting thread),
// each compared with a std::condition_variable round trip between two std::threads.
#include <wdm.h>
#include <nt/kernel.h>

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

void BM_StdConditionVariableRoundTrip(benchmark::State& state) {
    std::mutex m;
    std::condition_variable cv;
    long ping = 0, pong = 0;
    bool stop = false;
    std::thread echo([&] {
        std::unique_lock<std::mutex> lk(m);
        for (;;) {
            cv.wait(lk, [&] { return stop || ping != pong; });
            if (stop)
                return;
            pong = ping;
            cv.notify_all();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lk(m);
        ++ping;
        cv.notify_all();
        cv.wait(lk, [&] { return pong == ping; });
    }
    {
        std::lock_guard<std::mutex> g(m);
        stop = true;
    }
    cv.notify_all();
    echo.join();
}
BENCHMARK(BM_StdConditionVariableRoundTrip)->UseRealTime();

struct Echo {
    KEVENT ping, pong;
    volatile bool stop = false;
};

VOID EchoThread(PVOID context) {
    auto* e = static_cast<Echo*>(context);
    for (;;) {
        KeWaitForSingleObject(&e->ping, Executive, KernelMode, FALSE, nullptr);
        if (e->stop)
            return;
        KeSetEvent(&e->pong, 0, FALSE);
    }
}

void BM_KeEventRoundTrip(benchmark::State& state) {
    nt::Kernel kernel;
    kernel.Start();
    {
        nt::MachineThreadScope scope(kernel);
        Echo e;
        KeInitializeEvent(&e.ping, SynchronizationEvent, FALSE);
        KeInitializeEvent(&e.pong, SynchronizationEvent, FALSE);
        HANDLE h;
        PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, EchoThread, &e);
        PVOID thread;
        ObReferenceObjectByHandle(h, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
        for (auto _ : state) {
            KeSetEvent(&e.ping, 0, FALSE);
            KeWaitForSingleObject(&e.pong, Executive, KernelMode, FALSE, nullptr);
        }
        e.stop = true;
        KeSetEvent(&e.ping, 0, FALSE);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
        ZwClose(h);
    }
    kernel.Stop();
}
BENCHMARK(BM_KeEventRoundTrip)->UseRealTime();

struct Tick {
    KTIMER timer;
    KDPC dpc;
    KEVENT fired;
};

VOID TickDpc(PKDPC, PVOID context, PVOID, PVOID) {
    KeSetEvent(&static_cast<Tick*>(context)->fired, 0, FALSE);
}

void BM_KeTimerDpcVirtualTime(benchmark::State& state) {
    nt::Kernel kernel;
    kernel.Start();
    {
        nt::MachineThreadScope scope(kernel);
        Tick t;
        KeInitializeTimer(&t.timer);
        KeInitializeDpc(&t.dpc, TickDpc, &t);
        KeInitializeEvent(&t.fired, SynchronizationEvent, FALSE);
        LARGE_INTEGER due;
        due.QuadPart = -8000;
        for (auto _ : state) {
            KeSetTimer(&t.timer, due, &t.dpc);
            KeWaitForSingleObject(&t.fired, Executive, KernelMode, FALSE, nullptr);
        }
        KeFlushQueuedDpcs();
    }
    kernel.Stop();
}
BENCHMARK(BM_KeTimerDpcVirtualTime)->UseRealTime();

// Collects each benchmark's time per iteration to print the ratios after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                perIteration_[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto base = perIteration_.find("BM_StdConditionVariableRoundTrip/real_time");
        if (base == perIteration_.end() || base->second <= 0)
            return;
        for (const auto& [name, t] : perIteration_)
            if (name != base->first)
                std::printf("ratio %s / std::condition_variable round trip: %.2f\n", name.c_str(),
                            t / base->second);
    }

private:
    std::map<std::string, double> perIteration_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
