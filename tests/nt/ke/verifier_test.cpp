// Each rule the verifier enforces on the dispatcher, provoked once: the machine must stop with
// Windows' bug-check code and name (and the verifier sub-code where there is one).
#include "ke_fixture.h"

#include "ke/ki.h"
#include "vf/verifier.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace ketest;

namespace {

struct Rule {
    const char* name;
    std::function<void()> provoke; // runs on the test thread inside a started machine
    const char* expected;          // regex on the report
};

LARGE_INTEGER OneMs() {
    return Relative(kMs);
}

void HoldProcessorOne(std::atomic<bool>* started) {
    static KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            static_cast<std::atomic<bool>*>(context)->store(true);
            for (;;)
                std::this_thread::yield();
        },
        started);
    KeSetTargetProcessorDpc(&dpc, 1);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    while (!started->load())
        std::this_thread::yield();
}

const Rule kRules[] = {
    {"wait with a time-out at DISPATCH_LEVEL",
     [] {
         KEVENT e;
         KeInitializeEvent(&e, NotificationEvent, FALSE);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         LARGE_INTEGER t = OneMs();
         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
     },
     "0x000000C4 \\(0x0000000000000039.*DRIVER_VERIFIER_DETECTED_VIOLATION"},
    {"wait forever at DISPATCH_LEVEL",
     [] {
         KEVENT e;
         KeInitializeEvent(&e, NotificationEvent, FALSE);
         KeRaiseIrqlToDpcLevel();
         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
     },
     "0x000000C4 \\(0x0000000000000039"},
    {"delay at DISPATCH_LEVEL",
     [] {
         KeRaiseIrqlToDpcLevel();
         LARGE_INTEGER t = OneMs();
         KeDelayExecutionThread(KernelMode, FALSE, &t);
     },
     "0x000000C4 \\(0x0000000000000039"},
    {"PsCreateSystemThread at DISPATCH_LEVEL",
     [] {
         KeRaiseIrqlToDpcLevel();
         HANDLE h;
         PsCreateSystemThread(
             &h, 0, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr);
     },
     "0x000000C4 \\(0x0000000000000038(.|\n)*PsCreateSystemThread called at IRQL 2"},
    {"passive-only service at APC_LEVEL",
     [] {
         KIRQL old;
         KeRaiseIrql(APC_LEVEL, &old);
         nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
     },
     "0x000000C4 \\(0x0000000000000038(.|\n)*ZwOpenKey called at IRQL 1"},
    {"KeFlushQueuedDpcs at DISPATCH_LEVEL",
     [] {
         KeRaiseIrqlToDpcLevel();
         KeFlushQueuedDpcs();
     },
     "0x000000C4 \\(0x0000000000000038"},
    {"release of a spin lock that is not held",
     [] {
         KSPIN_LOCK a;
         KeInitializeSpinLock(&a);
         KeRaiseIrqlToDpcLevel();
         KeReleaseSpinLock(&a, PASSIVE_LEVEL);
     },
     "0x000000C4 \\(0x0000000000001005(.|\n)*does not hold"},
    {"spin locks released out of order",
     [] {
         KSPIN_LOCK a, b;
         KeInitializeSpinLock(&a);
         KeInitializeSpinLock(&b);
         KIRQL oa, ob;
         KeAcquireSpinLock(&a, &oa);
         KeAcquireSpinLock(&b, &ob);
         KeReleaseSpinLock(&a, oa);
     },
     "0x000000C4 \\(0x0000000000001003(.|\n)*out of order"},
    {"spin lock held across a wait",
     [] {
         KSPIN_LOCK a;
         KeInitializeSpinLock(&a);
         KEVENT e;
         KeInitializeEvent(&e, NotificationEvent, FALSE);
         KIRQL old;
         KeAcquireSpinLock(&a, &old);
         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
     },
     "0x000000C4 \\(0x0000000000001006(.|\n)*holds a spin lock"},
    {"spin lock acquired twice by its holder",
     [] {
         KSPIN_LOCK a;
         KeInitializeSpinLock(&a);
         KIRQL old;
         KeAcquireSpinLock(&a, &old);
         KeAcquireSpinLockAtDpcLevel(&a);
     },
     "0x000000C4 \\(0x0000000000001002"},
    {"lock-order cycle, reported although nothing deadlocked",
     [] {
         KSPIN_LOCK a, b;
         KeInitializeSpinLock(&a);
         KeInitializeSpinLock(&b);
         KIRQL old;
         KeAcquireSpinLock(&a, &old); // a then b
         KeAcquireSpinLockAtDpcLevel(&b);
         KeReleaseSpinLockFromDpcLevel(&b);
         KeReleaseSpinLock(&a, old);
         KeAcquireSpinLock(&b, &old); // b then a: closes the cycle
         KeAcquireSpinLockAtDpcLevel(&a);
     },
     "0x000000C4 \\(0x0000000000001001(.|\n)*lock-order cycle"},
    {"three-lock cycle across two threads",
     [] {
         static KSPIN_LOCK a, b, c;
         KeInitializeSpinLock(&a);
         KeInitializeSpinLock(&b);
         KeInitializeSpinLock(&c);
         auto pair = [](PKSPIN_LOCK x, PKSPIN_LOCK y) {
             KIRQL old;
             KeAcquireSpinLock(x, &old);
             KeAcquireSpinLockAtDpcLevel(y);
             KeReleaseSpinLockFromDpcLevel(y);
             KeReleaseSpinLock(x, old);
         };
         {
             SystemThread t([&] { pair(&a, &b); });
         }
         pair(&b, &c);
         pair(&c, &a);
     },
     "0x000000C4 \\(0x0000000000001001"},
    {"KeLowerIrql to a higher level", [] { KeLowerIrql(DISPATCH_LEVEL); },
     "0x000000C4 \\(0x0000000000000031"},
    {"KeRaiseIrql to a lower level",
     [] {
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         KeRaiseIrql(APC_LEVEL, &old);
     },
     "0x000000C4 \\(0x0000000000000030"},
    {"freeing a set timer",
     [] {
         auto* block = static_cast<char*>(std::malloc(256));
         auto* timer = reinterpret_cast<PKTIMER>(block + 64);
         KeInitializeTimer(timer);
         KeSetTimer(timer, OneMs(), nullptr);
         nt::KiCheckFreedMemory(block, 256);
     },
     "0x000000C7 \\(0x0000000000000000.*TIMER_OR_DPC_INVALID"},
    {"freeing a queued DPC",
     [] {
         static std::atomic<bool> started{false};
         HoldProcessorOne(&started);
         auto* block = static_cast<char*>(std::malloc(256));
         auto* dpc = reinterpret_cast<PKDPC>(block + 32);
         KeInitializeDpc(
             dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
         KeSetTargetProcessorDpc(dpc, 1);
         KeInsertQueueDpc(dpc, nullptr, nullptr);
         nt::KiCheckFreedMemory(block, 256);
     },
     "0x000000C7 \\(0x0000000000000001.*TIMER_OR_DPC_INVALID"},
    {"freeing an event a thread waits on",
     [] {
         auto* block = static_cast<char*>(std::malloc(256));
         auto* event = reinterpret_cast<PKEVENT>(block + 16);
         KeInitializeEvent(event, NotificationEvent, FALSE);
         SystemThread waiter([&] { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); });
         LARGE_INTEGER t = OneMs();
         KeDelayExecutionThread(KernelMode, FALSE, &t);
         nt::KiCheckFreedMemory(block, 256);
     },
     "0x000000C4 \\(0x0000000000000060(.|\n)*waits on"},
    {"more objects than the built-in wait blocks",
     [] {
         KEVENT e[4];
         PVOID objects[4];
         for (int i = 0; i < 4; ++i) {
             KeInitializeEvent(&e[i], NotificationEvent, TRUE);
             objects[i] = &e[i];
         }
         KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
     },
     "0x0000000C .*MAXIMUM_WAIT_OBJECTS_EXCEEDED"},
    {"wait on an object never initialised",
     [] {
         KEVENT e{};
         KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
     },
     "0x000000C4 \\(0x000000000000003A"},
    {"DPC returning at a lowered IRQL",
     [] {
         KDPC dpc;
         KeInitializeDpc(
             &dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
         KeInsertQueueDpc(&dpc, nullptr, nullptr);
         KeFlushQueuedDpcs();
     },
     "0x000000C8 .*IRQL_UNEXPECTED_VALUE"},
    {"DPC returning with a spin lock held",
     [] {
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KDPC dpc;
         KeInitializeDpc(
             &dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
         KeInsertQueueDpc(&dpc, nullptr, nullptr);
         KeFlushQueuedDpcs();
     },
     "0x000000C4 \\(0x0000000000001007"},
    {"KeBugCheckEx, with the installed handler called",
     [] {
         nt::Kernel::Current()->SetBugCheckHandler([](const nt::BugCheckReport& r) {
             std::fprintf(stderr, "handler saw %s with %lx\n", r.name,
                          static_cast<unsigned long>(r.parameters[0]));
         });
         KeBugCheckEx(DRIVER_POWER_STATE_FAILURE, 3, 0, 0, 0);
     },
     "0x0000009F .*DRIVER_POWER_STATE_FAILURE(.|\n)*backtrace(.|\n)*handler saw DRIVER_POWER_STATE_FAILURE "
     "with 3"},
};

class VerifierDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(VerifierDeathTest, EveryRuleStopsTheMachineWithItsCode) {
    for (const Rule& rule : kRules) {
        SCOPED_TRACE(rule.name);
        EXPECT_DEATH(
            {
                nt::Kernel kernel;
                kernel.Start();
                nt::MachineThreadScope scope(kernel);
                rule.provoke();
                std::fprintf(stderr, "rule not enforced\n");
                std::_Exit(0);
            },
            rule.expected);
    }
}

VOID Nothing(PKDPC, PVOID, PVOID, PVOID) {}

class PendingTimerTest : public KeTest {};

TEST_F(PendingTimerTest, UnloadCheckFindsTimersAndDpcsByRoutineAddress) {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, Nothing, nullptr);
    auto* routine = reinterpret_cast<const char*>(&Nothing);
    EXPECT_FALSE(nt::KiHasPendingTimersOrDpcsIn(routine, 1));
    KeSetTimer(&timer, Relative(5 * kMs), &dpc);
    EXPECT_TRUE(nt::KiHasPendingTimersOrDpcsIn(routine, 1));
    EXPECT_FALSE(nt::KiHasPendingTimersOrDpcsIn(routine + 1, 1));
    KeCancelTimer(&timer);
    EXPECT_FALSE(nt::KiHasPendingTimersOrDpcsIn(routine, 1));
}

} // namespace
