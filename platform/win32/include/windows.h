// The Win32 user-mode subset the package's programs call (kernel32): files and device-control
// requests on devices, events and waits, last-error codes, and fixed global memory.  Every call
// runs on a thread of a user process of the machine (see win32/process.h) and reaches the kernel
// directly.  Strings: the W functions take UTF-16, the A functions single-byte text.
#pragma once

#include <ntdef.h>

typedef int BOOL;
typedef unsigned int UINT;
typedef BOOL* LPBOOL;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const CHAR* LPCSTR;
typedef CHAR* LPSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;
typedef HANDLE HGLOBAL;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFF

// Error codes (GetLastError).
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_TIMEOUT 1460L
#define ERROR_INVALID_DEVICE_STATE 5023L

// CreateFile: share modes, dispositions and flags.  GENERIC_READ/WRITE come from ntdef.h.
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED 0x40000000

// Waits.
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED 0xFFFFFFFF

// GlobalAlloc.
#define GMEM_FIXED 0x0000
#define GMEM_ZEROINIT 0x0040
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// An overlapped request's state: Internal is the status (STATUS_PENDING while in flight) and
// InternalHigh the byte count, both written by the kernel when the request completes; hEvent is
// reset when the request starts and set when it completes.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// Opens a device: "\\.\Name" (through the \DosDevices links) or a kernel path ("\Device\...",
// "\??\...").  FILE_FLAG_OVERLAPPED makes every request on the handle asynchronous.
// INVALID_HANDLE_VALUE on failure (a missing device: ERROR_FILE_NOT_FOUND).
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Sends a device-control request.  Synchronous handle: waits; TRUE with *lpBytesReturned on
// success.  Overlapped handle with lpOverlapped: FALSE with ERROR_IO_PENDING while the driver
// holds the request (then GetOverlappedResult), or the final result at once.  A warning status
// (a partial answer) is FALSE with ERROR_MORE_DATA and the bytes returned.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);
// The result of an overlapped request; bWait waits for it (on lpOverlapped->hEvent), otherwise a
// request still in flight is FALSE with ERROR_IO_INCOMPLETE.
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait);
// Any handle.  The last handle of a file sends cleanup, then close once nothing uses the file.
BOOL CloseHandle(HANDLE hObject);

// Unnamed events only (a name is ERROR_NOT_SUPPORTED).
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
// Events and threads.  dwMilliseconds in the machine's time; INFINITE waits for ever.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Page-backed memory of the calling process (the kernel can map it for direct I/O).
HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
HGLOBAL GlobalFree(HGLOBAL hMem);
