// Bug-check codes that this kernel raises, with Windows' numbers and names, and the sub-codes that
// the verifier passes as the first parameter of DRIVER_VERIFIER_DETECTED_VIOLATION.
#pragma once

#include <ntdef.h>

// Bug-check codes (first argument of KeBugCheckEx).
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000AUL
#define MAXIMUM_WAIT_OBJECTS_EXCEEDED 0x0000000CUL
#define BAD_POOL_HEADER 0x00000019UL
#define SYSTEM_SERVICE_EXCEPTION 0x0000003BUL
#define MULTIPLE_IRP_COMPLETE_REQUESTS 0x00000044UL
#define CANCEL_STATE_IN_COMPLETED_IRP 0x00000048UL
#define IRQL_GT_ZERO_AT_SYSTEM_SERVICE 0x0000004AUL
#define NO_MORE_IRP_STACK_LOCATIONS 0x00000035UL
#define PROCESS_HAS_LOCKED_PAGES 0x00000076UL
#define SYSTEM_THREAD_EXCEPTION_NOT_HANDLED 0x0000007EUL
#define DRIVER_POWER_STATE_FAILURE 0x0000009FUL
#define SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION 0x000000C1UL
#define BAD_POOL_CALLER 0x000000C2UL
#define DRIVER_VERIFIER_DETECTED_VIOLATION 0x000000C4UL
#define TIMER_OR_DPC_INVALID 0x000000C7UL
#define IRQL_UNEXPECTED_VALUE 0x000000C8UL
#define DRIVER_VERIFIER_IOMANAGER_VIOLATION 0x000000C9UL
#define DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS 0x000000CEUL
#define DRIVER_IRQL_NOT_LESS_OR_EQUAL 0x000000D1UL
#define WORKER_INVALID 0x000000E4UL
#define MANUALLY_INITIATED_CRASH 0x000000E2UL

// Sub-codes of DRIVER_VERIFIER_DETECTED_VIOLATION (parameter 1).  The remaining parameters are
// given per sub-code.
// IRQL rules: p2 = current IRQL, p3 = the IRQL asked for or allowed, p4 = 0.
#define VF_RAISE_IRQL_TO_LOWER_LEVEL 0x30UL    // KeRaiseIrql to a level below the current one
#define VF_LOWER_IRQL_TO_HIGHER_LEVEL 0x31UL   // KeLowerIrql to a level above the current one
#define VF_SPINLOCK_AT_WRONG_IRQL 0x32UL       // ...AtDpcLevel below DISPATCH_LEVEL, or above it
#define VF_IRQL_TOO_HIGH_FOR_CALL 0x38UL       // a passive-only (or <= APC) service at raised IRQL
#define VF_WAIT_AT_DISPATCH_LEVEL 0x39UL       // a blocking wait at DISPATCH_LEVEL or above
#define VF_WAIT_ON_UNINITIALIZED_OBJECT 0x3AUL // p2 = object
#define VF_DPC_RETURNED_AT_WRONG_IRQL 0x3BUL   // p2 = routine, p3 = IRQL on return
#define VF_THREAD_EXIT_AT_RAISED_IRQL 0x3CUL   // p2 = thread, p3 = IRQL
#define VF_NOT_A_SYSTEM_THREAD 0x3DUL // PsTerminateSystemThread on another kind of thread; p2 = thread
// Freed memory: p2 = object, p3 = start of the freed block, p4 = its size.
#define VF_FREED_WAITED_OBJECT 0x60UL  // a dispatcher object that a thread waits on
#define VF_FREED_WAIT_BLOCK 0x61UL     // a wait block that a waiting thread uses
#define VF_FREED_DPC_WITH_TIMER 0x62UL // (reserved)
// Lock rules: p2 = lock, p3 = the other lock involved (or 0), p4 = thread.
#define VF_DEADLOCK_LOCK_ORDER 0x1001UL       // acquisition closes a cycle in the lock order
#define VF_DEADLOCK_SELF 0x1002UL             // a thread acquires a spin lock it already holds
#define VF_RELEASE_OUT_OF_ORDER 0x1003UL      // not the most recently acquired lock still held
#define VF_RELEASE_NOT_HELD 0x1005UL          // release of a lock this thread does not hold
#define VF_SPINLOCK_HELD_ACROSS_WAIT 0x1006UL // a blocking wait while holding a spin lock
#define VF_SPINLOCK_HELD_AT_EXIT 0x1007UL     // a DPC or thread returned holding a spin lock
// The machine itself: every machine thread waits and nothing is scheduled.  p2 = waiting threads.
#define VF_MACHINE_DEADLOCK 0x1010UL

// The name Windows gives a bug-check code ("DRIVER_IRQL_NOT_LESS_OR_EQUAL"); "UNKNOWN" otherwise.
const char* KiBugCheckName(ULONG code);

[[noreturn]] VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                               ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4);
[[noreturn]] VOID KeBugCheck(ULONG BugCheckCode);
