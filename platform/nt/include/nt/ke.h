// Kernel core services: IRQL, spin locks, dispatcher objects (events, timers, threads), waits,
// DPCs, the interrupt clock and interlocked operations.  Declarations written from the documented
// behaviour of the kernel API; the structures are this kernel's own layout (drivers only allocate
// them and pass their addresses, as on Windows).
//
// Every function states the highest IRQL it may be called at; calling above it is a bug check.
#pragma once

#include <ntdef.h>

// ---------------------------------------------------------------------------------------------
// IRQL and priorities

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CHAR CCHAR;

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CLOCK_LEVEL 13
#define HIGH_LEVEL 15

typedef LONG KPRIORITY;
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

// Any IRQL.
KIRQL KeGetCurrentIrql();
// Any IRQL; NewIrql must not be below the current IRQL.
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
// Any IRQL; NewIrql must not be above the current IRQL.
VOID KeLowerIrql(KIRQL NewIrql);
// <= DISPATCH_LEVEL; returns the previous IRQL.
KIRQL KeRaiseIrqlToDpcLevel();

// ---------------------------------------------------------------------------------------------
// Spin locks.  A lock is a pointer-sized word: 0 when free.  Acquiring raises to DISPATCH_LEVEL;
// locks are released in the reverse order of acquisition (the verifier checks it).

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

// Any IRQL.
VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
// <= DISPATCH_LEVEL; returns the IRQL to restore.
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))
// DISPATCH_LEVEL (holding the lock); lowers to NewIrql.
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
// DISPATCH_LEVEL exactly.
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

// ---------------------------------------------------------------------------------------------
// Dispatcher objects

// Header.Type values.
typedef enum _KOBJECTS {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    ThreadObject = 6,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
} KOBJECTS;

// The common head of every waitable object.  Guarded by the dispatcher lock (SignalState may be
// read without it).  Size is the object's size in LONGs and is 0 until the object is initialised.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute; // timers: the due time was given as an absolute time
    UCHAR Size;
    UCHAR Inserted; // timers: in the timer queue
    LONG SignalState;
    LIST_ENTRY WaitListHead; // KWAIT_BLOCK.WaitListEntry of the threads waiting on the object
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

struct _KTHREAD;
typedef struct _KTHREAD KTHREAD, *PKTHREAD, *PRKTHREAD;
typedef struct _KTHREAD ETHREAD, *PETHREAD; // one structure serves both views here

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance } KDPC_IMPORTANCE;

// A deferred procedure call.  Queued at most once; DpcData is non-null while it is queued.
// Guarded by the dispatcher lock once initialised.
typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number; // target processor + 1, or 0 for "any"
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;
} KDPC, *PKDPC, *PRKDPC;

// A timer: signalled when it expires; optionally queues a DPC at every expiry.  Guarded by the
// dispatcher lock.  DueTime is the absolute interrupt time of the next expiry while Inserted.
typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;
    LIST_ENTRY TimerListEntry;
    PKDPC Dpc;
    ULONG Processor;
    LONG Period; // milliseconds; 0 = one-shot
} KTIMER, *PKTIMER, *PRKTIMER;

typedef enum _KWAIT_REASON {
    Executive,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
    WrEventPair,
    WrQueue,
    MaximumWaitReason = 37
} KWAIT_REASON;

// Links one waiting thread to one object.  Owned by the waiting thread for the time of the wait.
typedef struct _KWAIT_BLOCK {
    LIST_ENTRY WaitListEntry;
    PKTHREAD Thread;
    PVOID Object;
    struct _KWAIT_BLOCK* NextWaitBlock;
    USHORT WaitKey;
    UCHAR WaitType;
    UCHAR BlockState;
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3 // objects a thread can wait on with its built-in wait blocks
#define MAXIMUM_WAIT_OBJECTS 64

// Events.  KeInitializeEvent: any IRQL (the event must not be in use).
VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
// <= DISPATCH_LEVEL.  Returns the previous signal state.  Wait is accepted and has no effect.
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
LONG KeResetEvent(PRKEVENT Event);
VOID KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

// Waits.  Timeout: null = forever; negative = relative, positive = absolute system time, both in
// 100-ns units; zero = test without waiting.  <= DISPATCH_LEVEL with a zero time-out, otherwise
// <= APC_LEVEL.  Returns STATUS_WAIT_0 + index, or STATUS_TIMEOUT.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
// Count > THREAD_WAIT_OBJECTS needs WaitBlockArray (Count entries); Count <= MAXIMUM_WAIT_OBJECTS.
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);
#define KeWaitForMutexObject KeWaitForSingleObject
// <= APC_LEVEL.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

// Timers.  Initialise: any IRQL.  Set/cancel/read: <= DISPATCH_LEVEL.
VOID KeInitializeTimer(PKTIMER Timer);
VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// Returns TRUE when the timer was already set (it is reset to the new due time).
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
// Returns TRUE when the timer was set.  A DPC already queued by an expiry stays queued.
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// DPCs.  Initialise: any IRQL.  Insert/remove: any IRQL up to HIGH_LEVEL.  The routine runs at
// DISPATCH_LEVEL on a processor thread: the caller's processor when queued from one, otherwise the
// next processor in turn, or the one chosen with KeSetTargetProcessorDpc.
VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number);
VOID KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance);
// FALSE when the DPC is already queued.
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
// TRUE when the DPC was queued (it will not run for that insertion).
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
// PASSIVE_LEVEL.  Returns when every DPC queued before the call has run to its end.
VOID KeFlushQueuedDpcs();

// ---------------------------------------------------------------------------------------------
// Clock and processors

// Any IRQL.  100-ns units since boot; in virtual time it moves only when every thread waits.
ULONGLONG KeQueryInterruptTime();
// Any IRQL.  100-ns units since 1 January 1601 (UTC).
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);
// Any IRQL.  A 10-MHz counter (the interrupt time).
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
// Any IRQL.  The interval of the clock interrupt in 100-ns units (the current timer resolution).
ULONG KeQueryTimeIncrement();
// <= DISPATCH_LEVEL.  Asks for (SetResolution TRUE) or withdraws the caller module's request for
// a clock resolution of DesiredTime (100-ns units); returns the resolution now in effect.  Timers
// here always expire exactly at their due time; the machine reports the requests.
ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);
// Any IRQL.  Busy-waits; in virtual time it returns at once (processor work takes no time).
VOID KeStallExecutionProcessor(ULONG MicroSeconds);

ULONG KeGetCurrentProcessorNumber();
ULONG KeQueryActiveProcessorCount(KAFFINITY* ActiveProcessors);

// ---------------------------------------------------------------------------------------------
// Threads

// Any IRQL.
PKTHREAD KeGetCurrentThread();
// <= DISPATCH_LEVEL.  Returns the previous priority.
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);
// <= APC_LEVEL.  Critical regions (APC delivery is not simulated; the nesting is counted).
VOID KeEnterCriticalRegion();
VOID KeLeaveCriticalRegion();

// ---------------------------------------------------------------------------------------------
// Interlocked operations (full barriers).  Return the resulting value (Increment, Decrement) or
// the previous one (Exchange, ExchangeAdd, CompareExchange, Or, And).

inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
inline LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
    return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedIncrement64(LONG64 volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedDecrement64(LONG64 volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 Exchange, LONG64 Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
