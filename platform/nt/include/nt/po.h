// The power manager and the Plug and Play manager as drivers see them: power IRPs requested and
// passed down a device stack, the device's recorded power state, and the device's registry keys.
//
// IRQL: PoRequestPowerIrp, PoCallDriver, PoStartNextPowerIrp, PoSetPowerState <= DISPATCH_LEVEL;
//       IoOpenDeviceRegistryKey PASSIVE_LEVEL.
#pragma once

#include <ntdef.h>
#include <nt/io.h>

// Called when a power IRP requested with PoRequestPowerIrp has completed; IoStatus is the
// request's final status block.  Runs on the thread that completed the request.
typedef VOID REQUEST_POWER_COMPLETE(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                    PVOID Context, PIO_STATUS_BLOCK IoStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

// Allocates a device power IRP (IRP_MN_SET_POWER, IRP_MN_QUERY_POWER or IRP_MN_WAIT_WAKE) and sends
// it to the top of the stack `DeviceObject` (a PDO) belongs to.  The power manager owns and frees
// the IRP; CompletionFunction runs after the stack completed it.  A system power state is refused
// with STATUS_INVALID_PARAMETER_2, as only the power manager sends system power IRPs.
// Returns STATUS_PENDING once the request is on its way.  IRQL: <= DISPATCH_LEVEL.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp);

// Passes a power IRP to the next lower driver (the same as IoCallDriver).  IRQL: <= DISPATCH_LEVEL.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Tells the power manager that the driver is ready for the next power IRP.  Kept for drivers
// written for older systems; it has no effect.  IRQL: <= DISPATCH_LEVEL.
VOID PoStartNextPowerIrp(PIRP Irp);
// Records a device's new power state with the power manager; returns the previous one.
// IRQL: <= DISPATCH_LEVEL.
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);

#ifndef STATUS_INVALID_PARAMETER_2
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)
#endif
#ifndef STATUS_INVALID_DEVICE_STATE
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#endif

// IoOpenDeviceRegistryKey's DevInstKeyType.
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

// Opens the hardware key (PLUGPLAY_REGKEY_DEVICE: Enum\<instance>\Device Parameters) or the
// software key (PLUGPLAY_REGKEY_DRIVER: Control\Class\<class GUID>\<nnnn>) of the device whose
// stack contains `DeviceObject` (which must be the PDO).  The handle is a kernel handle; close it
// with ZwClose.  A device object that is not a PDO the PnP manager knows is
// STATUS_INVALID_DEVICE_REQUEST; a device without an installed driver key is
// STATUS_OBJECT_NAME_NOT_FOUND.  IRQL: PASSIVE_LEVEL.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey);
