// Waits: WaitAny and WaitAll, built-in and caller-supplied wait blocks, time-outs, event kinds,
// thread objects, and the deadlock report.
#include "ke_fixture.h"

#include <atomic>
#include <vector>

using namespace ketest;

namespace {

class WaitTest : public KeTest {};

TEST_F(WaitTest, WaitAnyReportsTheFirstSignalledObjectAndConsumesOnlySynchronizationEvents) {
    struct Case {
        EVENT_TYPE type;
        int set;         // index of the event that is set
        LONG stateAfter; // its state after the wait
    } cases[] = {{NotificationEvent, 0, 1},
                 {NotificationEvent, 2, 1},
                 {SynchronizationEvent, 1, 0},
                 {SynchronizationEvent, 2, 0}};
    for (const Case& c : cases) {
        KEVENT events[3];
        PVOID objects[3];
        for (int i = 0; i < 3; ++i) {
            KeInitializeEvent(&events[i], c.type, FALSE);
            objects[i] = &events[i];
        }
        SystemThread setter([&] {
            LARGE_INTEGER t = Relative(2 * kMs);
            KeDelayExecutionThread(KernelMode, FALSE, &t);
            KeSetEvent(&events[c.set], 0, FALSE);
        });
        ULONGLONG start = KeQueryInterruptTime();
        LARGE_INTEGER timeout = Relative(100 * kMs);
        EXPECT_EQ(STATUS_WAIT_0 + c.set, KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode,
                                                                  FALSE, &timeout, nullptr));
        EXPECT_EQ(start + 2 * kMs, KeQueryInterruptTime());
        EXPECT_EQ(c.stateAfter, KeReadStateEvent(&events[c.set]));
    }
}

TEST_F(WaitTest, WaitAllWithCallerWaitBlocksCompletesOnlyWhenEveryObjectIsSignalled) {
    constexpr int n = 6; // more than the thread's built-in blocks
    KEVENT events[n];
    PVOID objects[n];
    KWAIT_BLOCK blocks[n];
    for (int i = 0; i < n; ++i) {
        KeInitializeEvent(&events[i], i % 2 ? SynchronizationEvent : NotificationEvent, FALSE);
        objects[i] = &events[i];
    }
    SystemThread setter([&] {
        for (int i = 0; i < n; ++i) {
            LARGE_INTEGER t = Relative(1 * kMs);
            KeDelayExecutionThread(KernelMode, FALSE, &t);
            KeSetEvent(&events[i], 0, FALSE);
        }
    });
    // Only five of six are set after 5 ms: the wait times out then.
    ULONGLONG start = KeQueryInterruptTime();
    LARGE_INTEGER shortWait = Relative(5 * kMs + 5000);
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForMultipleObjects(n, objects, WaitAll, Executive, KernelMode, FALSE,
                                                       &shortWait, blocks));
    EXPECT_EQ(start + 5 * kMs + 5000, KeQueryInterruptTime());
    EXPECT_EQ(STATUS_WAIT_0,
              KeWaitForMultipleObjects(n, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, blocks));
    EXPECT_EQ(start + 6 * kMs, KeQueryInterruptTime());
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(i % 2 ? 0 : 1, KeReadStateEvent(&events[i])) << i; // synchronization events consumed
}

TEST_F(WaitTest, ZeroTimeOutPollsWithoutWaiting) {
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    ULONGLONG t0 = KeQueryInterruptTime();
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero));
    KeSetEvent(&e, 0, FALSE);
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(t0, KeQueryInterruptTime());
}

TEST_F(WaitTest, SynchronizationEventReleasesOneWaiterPerSetNotificationReleasesAll) {
    for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
        KEVENT gate;
        KeInitializeEvent(&gate, type, FALSE);
        std::atomic<int> through{0};
        std::vector<std::unique_ptr<SystemThread>> waiters;
        for (int i = 0; i < 3; ++i)
            waiters.push_back(std::make_unique<SystemThread>([&] {
                KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
                through.fetch_add(1);
            }));
        Sleep(1 * kMs); // all three are waiting now
        KeSetEvent(&gate, 0, FALSE);
        Sleep(1 * kMs);
        EXPECT_EQ(type == SynchronizationEvent ? 1 : 3, through.load());
        if (type == SynchronizationEvent) {
            // Used as a mutex: each set lets exactly one more through.
            KeSetEvent(&gate, 0, FALSE);
            Sleep(1 * kMs);
            EXPECT_EQ(2, through.load());
            KeSetEvent(&gate, 0, FALSE);
        }
        waiters.clear();
        EXPECT_EQ(3, through.load());
    }
}

VOID EndEarly(PVOID context) {
    static_cast<std::atomic<int>*>(context)->store(1);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(WaitTest, ThreadObjectIsSignalledWhenTheThreadEndsAndItsHandleCloses) {
    std::atomic<int> ran{0};
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndEarly, &ran));
    PVOID thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr));
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(1, ran.load());
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    // Still signalled while referenced; a second wait returns at once.
    LARGE_INTEGER zero{};
    EXPECT_EQ(STATUS_WAIT_0, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero));
    ObDereferenceObject(thread);
}

TEST_F(WaitTest, SystemThreadsRunAtPassiveLevelInTheSystemProcessWithTheirPriority) {
    PEPROCESS mine = PsGetCurrentProcess();
    SystemThread t([&] {
        EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
        EXPECT_EQ(mine, PsGetCurrentProcess());
        EXPECT_EQ(KernelMode, ExGetPreviousMode());
        EXPECT_TRUE(PsIsSystemThread(PsGetCurrentThread()));
        EXPECT_EQ(8, KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY));
        EXPECT_EQ(LOW_REALTIME_PRIORITY, KeQueryPriorityThread(KeGetCurrentThread()));
    });
}

// Death tests re-run the test binary; "threadsafe" keeps that safe with the machine's threads.
class WaitDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

void WaitForeverWhileAnotherThreadWaitsToo() {
    nt::Kernel kernel;
    kernel.Start();
    nt::MachineThreadScope scope(kernel);
    KEVENT never;
    KEVENT alsoNever;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeEvent(&alsoNever, SynchronizationEvent, FALSE);
    SystemThread other([&] { KeWaitForSingleObject(&alsoNever, Executive, KernelMode, FALSE, nullptr); });
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(WaitDeathTest, DeadlockIsReportedWithEveryWaitAndItsObjects) {
    EXPECT_DEATH(WaitForeverWhileAnotherThreadWaitsToo(),
                 "STOP: 0x000000C4 \\(0x0000000000001010.*DRIVER_VERIFIER_DETECTED_VIOLATION(.|\n)*deadlock(.|\n)*"
                 "outside thread [0-9]+ \\(id [0-9]+\\) waits \\(any\\) for notification event 0x[0-9a-f]+ "
                 "\\(state 0\\), no time-out(.|\n)*system thread [0-9]+ .*synchronization event");
}

} // namespace
