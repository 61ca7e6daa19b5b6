// Timers, the DPC queues and the processors that run them.
#include "ke/dispatcher.h"

#include "ke/list.h"
#include "ke/thread_context.h"
#include "vf/verifier.h"

namespace nt {

namespace {} // namespace

// ---------------------------------------------------------------------------------------------
// Timers

BOOLEAN Dispatcher::CancelTimerLocked(PKTIMER timer) {
    auto it = setTimers_.find(timer);
    if (it == setTimers_.end())
        return FALSE;
    clock_.erase(it->second);
    setTimers_.erase(it);
    timer->Header.Inserted = 0;
    return TRUE;
}

BOOLEAN Dispatcher::SetTimer(PKTIMER timer, LONGLONG due, LONG periodMs, PKDPC dpc) {
    Lock lk(lock_);
    BOOLEAN wasSet = CancelTimerLocked(timer);
    timer->Header.SignalState = 0;
    timer->Header.Inserted = 1;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Period = periodMs;
    timer->Dpc = dpc;
    uint64_t seq = AddClockEntryLocked(due, {ClockEntry::Timer, timer});
    setTimers_[timer] = ClockKey{due, seq};
    return wasSet;
}

BOOLEAN Dispatcher::CancelTimer(PKTIMER timer) {
    Lock lk(lock_);
    return CancelTimerLocked(timer);
}

void Dispatcher::ExpireTimerLocked(PKTIMER timer, LONGLONG due) {
    setTimers_.erase(timer);
    timer->Header.Inserted = 0;
    ++stats_.timerExpiries;
    if (timer->Period > 0) {
        LONGLONG next = due + static_cast<LONGLONG>(timer->Period) * 10000;
        timer->Header.Inserted = 1;
        timer->DueTime.QuadPart = static_cast<ULONGLONG>(next);
        uint64_t seq = AddClockEntryLocked(next, {ClockEntry::Timer, timer});
        setTimers_[timer] = ClockKey{next, seq};
    }
    timer->Header.SignalState = 1;
    SignalObjectLocked(&timer->Header);
    if (timer->Dpc) {
        ULARGE_INTEGER at;
        at.QuadPart = static_cast<ULONGLONG>(due);
        InsertQueueDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(at.LowPart)),
                             reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(at.HighPart)));
    }
}

// ---------------------------------------------------------------------------------------------
// DPCs

BOOLEAN Dispatcher::InsertQueueDpcLocked(PRKDPC dpc, PVOID arg1, PVOID arg2) {
    if (dpc->DpcData)
        return FALSE;
    Processor* p;
    KTHREAD* self = KiCurrentThreadOrNull();
    if (dpc->Number > 0)
        p = processors_[(dpc->Number - 1) % processors_.size()].get();
    else if (self && self->Kind == KiThreadKind::Processor && self->Kernel == &kernel_)
        p = processors_[self->ProcessorIndex].get();
    else
        p = processors_[nextProcessor_++ % processors_.size()].get();
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    dpc->DpcData = p;
    if (dpc->Importance == HighImportance)
        KiInsertHead(&p->queue, &dpc->DpcListEntry);
    else
        KiInsertTail(&p->queue, &dpc->DpcListEntry);
    if (p->work.Header.SignalState == 0) {
        p->work.Header.SignalState = 1;
        SignalObjectLocked(&p->work.Header);
    }
    return TRUE;
}

BOOLEAN Dispatcher::InsertQueueDpc(PRKDPC dpc, PVOID arg1, PVOID arg2) {
    Lock lk(lock_);
    return InsertQueueDpcLocked(dpc, arg1, arg2);
}

BOOLEAN Dispatcher::RemoveQueueDpc(PRKDPC dpc) {
    Lock lk(lock_);
    if (!dpc->DpcData)
        return FALSE;
    KiRemoveEntry(&dpc->DpcListEntry);
    dpc->DpcData = nullptr;
    return TRUE;
}

namespace {
struct FlushState {
    LONG remaining;
    KEVENT done;
};
VOID FlushMarker(PKDPC, PVOID context, PVOID, PVOID) {
    auto* s = static_cast<FlushState*>(context);
    if (InterlockedDecrement(&s->remaining) == 0)
        KeSetEvent(&s->done, 0, FALSE);
}
} // namespace

void Dispatcher::FlushQueuedDpcs() {
    // A marker at the tail of every processor's queue: when all markers have run, every DPC that
    // was queued before has run to its end (a processor runs its queue in order, one at a time).
    FlushState state;
    state.remaining = static_cast<LONG>(processors_.size());
    KeInitializeEvent(&state.done, NotificationEvent, FALSE);
    std::vector<KDPC> markers(processors_.size());
    for (size_t i = 0; i < markers.size(); ++i) {
        KeInitializeDpc(&markers[i], FlushMarker, &state);
        KeSetTargetProcessorDpc(&markers[i], static_cast<CCHAR>(i));
        InsertQueueDpc(&markers[i], nullptr, nullptr);
    }
    KTHREAD* self = KiCurrentThread();
    PVOID object = &state.done;
    Wait(self, 1, &object, WaitAny, Executive, -1, false, self->BuiltinWaitBlocks);
}

void Dispatcher::ProcessorMain(Processor* p) {
    KTHREAD* self = p->thread;
    KiSetCurrentThread(self);
    Lock lk(lock_);
    for (;;) {
        if (KiIsListEmpty(&p->queue)) {
            if (p->stop)
                break;
            self->Irql = PASSIVE_LEVEL; // idle
            PVOID object = &p->work;
            WaitLocked(lk, self, 1, &object, WaitAny, Executive, -1, false, self->BuiltinWaitBlocks);
            continue;
        }
        PLIST_ENTRY e = p->queue.Flink;
        KiRemoveEntry(e);
        auto* dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
        lk.unlock();
        self->Irql = DISPATCH_LEVEL;
        routine(dpc, context, a1, a2);
        if (self->HeldLockCount != 0)
            VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_SPINLOCK_HELD_AT_EXIT,
                       reinterpret_cast<ULONG_PTR>(self->HeldLocks[self->HeldLockCount - 1]), 0,
                       reinterpret_cast<ULONG_PTR>(routine), "a DPC routine returned holding a spin lock");
        if (self->Irql != DISPATCH_LEVEL)
            VfBugCheck(IRQL_UNEXPECTED_VALUE, self->Irql, DISPATCH_LEVEL,
                       reinterpret_cast<ULONG_PTR>(routine), 0,
                       "a DPC routine returned at an IRQL other than DISPATCH_LEVEL");
        lk.lock();
        ++p->dpcsRun;
    }
    threads_.erase(std::find(threads_.begin(), threads_.end(), self));
    RunnableDownLocked();
    lk.unlock();
    KiSetCurrentThread(nullptr);
    delete self;
}

// ---------------------------------------------------------------------------------------------
// Freed memory and unloading drivers

void Dispatcher::CheckFreedMemory(const void* base, size_t size) {
    Lock lk(lock_);
    auto end = static_cast<const char*>(base) + size;
    for (auto it = setTimers_.lower_bound(static_cast<const KTIMER*>(base));
         it != setTimers_.end() && reinterpret_cast<const char*>(it->first) < end; ++it) {
        lk.unlock();
        VfBugCheck(TIMER_OR_DPC_INVALID, 0, reinterpret_cast<ULONG_PTR>(it->first),
                   reinterpret_cast<ULONG_PTR>(base), reinterpret_cast<ULONG_PTR>(end),
                   "freeing memory that holds a timer that is still set");
    }
    for (auto& p : processors_)
        for (PLIST_ENTRY e = p->queue.Flink; e != &p->queue; e = e->Flink) {
            auto* dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
            if (KiInRange(dpc, base, size)) {
                lk.unlock();
                VfBugCheck(TIMER_OR_DPC_INVALID, 1, reinterpret_cast<ULONG_PTR>(dpc),
                           reinterpret_cast<ULONG_PTR>(base), reinterpret_cast<ULONG_PTR>(end),
                           "freeing memory that holds a queued DPC");
            }
        }
    for (KTHREAD* t : threads_) {
        if (!t->Waiting)
            continue;
        for (ULONG i = 0; i < t->WaitCount; ++i) {
            const KWAIT_BLOCK& b = t->WaitBlocks[i];
            if (KiInRange(b.Object, base, size)) {
                lk.unlock();
                VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_FREED_WAITED_OBJECT,
                           reinterpret_cast<ULONG_PTR>(b.Object), reinterpret_cast<ULONG_PTR>(base), size,
                           "freeing memory that holds a dispatcher object a thread waits on (" + t->Name +
                               ")");
            }
            if (KiInRange(&b, base, size)) {
                lk.unlock();
                VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_FREED_WAIT_BLOCK,
                           reinterpret_cast<ULONG_PTR>(&b), reinterpret_cast<ULONG_PTR>(base), size,
                           "freeing memory that holds a wait block in use by " + t->Name);
            }
        }
    }
    lk.unlock();
    kernel_.Vf().LockOrder().Forget(base, size);
}

bool Dispatcher::HasPendingTimersOrDpcsIn(const void* base, size_t size) {
    Lock lk(lock_);
    auto related = [&](const KDPC* dpc) {
        return dpc && (KiInRange(dpc, base, size) ||
                       KiInRange(reinterpret_cast<const void*>(dpc->DeferredRoutine), base, size));
    };
    for (auto& [timer, key] : setTimers_)
        if (KiInRange(timer, base, size) || related(timer->Dpc))
            return true;
    for (auto& p : processors_)
        for (PLIST_ENTRY e = p->queue.Flink; e != &p->queue; e = e->Flink)
            if (related(CONTAINING_RECORD(e, KDPC, DpcListEntry)))
                return true;
    return false;
}

} // namespace nt
