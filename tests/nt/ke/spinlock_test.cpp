// Spin locks: IRQL raise and restore, mutual exclusion across processors and threads, and the
// lock-order graph's memory of re-initialised locks.
#include "ke_fixture.h"

#include "ke/ki.h"
#include "vf/verifier.h"

#include <atomic>

using namespace ketest;

namespace {

class SpinLockTest : public KeTest {};

TEST_F(SpinLockTest, AcquireRaisesToDispatchAndReleaseRestoresTheCallersIrql) {
    KSPIN_LOCK outer, inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    for (KIRQL start : {PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL}) {
        KIRQL entry;
        KeRaiseIrql(start, &entry);
        KIRQL old;
        KeAcquireSpinLock(&outer, &old);
        EXPECT_EQ(start, old);
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
        KeAcquireSpinLockAtDpcLevel(&inner);
        KeReleaseSpinLockFromDpcLevel(&inner);
        KeReleaseSpinLock(&outer, old);
        EXPECT_EQ(start, KeGetCurrentIrql());
        KeLowerIrql(entry);
    }
    EXPECT_EQ(PASSIVE_LEVEL, KeRaiseIrqlToDpcLevel());
    KeLowerIrql(PASSIVE_LEVEL);
}

struct Shared {
    KSPIN_LOCK lock;
    long long counter = 0; // guarded by lock; deliberately not atomic
    KDPC dpcs[2];
    std::atomic<int> done{0};
};
constexpr int kRounds = 20000;

VOID Hammer(PKDPC, PVOID context, PVOID, PVOID) {
    auto* s = static_cast<Shared*>(context);
    for (int i = 0; i < kRounds; ++i) {
        KeAcquireSpinLockAtDpcLevel(&s->lock);
        ++s->counter;
        KeReleaseSpinLockFromDpcLevel(&s->lock);
    }
    s->done.fetch_add(1);
}

TEST_F(SpinLockTest, ExcludesDpcsOnBothProcessorsAndAPassiveThread) {
    Shared s;
    KeInitializeSpinLock(&s.lock);
    for (int p = 0; p < 2; ++p) {
        KeInitializeDpc(&s.dpcs[p], Hammer, &s);
        KeSetTargetProcessorDpc(&s.dpcs[p], static_cast<CCHAR>(p));
        KeInsertQueueDpc(&s.dpcs[p], nullptr, nullptr);
    }
    for (int i = 0; i < kRounds; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&s.lock, &old);
        ++s.counter;
        KeReleaseSpinLock(&s.lock, old);
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ(2, s.done.load());
    EXPECT_EQ(3LL * kRounds, s.counter);
}

TEST_F(SpinLockTest, ReinitialisingOrFreeingALockForgetsItsOrder) {
    KSPIN_LOCK locks[2];
    auto ordered = [&](int first, int second) {
        KIRQL old;
        KeAcquireSpinLock(&locks[first], &old);
        KeAcquireSpinLockAtDpcLevel(&locks[second]);
        KeReleaseSpinLockFromDpcLevel(&locks[second]);
        KeReleaseSpinLock(&locks[first], old);
    };
    nt::LockOrderGraph& graph = Kernel().Vf().LockOrder();
    KeInitializeSpinLock(&locks[0]);
    KeInitializeSpinLock(&locks[1]);
    ordered(0, 1);
    EXPECT_EQ(1u, graph.EdgeCount());
    ordered(0, 1); // the same order again adds nothing
    EXPECT_EQ(1u, graph.EdgeCount());
    KeInitializeSpinLock(&locks[1]); // a new lock at the same address
    EXPECT_EQ(0u, graph.EdgeCount());
    ordered(1, 0); // the opposite order is no cycle now
    EXPECT_EQ(1u, graph.EdgeCount());
    nt::KiCheckFreedMemory(locks, sizeof(locks));
    EXPECT_EQ(0u, graph.EdgeCount());
    ordered(0, 1);
}

} // namespace
