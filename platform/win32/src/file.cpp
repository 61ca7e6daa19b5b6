// Device files: CreateFile, DeviceIoControl, GetOverlappedResult and CloseHandle over the I/O
// manager's user-mode services.
#include "win32_internal.h"

#include "io/io_manager.h"
#include "ob/object_manager.h"

#include <wdm.h>

#include <string>

namespace {

// "\\.\X" names the DOS device X; kernel paths pass unchanged.
std::u16string KernelPath(std::u16string name) {
    if (name.rfind(u"\\\\.\\", 0) == 0)
        return u"\\??\\" + name.substr(4);
    return name;
}

bool Disposition(DWORD creation, ULONG* disposition) {
    switch (creation) {
    case CREATE_NEW:
        *disposition = FILE_CREATE;
        return true;
    case CREATE_ALWAYS:
        *disposition = FILE_OVERWRITE_IF;
        return true;
    case OPEN_EXISTING:
        *disposition = FILE_OPEN;
        return true;
    case OPEN_ALWAYS:
        *disposition = FILE_OPEN_IF;
        return true;
    case TRUNCATE_EXISTING:
        *disposition = FILE_OVERWRITE;
        return true;
    default:
        return false;
    }
}

bool IsUsable(HANDLE h) {
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

} // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    nt::Process* process = nullptr;
    nt::Kernel* kernel = win32::CurrentKernel(&process);
    if (kernel == nullptr)
        return INVALID_HANDLE_VALUE;
    ULONG disposition = 0;
    if (lpFileName == nullptr || !Disposition(dwCreationDisposition, &disposition)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    bool synchronous = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) == 0;
    nt::OpenFileResult r =
        kernel->Io().OpenFile(process, KernelPath(lpFileName), dwDesiredAccess | SYNCHRONIZE, dwShareMode,
                              disposition, synchronous);
    if (!NT_SUCCESS(r.Status)) {
        win32::FailWithStatus(r.Status);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return r.Handle;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Single-byte text: device names are ASCII, each byte one character.
    std::u16string wide;
    for (const char* p = lpFileName; *p != 0; ++p)
        wide += static_cast<char16_t>(static_cast<unsigned char>(*p));
    return CreateFileW(wide.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                       dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    nt::Process* process = nullptr;
    nt::Kernel* kernel = win32::CurrentKernel(&process);
    if (kernel == nullptr)
        return FALSE;
    if (!IsUsable(hDevice))
        return win32::FailWithStatus(STATUS_INVALID_HANDLE);
    if (lpOverlapped == nullptr && lpBytesReturned == nullptr)
        return win32::FailWithStatus(STATUS_INVALID_PARAMETER);
    IO_STATUS_BLOCK local{};
    PIO_STATUS_BLOCK iosb = &local;
    HANDLE event = nullptr;
    if (lpOverlapped != nullptr) {
        // The kernel writes the final status and byte count into Internal and InternalHigh.
        static_assert(sizeof(IO_STATUS_BLOCK) == 2 * sizeof(ULONG_PTR));
        iosb = reinterpret_cast<PIO_STATUS_BLOCK>(&lpOverlapped->Internal);
        lpOverlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
        lpOverlapped->InternalHigh = 0;
        event = lpOverlapped->hEvent;
    }
    NTSTATUS status = kernel->Io().DeviceIoControl(process, hDevice, dwIoControlCode, lpInBuffer,
                                                   nInBufferSize, lpOutBuffer, nOutBufferSize, event, iosb);
    if (status == STATUS_PENDING)
        return win32::FailWithStatus(STATUS_PENDING);
    if (lpBytesReturned != nullptr)
        *lpBytesReturned = NT_ERROR(status) ? 0 : static_cast<DWORD>(iosb->Information);
    if (!NT_SUCCESS(status))
        return win32::FailWithStatus(status);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait) {
    if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr || !IsUsable(hFile))
        return win32::FailWithStatus(STATUS_INVALID_PARAMETER);
    if (lpOverlapped->hEvent != nullptr) {
        // The event is set after the kernel wrote the status block, so a wait on it orders the
        // reads below after those writes.
        DWORD wait = WaitForSingleObject(lpOverlapped->hEvent, bWait ? INFINITE : 0);
        if (wait == WAIT_TIMEOUT) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (wait != WAIT_OBJECT_0)
            return FALSE;
    } else if (__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) ==
               static_cast<ULONG_PTR>(STATUS_PENDING)) {
        // Without an event there is nothing to wait on.
        SetLastError(bWait ? ERROR_INVALID_PARAMETER : ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    auto status = static_cast<NTSTATUS>(lpOverlapped->Internal);
    *lpNumberOfBytesTransferred = NT_ERROR(status) ? 0 : static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (!NT_SUCCESS(status))
        return win32::FailWithStatus(status);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    nt::Process* process = nullptr;
    nt::Kernel* kernel = win32::CurrentKernel(&process);
    if (kernel == nullptr)
        return FALSE;
    if (!IsUsable(hObject))
        return win32::FailWithStatus(STATUS_INVALID_HANDLE);
    NTSTATUS status = kernel->Io().CloseHandle(process, hObject);
    if (!NT_SUCCESS(status))
        return win32::FailWithStatus(status);
    win32::AfterHandlesClosed(*kernel);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
