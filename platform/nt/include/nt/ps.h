// Process and thread services: system threads and the current thread's process and mode.
#pragma once

#include <ntdef.h>
#include <nt/ke.h>

// A process as drivers see it: an opaque pointer.
struct _KPROCESS;
typedef struct _KPROCESS KPROCESS, *PKPROCESS, *PRKPROCESS;
typedef struct _KPROCESS EPROCESS, *PEPROCESS;

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

// PASSIVE_LEVEL.  Creates a thread of the System process (ProcessHandle must be null) that runs
// StartRoutine(StartContext) at PASSIVE_LEVEL with priority 8.  *ThreadHandle is a kernel handle
// to the thread object (close it with ZwClose); the object is signalled when the thread ends.
NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
// PASSIVE_LEVEL, on a system thread.  Ends the calling thread; does not return.
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);

// Any IRQL.
PETHREAD PsGetCurrentThread();
PEPROCESS PsGetCurrentProcess();
HANDLE PsGetCurrentThreadId();
HANDLE PsGetCurrentProcessId();
BOOLEAN PsIsSystemThread(PETHREAD Thread);

// Any IRQL.  The mode of the request the current thread is carrying out: UserMode for threads
// of a user process that entered the kernel, KernelMode for system threads.
KPROCESSOR_MODE ExGetPreviousMode();
