// Events and waits.  Event handles refer to kernel event objects in the process's handle table;
// waits are machine waits, so they take part in virtual time.
#include "win32_internal.h"

#include "ob/object_manager.h"

#include <wdm.h>

namespace {

HANDLE CreateUnnamedEvent(BOOL manualReset, BOOL initialState, bool named) {
    nt::Process* process = nullptr;
    nt::Kernel* kernel = win32::CurrentKernel(&process);
    if (kernel == nullptr)
        return nullptr;
    if (named) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    HANDLE handle = nullptr;
    NTSTATUS status =
        kernel->Ob().CreateEvent(process, manualReset ? NotificationEvent : SynchronizationEvent,
                                 initialState ? TRUE : FALSE, &handle);
    if (!NT_SUCCESS(status)) {
        win32::FailWithStatus(status);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

// References an event of the calling process for `access`.
PKEVENT ReferenceEvent(HANDLE h, ACCESS_MASK access) {
    nt::Process* process = nullptr;
    nt::Kernel* kernel = win32::CurrentKernel(&process);
    if (kernel == nullptr)
        return nullptr;
    PVOID object = nullptr;
    NTSTATUS status = kernel->Ob().ReferenceByHandle(h, access, *ExEventObjectType, UserMode, process, true,
                                                     &object, nullptr);
    if (!NT_SUCCESS(status)) {
        win32::FailWithStatus(status);
        return nullptr;
    }
    return static_cast<PKEVENT>(object);
}

} // namespace

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    return CreateUnnamedEvent(bManualReset, bInitialState, lpName != nullptr && *lpName != 0);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    return CreateUnnamedEvent(bManualReset, bInitialState, lpName != nullptr && *lpName != 0);
}

BOOL SetEvent(HANDLE hEvent) {
    PKEVENT event = ReferenceEvent(hEvent, EVENT_MODIFY_STATE);
    if (event == nullptr)
        return FALSE;
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(event);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    PKEVENT event = ReferenceEvent(hEvent, EVENT_MODIFY_STATE);
    if (event == nullptr)
        return FALSE;
    KeResetEvent(event);
    ObDereferenceObject(event);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    nt::Process* process = nullptr;
    nt::Kernel* kernel = win32::CurrentKernel(&process);
    if (kernel == nullptr)
        return WAIT_FAILED;
    PVOID object = nullptr;
    NTSTATUS status = kernel->Ob().ReferenceByHandle(hHandle, SYNCHRONIZE, nullptr, UserMode, process, true,
                                                     &object, nullptr);
    if (!NT_SUCCESS(status)) {
        win32::FailWithStatus(status);
        return WAIT_FAILED;
    }
    POBJECT_TYPE type = nt::ObGetObjectType(object);
    if (type != *ExEventObjectType && type != *PsThreadType) {
        // Only dispatcher objects can be waited on.
        ObDereferenceObject(object);
        win32::FailWithStatus(STATUS_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
    status = KeWaitForSingleObject(object, UserRequest, UserMode, FALSE,
                                   dwMilliseconds == INFINITE ? nullptr : &timeout);
    ObDereferenceObject(object);
    if (status == STATUS_TIMEOUT)
        return WAIT_TIMEOUT;
    if (status == STATUS_WAIT_0)
        return WAIT_OBJECT_0;
    win32::FailWithStatus(status);
    return WAIT_FAILED;
}
