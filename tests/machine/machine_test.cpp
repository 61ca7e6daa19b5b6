// The machine's life cycle: boot, run in virtual time, stop with every thread joined, many times.
#include "machine/machine.h"

#include <wdm.h>

#include <gtest/gtest.h>

#include <atomic>

#include <unistd.h>

namespace {

struct Work {
    KTIMER timer;
    KDPC dpc;
    KEVENT stop;
    std::atomic<int> ticks{0};
};

VOID Tick(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<Work*>(context)->ticks.fetch_add(1);
}

VOID Worker(PVOID context) {
    auto* w = static_cast<Work*>(context);
    KeWaitForSingleObject(&w->stop, Executive, KernelMode, FALSE, nullptr);
}

TEST(Machine, BootsRunsAndStopsCleanlyManyTimes) {
    for (int round = 0; round < 25; ++round) {
        std::filesystem::path dir;
        {
            sim::MachineConfig config;
            config.processors = 1 + round % 3;
            sim::Machine machine(config);
            dir = machine.StateDir();
            EXPECT_TRUE(std::filesystem::is_directory(dir));
            EXPECT_EQ(0, machine.Now());
            Work w;
            HANDLE thread = nullptr;
            machine.Run([&] {
                KeInitializeEvent(&w.stop, NotificationEvent, FALSE);
                KeInitializeTimer(&w.timer);
                KeInitializeDpc(&w.dpc, Tick, &w);
                LARGE_INTEGER due;
                due.QuadPart = -10000;
                KeSetTimerEx(&w.timer, due, 2, &w.dpc);
                ASSERT_EQ(STATUS_SUCCESS,
                          PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, Worker, &w));
            });
            EXPECT_EQ(0, machine.Now()); // time stands still while nobody is inside
            machine.RunFor(100 * 10000);
            EXPECT_EQ(100 * 10000, machine.Now());
            machine.Run([&] {
                KeCancelTimer(&w.timer);
                KeFlushQueuedDpcs();
                KeSetEvent(&w.stop, 0, FALSE);
                PVOID object = nullptr;
                ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType,
                                                                    KernelMode, &object, nullptr));
                KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
                ObDereferenceObject(object);
                ZwClose(thread);
            });
            EXPECT_EQ(50, w.ticks.load()); // 1, 3, ..., 99 ms
            sim::MachineStats s = machine.Stats();
            EXPECT_EQ(1u + round % 3, s.processors);
            EXPECT_EQ(50u, s.timerExpiries);
            EXPECT_EQ(1u, s.threadsCreated);
        }
        EXPECT_FALSE(std::filesystem::exists(dir)); // a temporary state folder goes with the machine
    }
}

TEST(Machine, AGivenStateFolderIsKept) {
    auto dir = std::filesystem::temp_directory_path() / ("vexsim-machine-test-" + std::to_string(::getpid()));
    {
        sim::MachineConfig config;
        config.stateDir = dir;
        sim::Machine machine(config);
        EXPECT_EQ(dir, machine.StateDir());
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir));
    std::filesystem::remove_all(dir);
}

} // namespace
