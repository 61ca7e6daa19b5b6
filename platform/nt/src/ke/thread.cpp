// Machine threads: the calling thread's context, system threads and their thread objects.
#include "ke/dispatcher.h"

#include "ke/thread_context.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"

#include <nt/ob.h>

#include <cstdio>
#include <cstdlib>
#include <new>

namespace nt {

namespace {
thread_local KTHREAD* t_thread = nullptr;
thread_local Kernel* t_kernel = nullptr;

// Thrown by PsTerminateSystemThread and caught by the thread's own start frame; never crosses
// an interface.
struct ThreadExit {
    NTSTATUS status;
};
} // namespace

void KiSetCurrentThread(KTHREAD* thread) {
    t_thread = thread;
    t_kernel = thread ? thread->Kernel : nullptr;
}
void KiSetCurrentKernel(Kernel* kernel) {
    t_kernel = kernel;
}
Kernel* KiCurrentKernel() {
    return t_kernel;
}

KTHREAD* KiCurrentThreadOrNull() {
    return t_thread;
}

KTHREAD* KiCurrentThread() {
    if (t_thread == nullptr) {
        std::fprintf(stderr, "fatal: a kernel service was called from a thread outside the machine "
                             "(enter it with nt::MachineThreadScope)\n");
        std::fflush(stderr);
        std::abort();
    }
    return t_thread;
}

Dispatcher& KiDispatcher() {
    return KiCurrentThread()->Kernel->Ke();
}

Process* KiCurrentProcess() {
    if (t_thread)
        return t_thread->Process;
    return t_kernel ? t_kernel->Ob().SystemProcess() : nullptr;
}

Process* Dispatcher::SystemProcess() {
    return kernel_.Ob().SystemProcess();
}

void KiDeleteThreadObject(PVOID body) {
    static_cast<KTHREAD*>(body)->~KTHREAD();
}

void Dispatcher::SystemThreadMain(KTHREAD* t) {
    KiSetCurrentThread(t);
    try {
        t->StartRoutine(t->StartContext);
    } catch (const ThreadExit&) {
    }
    if (t->HeldLockCount != 0)
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_SPINLOCK_HELD_AT_EXIT,
                   reinterpret_cast<ULONG_PTR>(t->HeldLocks[t->HeldLockCount - 1]), 0,
                   reinterpret_cast<ULONG_PTR>(t), "a system thread ended holding a spin lock");
    if (t->Irql != PASSIVE_LEVEL)
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_THREAD_EXIT_AT_RAISED_IRQL,
                   reinterpret_cast<ULONG_PTR>(t), t->Irql, 0,
                   "a system thread ended at an IRQL above PASSIVE_LEVEL");
    ExitCurrentThread(t);
    KiSetCurrentThread(nullptr);
    ObDereferenceObject(t); // the reference the running thread held
}

} // namespace nt

using namespace nt;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    (void)ObjectAttributes;
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    KTHREAD* self = KiCurrentThread();
    if (ThreadHandle == nullptr || StartRoutine == nullptr || ProcessHandle != nullptr)
        return STATUS_INVALID_PARAMETER;
    Dispatcher& ke = self->Kernel->Ke();
    PVOID body = ObCreateObjectBody(*PsThreadType, sizeof(KTHREAD));
    if (body == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* t = new (body) KTHREAD();
    t->Kernel = self->Kernel;
    t->Kind = KiThreadKind::System;
    t->Process = ke.SystemProcess();
    t->PreviousMode = KernelMode;
    t->Id = ke.NextThreadId();
    t->Name = "system thread " + std::to_string(t->Id);
    t->StartRoutine = StartRoutine;
    t->StartContext = StartContext;
    t->Header.Type = ThreadObject;
    t->Header.Size = 255;
    t->Header.WaitListHead.Flink = t->Header.WaitListHead.Blink = &t->Header.WaitListHead;
    NTSTATUS status = ObInsertHandle(body, ke.SystemProcess(),
                                     DesiredAccess ? DesiredAccess : THREAD_ALL_ACCESS, ThreadHandle);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(body);
        return status;
    }
    if (ClientId) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(4));
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(t->Id));
    }
    // The creation reference becomes the running thread's own; the handle holds another.
    ke.StartSystemThread(t);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "PsTerminateSystemThread");
    KTHREAD* self = KiCurrentThread();
    if (self->Kind != KiThreadKind::System)
        VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VF_NOT_A_SYSTEM_THREAD,
                   reinterpret_cast<ULONG_PTR>(self), 0, 0,
                   "PsTerminateSystemThread called on a thread that is not a system thread");
    throw ThreadExit{ExitStatus};
}

PETHREAD PsGetCurrentThread() {
    return KiCurrentThread();
}
PKTHREAD KeGetCurrentThread() {
    return KiCurrentThread();
}
PEPROCESS PsGetCurrentProcess() {
    return reinterpret_cast<PEPROCESS>(KiCurrentProcess());
}
HANDLE PsGetCurrentThreadId() {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(KiCurrentThread()->Id));
}
HANDLE PsGetCurrentProcessId() {
    Process* p = KiCurrentProcess();
    return reinterpret_cast<HANDLE>(p ? p->Id : 0);
}
BOOLEAN PsIsSystemThread(PETHREAD Thread) {
    return Thread->Kind == KiThreadKind::System;
}

KPROCESSOR_MODE ExGetPreviousMode() {
    KTHREAD* t = KiCurrentThreadOrNull();
    return t ? t->PreviousMode : static_cast<KPROCESSOR_MODE>(KernelMode);
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "KeSetPriorityThread");
    return Thread->Priority.exchange(Priority);
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
    return Thread->Priority;
}

VOID KeEnterCriticalRegion() {
    KiAssertIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
    ++KiCurrentThread()->CriticalRegionDepth;
}

VOID KeLeaveCriticalRegion() {
    KiAssertIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
    --KiCurrentThread()->CriticalRegionDepth;
}
