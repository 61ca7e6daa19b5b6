// The WDK-shaped dispatcher services: events, waits, timers, DPCs and the clock.  Each checks the
// caller's IRQL, then hands the work to the current machine's dispatcher.
#include "ke/dispatcher.h"

#include "ke/thread_context.h"
#include "vf/verifier.h"

#include <dlfcn.h>

using namespace nt;

namespace {

void InitializeHeader(DISPATCHER_HEADER* h, UCHAR type, UCHAR sizeInLongs, LONG state) {
    h->Type = type;
    h->Absolute = 0;
    h->Size = sizeInLongs;
    h->Inserted = 0;
    h->SignalState = state;
    h->WaitListHead.Flink = h->WaitListHead.Blink = &h->WaitListHead;
}

void CheckInitialized(PVOID object) {
    auto* h = static_cast<PDISPATCHER_HEADER>(object);
    if (h == nullptr || h->Size == 0) // Size is written only by the initialiser
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_WAIT_ON_UNINITIALIZED_OBJECT,
                   reinterpret_cast<ULONG_PTR>(object), 0, 0,
                   "wait on a dispatcher object that was never initialised");
}

// The rules a blocking wait must obey: no spin lock held, IRQL <= APC_LEVEL.
void CheckBlockingWait(KTHREAD* self, const char* function) {
    if (self->HeldLockCount != 0)
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_SPINLOCK_HELD_ACROSS_WAIT,
                   reinterpret_cast<ULONG_PTR>(self->HeldLocks[self->HeldLockCount - 1]), 0,
                   reinterpret_cast<ULONG_PTR>(self),
                   std::string(function) + " would block while the thread holds a spin lock");
    if (self->Irql > APC_LEVEL)
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_WAIT_AT_DISPATCH_LEVEL, self->Irql, APC_LEVEL, 0,
                   std::string(function) + " with a non-zero time-out at DISPATCH_LEVEL or above");
}

LONGLONG TimeoutToDeadline(Dispatcher& ke, PLARGE_INTEGER timeout, bool* poll) {
    *poll = false;
    if (timeout == nullptr)
        return -1;
    if (timeout->QuadPart == 0) {
        *poll = true;
        return 0;
    }
    return ke.DeadlineFrom(timeout->QuadPart);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Events

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    InitializeHeader(&Event->Header,
                     static_cast<UCHAR>(Type == SynchronizationEvent ? EventSynchronizationObject
                                                                     : EventNotificationObject),
                     sizeof(KEVENT) / sizeof(LONG), State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    return KiDispatcher().SetEvent(Event);
}

LONG KeResetEvent(PRKEVENT Event) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    return KiDispatcher().ResetEvent(Event);
}

VOID KeClearEvent(PRKEVENT Event) {
    KeResetEvent(Event);
}

LONG KeReadStateEvent(PRKEVENT Event) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "KeReadStateEvent");
    return KiDispatcher().ReadState(&Event->Header);
}

// ---------------------------------------------------------------------------------------------
// Waits

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    PVOID objects[1] = {Object};
    return KeWaitForMultipleObjects(1, objects, WaitAny, WaitReason, WaitMode, Alertable, Timeout, nullptr);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
    (void)WaitMode;
    (void)Alertable;
    KTHREAD* self = KiCurrentThread();
    Dispatcher& ke = self->Kernel->Ke();
    bool poll;
    LONGLONG deadline = TimeoutToDeadline(ke, Timeout, &poll);
    if (poll)
        KiAssertIrqlAtMost(DISPATCH_LEVEL, "KeWaitForMultipleObjects");
    else
        CheckBlockingWait(self, Count == 1 && WaitBlockArray == nullptr ? "KeWaitForSingleObject"
                                                                        : "KeWaitForMultipleObjects");
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
        (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr))
        VfBugCheck(MAXIMUM_WAIT_OBJECTS_EXCEEDED, Count, reinterpret_cast<ULONG_PTR>(WaitBlockArray), 0, 0,
                   "KeWaitForMultipleObjects with more objects than its wait blocks allow");
    for (ULONG i = 0; i < Count; ++i)
        CheckInitialized(Object[i]);
    return ke.Wait(self, Count, Object, WaitType, WaitReason, deadline, poll,
                   WaitBlockArray ? WaitBlockArray : self->BuiltinWaitBlocks);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    KTHREAD* self = KiCurrentThread();
    CheckBlockingWait(self, "KeDelayExecutionThread");
    Dispatcher& ke = self->Kernel->Ke();
    // A wait on nothing that only its time-out ends: an event nobody else sees.
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    PVOID object = &never;
    bool poll;
    LONGLONG deadline = TimeoutToDeadline(ke, Interval, &poll);
    ke.Wait(self, 1, &object, WaitAny, DelayExecution, deadline, poll, self->BuiltinWaitBlocks);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Timers

VOID KeInitializeTimer(PKTIMER Timer) {
    KeInitializeTimerEx(Timer, NotificationTimer);
}

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    InitializeHeader(&Timer->Header,
                     static_cast<UCHAR>(Type == SynchronizationTimer ? TimerSynchronizationObject
                                                                     : TimerNotificationObject),
                     sizeof(KTIMER) / sizeof(LONG), 0);
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "KeSetTimerEx");
    CheckInitialized(Timer);
    Dispatcher& ke = KiDispatcher();
    Timer->Header.Absolute = DueTime.QuadPart > 0;
    return ke.SetTimer(Timer, ke.DeadlineFrom(DueTime.QuadPart), Period < 0 ? 0 : Period, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    return KiDispatcher().CancelTimer(Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "KeReadStateTimer");
    return KiDispatcher().ReadState(&Timer->Header) > 0;
}

// ---------------------------------------------------------------------------------------------
// DPCs

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->Type = 19; // DpcObject
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) {
    Dpc->Number = static_cast<USHORT>(Number + 1);
}

VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
    Dpc->Importance = static_cast<UCHAR>(Importance);
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    return KiDispatcher().InsertQueueDpc(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    return KiDispatcher().RemoveQueueDpc(Dpc);
}

VOID KeFlushQueuedDpcs() {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    KiDispatcher().FlushQueuedDpcs();
}

// ---------------------------------------------------------------------------------------------
// Clock and processors

ULONGLONG KeQueryInterruptTime() {
    return static_cast<ULONGLONG>(KiDispatcher().InterruptTime());
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = KiDispatcher().SystemTime();
}

VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime) {
    KeQuerySystemTime(CurrentTime);
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency)
        PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER now;
    now.QuadPart = KiDispatcher().InterruptTime();
    return now;
}

ULONG KeQueryTimeIncrement() {
    return KiDispatcher().TimerResolution();
}

ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "ExSetTimerResolution");
    // Requests are per module, as Windows keeps one per driver: the caller's module base.
    Dl_info info{};
    void* caller = __builtin_return_address(0);
    const void* module = dladdr(caller, &info) && info.dli_fbase ? info.dli_fbase : caller;
    return KiDispatcher().SetTimerResolution(module, DesiredTime, SetResolution != FALSE);
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    (void)MicroSeconds;
}

ULONG KeGetCurrentProcessorNumber() {
    KTHREAD* t = KiCurrentThreadOrNull();
    if (t == nullptr)
        return 0;
    if (t->ProcessorIndex >= 0)
        return static_cast<ULONG>(t->ProcessorIndex);
    return t->Id / 4 % t->Kernel->Ke().ProcessorCount();
}

ULONG KeQueryActiveProcessorCount(KAFFINITY* ActiveProcessors) {
    ULONG n = KiDispatcher().ProcessorCount();
    if (ActiveProcessors)
        *ActiveProcessors = n >= 64 ? ~KAFFINITY(0) : (KAFFINITY(1) << n) - 1;
    return n;
}

// ---------------------------------------------------------------------------------------------
// Services for other components

namespace nt {

void KiCheckFreedMemory(const void* base, size_t size) {
    KTHREAD* t = KiCurrentThreadOrNull();
    if (t == nullptr || size == 0)
        return;
    t->Kernel->Ke().CheckFreedMemory(base, size);
}

bool KiHasPendingTimersOrDpcsIn(const void* moduleBase, size_t moduleSize) {
    KTHREAD* t = KiCurrentThreadOrNull();
    return t && t->Kernel->Ke().HasPendingTimersOrDpcsIn(moduleBase, moduleSize);
}

} // namespace nt
