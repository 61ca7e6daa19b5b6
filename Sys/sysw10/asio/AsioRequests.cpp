#include "AsioRequests.h"

VOID InitializeAsioSyncRecord(AsioSyncRecord* Record) {
    RtlZeroMemory(Record, sizeof(*Record));
    KeInitializeSpinLock(&Record->Lock);
    KeInitializeSpinLock(&Record->PublishLock);
}

NTSTATUS DispatchAsioRequest(StreamEngine* Engine, PIRP Irp, BOOLEAN* Pending) {
    UNREFERENCED_PARAMETER(Engine);
    UNREFERENCED_PARAMETER(Irp);
    *Pending = FALSE;
    return STATUS_INVALID_PARAMETER;
}
