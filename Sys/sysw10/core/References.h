#pragma once

#include <ntddk.h>

struct DeviceContext;

// IRP_MJ_CREATE on the control device: adds a reference when the device is DeviceRunning,
// DeviceWaking or DevicePoweredDown.  *Status: STATUS_SUCCESS, STATUS_DELETE_PENDING (another
// state) or STATUS_UNSUCCESSFUL (no DeviceContext).  <= DISPATCH_LEVEL.
DeviceContext* ReferenceControlContext(PDEVICE_OBJECT ControlDevice, NTSTATUS* Status);
