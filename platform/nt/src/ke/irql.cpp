// IRQL changes and spin locks, with the verifier's rules on both.
//
// A spin lock word holds the owning KTHREAD while taken, 0 when free.  Each thread keeps the
// locks it holds in acquisition order (KTHREAD::HeldLocks); releases must be in reverse order.
#include "ke/dispatcher.h"

#include "ke/thread_context.h"
#include "vf/verifier.h"

#include <atomic>
#include <thread>

using namespace nt;

namespace {

[[noreturn]] void IrqlViolation(ULONG subcode, KIRQL current, KIRQL asked, const char* rule) {
    VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, subcode, current, asked, 0, rule);
}

ULONG_PTR Ptr(const void* p) {
    return reinterpret_cast<ULONG_PTR>(p);
}

void Acquire(KTHREAD* self, PKSPIN_LOCK lock) {
    std::atomic_ref<ULONG_PTR> word(*lock);
    if (word.load(std::memory_order_relaxed) == Ptr(self))
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_DEADLOCK_SELF, Ptr(lock), 0, Ptr(self),
                   "a thread acquires a spin lock it already holds");
    if (self->HeldLockCount > 0) {
        const void* held[KI_MAX_HELD_LOCKS];
        for (ULONG i = 0; i < self->HeldLockCount; ++i)
            held[i] = self->HeldLocks[i];
        const void* other = self->Kernel->Vf().LockOrder().RecordAcquire(lock, held, self->HeldLockCount);
        if (other)
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_DEADLOCK_LOCK_ORDER, Ptr(lock), Ptr(other),
                       Ptr(self),
                       "lock-order cycle: this spin lock is acquired while holding another that elsewhere is "
                       "acquired while holding this one (a deadlock waiting to happen)");
    }
    if (self->HeldLockCount == KI_MAX_HELD_LOCKS)
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_DEADLOCK_SELF, Ptr(lock), 0, Ptr(self),
                   "too many spin locks held at once");
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, Ptr(self), std::memory_order_acquire,
                                       std::memory_order_relaxed))
            break;
        if (spins > 64)
            std::this_thread::yield();
    }
    self->HeldLocks[self->HeldLockCount++] = lock;
}

void Release(KTHREAD* self, PKSPIN_LOCK lock) {
    std::atomic_ref<ULONG_PTR> word(*lock);
    if (word.load(std::memory_order_relaxed) != Ptr(self))
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_RELEASE_NOT_HELD, Ptr(lock), word.load(), Ptr(self),
                   "release of a spin lock that this thread does not hold");
    if (self->HeldLocks[self->HeldLockCount - 1] != lock)
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_RELEASE_OUT_OF_ORDER, Ptr(lock),
                   Ptr(self->HeldLocks[self->HeldLockCount - 1]), Ptr(self),
                   "spin lock released out of order: it is not the most recently acquired lock still held");
    --self->HeldLockCount;
    word.store(0, std::memory_order_release);
}

} // namespace

KIRQL KeGetCurrentIrql() {
    KTHREAD* t = KiCurrentThreadOrNull();
    return t ? t->Irql : PASSIVE_LEVEL;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KTHREAD* t = KiCurrentThread();
    if (NewIrql < t->Irql)
        IrqlViolation(VF_RAISE_IRQL_TO_LOWER_LEVEL, t->Irql, NewIrql,
                      "KeRaiseIrql to a level below the current IRQL");
    *OldIrql = t->Irql;
    t->Irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    KTHREAD* t = KiCurrentThread();
    if (NewIrql > t->Irql)
        IrqlViolation(VF_LOWER_IRQL_TO_HIGHER_LEVEL, t->Irql, NewIrql,
                      "KeLowerIrql to a level above the current IRQL");
    t->Irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
    // The address may have held another lock before: its place in the lock order is forgotten.
    if (Kernel* k = Kernel::Current())
        k->Vf().LockOrder().Forget(SpinLock, sizeof(KSPIN_LOCK));
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    KTHREAD* t = KiCurrentThread();
    if (t->Irql > DISPATCH_LEVEL)
        IrqlViolation(VF_SPINLOCK_AT_WRONG_IRQL, t->Irql, DISPATCH_LEVEL,
                      "KeAcquireSpinLock called above DISPATCH_LEVEL");
    KIRQL old = t->Irql;
    t->Irql = DISPATCH_LEVEL;
    Acquire(t, SpinLock);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KTHREAD* t = KiCurrentThread();
    if (t->Irql != DISPATCH_LEVEL)
        IrqlViolation(VF_SPINLOCK_AT_WRONG_IRQL, t->Irql, DISPATCH_LEVEL,
                      "KeReleaseSpinLock called at an IRQL other than DISPATCH_LEVEL");
    Release(t, SpinLock);
    if (NewIrql > t->Irql)
        IrqlViolation(VF_LOWER_IRQL_TO_HIGHER_LEVEL, t->Irql, NewIrql,
                      "KeReleaseSpinLock restoring an IRQL above DISPATCH_LEVEL");
    t->Irql = NewIrql;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    KTHREAD* t = KiCurrentThread();
    if (t->Irql != DISPATCH_LEVEL)
        IrqlViolation(VF_SPINLOCK_AT_WRONG_IRQL, t->Irql, DISPATCH_LEVEL,
                      "KeAcquireSpinLockAtDpcLevel called at an IRQL other than DISPATCH_LEVEL");
    Acquire(t, SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    KTHREAD* t = KiCurrentThread();
    if (t->Irql != DISPATCH_LEVEL)
        IrqlViolation(VF_SPINLOCK_AT_WRONG_IRQL, t->Irql, DISPATCH_LEVEL,
                      "KeReleaseSpinLockFromDpcLevel called at an IRQL other than DISPATCH_LEVEL");
    Release(t, SpinLock);
}
