// The ControlDevice: the named device object per instrument through which user mode sends the
// driver's private control requests ("\Device\Vexwdm00n", linked as "\DosDevices\Vexwdm00n").
#pragma once

#include <ntddk.h>

struct DeviceContext;

// Creates the first free ControlDevice of numbers 1..4 and stores the device index.  FALSE when
// all four are taken (or nothing could be created).  PASSIVE_LEVEL.
BOOLEAN CreateControlDevice(DeviceContext* Context);
// The unprotected symbolic link, created last so that any user can open the device.
NTSTATUS CreateControlLink(DeviceContext* Context);
// Deletes the link (when it exists) and then the device object.  PASSIVE_LEVEL.
VOID DeleteControlDevice(DeviceContext* Context);

// The control dispatch, run by DispatchIrp with ControlRequestEvent held.  Completes the IRP
// unless a group B request leaves it pending.  PASSIVE_LEVEL.
NTSTATUS DispatchControlRequest(PDEVICE_OBJECT ControlDevice, PIRP Irp);
