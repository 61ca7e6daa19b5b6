// Group B of the control requests (the ASIO kernel interface) and the driver-wide record that
// aligns the buffer switches of up to four instruments.
#pragma once

#include <ntddk.h>

struct StreamEngine;

// Driver-wide; cleared by DriverEntry on the first load.
struct AsioSyncRecord {
    KSPIN_LOCK Lock;        // guards the slots and the switch event
    KSPIN_LOCK PublishLock; // guards the published half and time stamp
    PVOID Slots[4];         // per device index; guarded by Lock
};

VOID InitializeAsioSyncRecord(AsioSyncRecord* Record);

// Runs one group B request.  PASSIVE_LEVEL, with the device's ControlRequestEvent held.  Sets
// *Pending when the IRP stays pending (it then returns STATUS_PENDING and owns the IRP).
// Every code fails with STATUS_INVALID_PARAMETER until the ASIO requests are in place.
NTSTATUS DispatchAsioRequest(StreamEngine* Engine, PIRP Irp, BOOLEAN* Pending);
