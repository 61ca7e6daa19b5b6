// Kernel-internal view of threads and the dispatcher services other components call.
#pragma once

#include <ntdef.h>
#include <nt/ke.h>
#include <nt/ps.h>
#include <nt/kernel.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <string>

namespace nt {
struct Process;
}

enum class KiThreadKind : UCHAR {
    System,    // PsCreateSystemThread
    Processor, // runs DPCs and timer DPCs at DISPATCH_LEVEL
    Adopted,   // an outside thread inside a MachineThreadScope
};

#define KI_MAX_HELD_LOCKS 16

// A machine thread.  For system threads this is the body of a thread object (type *PsThreadType);
// processor and adopted threads are not objects.  Opaque to drivers.
struct _KTHREAD {
    DISPATCHER_HEADER Header; // first: a thread is waitable and is signalled when it ends

    // Set before the thread runs, read-only afterwards.
    nt::Kernel* Kernel = nullptr;
    nt::Process* Process = nullptr; // the System process for system, processor and kernel threads
    KPROCESSOR_MODE PreviousMode = KernelMode;
    KiThreadKind Kind = KiThreadKind::System;
    ULONG Id = 0;
    int ProcessorIndex = -1; // processor threads only
    std::string Name;
    PKSTART_ROUTINE StartRoutine = nullptr;
    PVOID StartContext = nullptr;

    // Read and written only by the thread itself.
    KIRQL Irql = PASSIVE_LEVEL;
    ULONG HeldLockCount = 0;
    PKSPIN_LOCK HeldLocks[KI_MAX_HELD_LOCKS] = {}; // in acquisition order
    LONG CriticalRegionDepth = 0;

    std::atomic<KPRIORITY> Priority{8}; // recorded only: host scheduling ignores it

    // Guarded by the dispatcher lock.
    bool Waiting = false; // blocked in a wait; not counted runnable
    bool Terminated = false;
    NTSTATUS WaitStatus = STATUS_SUCCESS;
    WAIT_TYPE WaitType = WaitAny;
    KWAIT_REASON WaitReason = Executive;
    ULONG WaitCount = 0;
    PKWAIT_BLOCK WaitBlocks = nullptr; // the current wait's blocks (built-in or the caller's)
    LONGLONG WaitDeadline = -1;        // interrupt time of the wait's time-out; -1 = none
    uint64_t WaitTimeoutKey = 0;       // its entry in the clock queue
    KWAIT_BLOCK BuiltinWaitBlocks[THREAD_WAIT_OBJECTS] = {};
    std::condition_variable Wake; // the thread sleeps on it with the dispatcher lock
};

namespace nt {

// The calling thread's record, or null outside the machine.  Any IRQL.
KTHREAD* KiCurrentThreadOrNull();
// The calling thread's record; a call from outside the machine is fatal.  Any IRQL.
KTHREAD* KiCurrentThread();
// The current thread's process: the System process for system, processor and kernel threads.
Process* KiCurrentProcess();

// Bug-checks when a set KTIMER, a queued KDPC, a dispatcher object some thread waits on, or a wait
// block in use lies inside [base, base + size); forgets the lock-order edges of spin locks there.
// The pool calls it on every free.  Any IRQL <= DISPATCH_LEVEL; no-op outside the machine.
void KiCheckFreedMemory(const void* base, size_t size);

// True when a set timer's DPC routine, a queued DPC's routine, or a KTIMER/KDPC itself lies inside
// [moduleBase, moduleBase + moduleSize).  The I/O manager asks it when a driver unloads and bug-checks
// DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS.  Any IRQL <= DISPATCH_LEVEL.
bool KiHasPendingTimersOrDpcsIn(const void* moduleBase, size_t moduleSize);

// The thread-object type's delete routine: destroys the KTHREAD kept in the object body.
void KiDeleteThreadObject(PVOID body);

} // namespace nt
