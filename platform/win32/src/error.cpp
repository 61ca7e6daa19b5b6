// The calling thread's last error and the translation of kernel statuses into error codes.
#include <windows.h>
#include <win32/process.h>

#include "win32_internal.h"

namespace {

thread_local DWORD tLastError = ERROR_SUCCESS;

// The statuses the package's programs meet, with the error code each becomes.
struct StatusMapping {
    NTSTATUS Status;
    DWORD Error;
};
constexpr StatusMapping kStatusToError[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_TIMEOUT, ERROR_TIMEOUT},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {static_cast<NTSTATUS>(0xC0000184L) /* STATUS_INVALID_DEVICE_STATE */, ERROR_INVALID_DEVICE_STATE},
};

} // namespace

namespace win32 {

unsigned long NtStatusToWin32Error(NTSTATUS status) {
    for (const StatusMapping& m : kStatusToError)
        if (m.Status == status)
            return m.Error;
    return ERROR_MR_MID_NOT_FOUND; // what the system answers for a status it has no code for
}

BOOL FailWithStatus(NTSTATUS status) {
    SetLastError(NtStatusToWin32Error(status));
    return FALSE;
}

} // namespace win32

DWORD GetLastError() {
    return tLastError;
}

void SetLastError(DWORD dwErrCode) {
    tLastError = dwErrCode;
}
