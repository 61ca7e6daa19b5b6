// Virtual time: delays, time-outs and timers expire exactly at their due time, and the clock
// moves only when every machine thread waits.
#include "ke_fixture.h"

#include <atomic>
#include <thread>

using namespace ketest;

namespace {

class ClockTest : public KeTest {};

TEST_F(ClockTest, DelaysAdvanceTheClockByExactlyTheirLength) {
    // A 10-second delay ends at exactly +10 s; relative and absolute forms agree.
    struct Case {
        LONGLONG units;
        bool absolute;
    } cases[] = {{10'000 * kMs, false}, {1, false}, {8000, false}, {250 * kMs, true}};
    for (const Case& c : cases) {
        ULONGLONG before = KeQueryInterruptTime();
        LARGE_INTEGER due;
        if (c.absolute) {
            KeQuerySystemTime(&due);
            due.QuadPart += c.units;
        } else {
            due.QuadPart = -c.units;
        }
        ASSERT_EQ(STATUS_SUCCESS, KeDelayExecutionThread(KernelMode, FALSE, &due));
        EXPECT_EQ(before + c.units, KeQueryInterruptTime())
            << c.units << (c.absolute ? " absolute" : " relative");
    }
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    EXPECT_EQ(133485408000000000LL + static_cast<LONGLONG>(KeQueryInterruptTime()), system.QuadPart);
}

struct TickState {
    KTIMER timer;
    KDPC dpc;
    std::atomic<int> fired{0};
    std::atomic<bool> armed{true};
    LONGLONG lastDue = 0;
};

VOID RearmingTick(PKDPC, PVOID context, PVOID arg1, PVOID arg2) {
    auto* s = static_cast<TickState*>(context);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    ULARGE_INTEGER due;
    due.LowPart = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(arg1));
    due.HighPart = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(arg2));
    EXPECT_EQ(static_cast<ULONGLONG>(KeQueryInterruptTime()), due.QuadPart);
    s->lastDue = static_cast<LONGLONG>(due.QuadPart);
    s->fired.fetch_add(1);
    if (s->armed.load())
        KeSetTimer(&s->timer, Relative(8000), &s->dpc); // 0.8 ms, re-armed from its own DPC
}

TEST_F(ClockTest, TimerRearmedFromItsDpcEvery800MicrosecondsFires1250TimesPerSecond) {
    TickState s;
    KeInitializeTimer(&s.timer);
    KeInitializeDpc(&s.dpc, RearmingTick, &s);
    ULONGLONG start = KeQueryInterruptTime();
    KeSetTimer(&s.timer, Relative(8000), &s.dpc);
    Sleep(1000 * kMs);
    s.armed = false;
    KeCancelTimer(&s.timer);
    KeFlushQueuedDpcs();
    EXPECT_EQ(1250, s.fired.load());
    EXPECT_EQ(static_cast<LONGLONG>(start + 1000 * kMs), s.lastDue);
}

VOID CountTick(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

TEST_F(ClockTest, PeriodicTimerSignalsAndQueuesItsDpcEveryPeriod) {
    KTIMER timer;
    KDPC dpc;
    std::atomic<int> fired{0};
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeInitializeDpc(&dpc, CountTick, &fired);
    EXPECT_FALSE(KeSetTimerEx(&timer, Relative(5 * kMs), 1, &dpc));
    // A synchronization timer wakes one wait per expiry: at 5 ms, then every 1 ms.
    ULONGLONG start = KeQueryInterruptTime();
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(start + 7 * kMs, KeQueryInterruptTime());
    Sleep(993 * kMs); // up to +1000 ms: expiries at 5, 6, ..., 1000 ms
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    KeFlushQueuedDpcs();
    EXPECT_EQ(996, fired.load());
}

TEST_F(ClockTest, WokenWaitersRunBeforeTheClockMoves) {
    KEVENT go, done;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    std::atomic<ULONGLONG> wokeAt{0};
    SystemThread waiter([&] {
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
        // Work between the wake-up and the next wait costs no virtual time.
        for (int i = 0; i < 1000; ++i)
            std::this_thread::yield();
        wokeAt = KeQueryInterruptTime();
        KeSetEvent(&done, 0, FALSE);
    });
    Sleep(3 * kMs);
    ULONGLONG setAt = KeQueryInterruptTime();
    KeSetEvent(&go, 0, FALSE);
    Sleep(50 * kMs); // may not jump before the waiter has run and blocked again
    EXPECT_EQ(setAt, wokeAt.load());
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr));
}

TEST_F(ClockTest, ClockStandsStillWhileAMachineThreadRuns) {
    KEVENT late;
    KeInitializeEvent(&late, NotificationEvent, FALSE);
    SystemThread sleeper([&] {
        LARGE_INTEGER t = Relative(1);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
        KeSetEvent(&late, 0, FALSE);
    });
    ULONGLONG t0 = KeQueryInterruptTime();
    for (int i = 0; i < 20000; ++i) {
        ASSERT_EQ(0, KeReadStateEvent(&late));
        std::this_thread::yield();
    }
    EXPECT_EQ(t0, KeQueryInterruptTime());
    sleeper.Join();
    EXPECT_EQ(t0 + 1, KeQueryInterruptTime());
}

TEST_F(ClockTest, TimerResolutionRequestsArePerModuleAndReported) {
    EXPECT_EQ(156250u, KeQueryTimeIncrement());
    EXPECT_EQ(10000u, ExSetTimerResolution(10000, TRUE));
    EXPECT_EQ(10000u, ExSetTimerResolution(10000, TRUE)); // the same module's request, replaced
    EXPECT_EQ(10000u, KeQueryTimeIncrement());
    EXPECT_EQ(156250u, ExSetTimerResolution(0, FALSE));
}

} // namespace
