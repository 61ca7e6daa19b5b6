// DPCs: where and at which IRQL they run, parallel processors, removal and flushing.
#include "ke_fixture.h"

#include <atomic>
#include <thread>

using namespace ketest;

namespace {

class DpcTest : public KeTest {};

struct Observation {
    std::atomic<int> runs{0};
    KIRQL irql = 0xFF;
    ULONG processor = 99;
    PKTHREAD thread = nullptr;
};

VOID Observe(PKDPC, PVOID context, PVOID arg1, PVOID) {
    auto* o = static_cast<Observation*>(context);
    o->irql = KeGetCurrentIrql();
    o->processor = KeGetCurrentProcessorNumber();
    o->thread = KeGetCurrentThread();
    EXPECT_EQ(reinterpret_cast<PVOID>(0x1234), arg1);
    o->runs.fetch_add(1);
}

TEST_F(DpcTest, RunsAtDispatchLevelOnTheTargetedProcessorThread) {
    for (CCHAR target : {0, 1}) {
        Observation o;
        KDPC dpc;
        KeInitializeDpc(&dpc, Observe, &o);
        KeSetTargetProcessorDpc(&dpc, target);
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(0x1234), nullptr));
        KeFlushQueuedDpcs();
        EXPECT_EQ(1, o.runs.load());
        EXPECT_EQ(DISPATCH_LEVEL, o.irql);
        EXPECT_EQ(static_cast<ULONG>(target), o.processor);
        EXPECT_NE(KeGetCurrentThread(), o.thread);
    }
    EXPECT_EQ(2u, KeQueryActiveProcessorCount(nullptr));
}

// Each DPC announces itself, then spins until the other has arrived: only two processors running
// at the same time can both finish.
struct Rendezvous {
    std::atomic<int> arrived{0};
    std::atomic<int> processorsSeen{0};
};

VOID MeetOther(PKDPC, PVOID context, PVOID, PVOID) {
    auto* r = static_cast<Rendezvous*>(context);
    r->processorsSeen.fetch_or(1 << KeGetCurrentProcessorNumber());
    r->arrived.fetch_add(1);
    while (r->arrived.load() < 2)
        std::this_thread::yield();
}

TEST_F(DpcTest, TwoProcessorsRunDpcsInParallel) {
    Rendezvous r;
    KDPC a, b;
    KeInitializeDpc(&a, MeetOther, &r);
    KeInitializeDpc(&b, MeetOther, &r);
    // Untargeted DPCs from a non-processor thread are spread across the processors.
    KeInsertQueueDpc(&a, nullptr, nullptr);
    KeInsertQueueDpc(&b, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(2, r.arrived.load());
    EXPECT_EQ(3, r.processorsSeen.load());
}

// A DPC that holds its processor until released, to keep later DPCs queued behind it.
struct Blocker {
    std::atomic<bool> started{false};
    std::atomic<bool> release{false};
};

VOID Block(PKDPC, PVOID context, PVOID, PVOID) {
    auto* b = static_cast<Blocker*>(context);
    b->started = true;
    while (!b->release.load())
        std::this_thread::yield();
}

VOID Count(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

struct Chain {
    KDPC next;
    std::atomic<ULONG> firstProcessor{99};
    std::atomic<ULONG> secondProcessor{99};
};

VOID Second(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<Chain*>(context)->secondProcessor = KeGetCurrentProcessorNumber();
}

VOID First(PKDPC, PVOID context, PVOID, PVOID) {
    auto* c = static_cast<Chain*>(context);
    c->firstProcessor = KeGetCurrentProcessorNumber();
    KeInsertQueueDpc(&c->next, nullptr, nullptr); // queued from a processor: stays on it
}

TEST_F(DpcTest, QueueRemoveAndFlushWhileTheProcessorIsBusy) {
    Blocker blocker;
    KDPC block, counted;
    std::atomic<int> count{0};
    KeInitializeDpc(&block, Block, &blocker);
    KeInitializeDpc(&counted, Count, &count);
    KeSetTargetProcessorDpc(&block, 1);
    KeSetTargetProcessorDpc(&counted, 1);
    KeInsertQueueDpc(&block, nullptr, nullptr);
    while (!blocker.started.load())
        std::this_thread::yield();

    EXPECT_TRUE(KeInsertQueueDpc(&counted, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&counted, nullptr, nullptr)); // already queued
    EXPECT_TRUE(KeRemoveQueueDpc(&counted));
    EXPECT_FALSE(KeRemoveQueueDpc(&counted));
    EXPECT_TRUE(KeInsertQueueDpc(&counted, nullptr, nullptr));

    // The flush must wait for the running DPC and the one queued behind it.
    SystemThread flusher([&] { KeFlushQueuedDpcs(); });
    for (int i = 0; i < 1000; ++i)
        std::this_thread::yield();
    LARGE_INTEGER zero{};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(flusher.Thread(), Executive, KernelMode, FALSE, &zero));
    EXPECT_EQ(0, count.load());
    blocker.release = true;
    flusher.Join();
    EXPECT_EQ(1, count.load());

    Chain chain;
    KDPC first;
    KeInitializeDpc(&first, First, &chain);
    KeInitializeDpc(&chain.next, Second, &chain);
    KeSetTargetProcessorDpc(&first, 1);
    KeInsertQueueDpc(&first, nullptr, nullptr);
    KeFlushQueuedDpcs();
    KeFlushQueuedDpcs(); // the second DPC was queued by the first
    EXPECT_EQ(1u, chain.firstProcessor.load());
    EXPECT_EQ(1u, chain.secondProcessor.load());
}

} // namespace
