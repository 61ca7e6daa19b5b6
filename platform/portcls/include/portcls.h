// The port-class audio framework as an adapter driver sees it: adapter driver registration,
// adapter devices with their reserved extension area, the framework's IRP dispatch and adapter
// power management.  Subdevice ports and miniports arrive with their own headers.
//
// IRQL: PcInitializeAdapterDriver, PcAddAdapterDevice, PcRegisterAdapterPowerManagement and the
// PnP and power requests through PcDispatchIrp run at PASSIVE_LEVEL.
#pragma once

#include <wdm.h>
#include <unknown.h>

// The first bytes of every adapter device's extension belong to port-class; the adapter
// driver's own part starts right after them.
#define PORT_CLASS_DEVICE_EXTENSION_SIZE (64 * sizeof(ULONG_PTR))

// {793417D0-35FE-11D1-AD08-00A0C90AB1B0}
DECLARE_GUID_CONSTANT(IID_IAdapterPowerManagement);

// Implemented by the adapter driver's adapter object; port-class calls it for the adapter
// device's power requests.  Slots after IUnknown: PowerChangeState, QueryPowerChangeState,
// QueryDeviceCapabilities.  All three run at PASSIVE_LEVEL.
struct IAdapterPowerManagement : IUnknown {
    // The device moves to NewState.DeviceState (D0..D3); called after the lower drivers are in D0
    // when powering up and before they leave D0 when powering down.
    virtual void PowerChangeState(POWER_STATE NewState) = 0;
    // May the device move to NewStateQuery.DeviceState?  A failure status vetoes the change.
    virtual NTSTATUS QueryPowerChangeState(POWER_STATE NewStateQuery) = 0;
    // Adjusts the capabilities the bus driver reported (IRP_MN_QUERY_CAPABILITIES).
    virtual NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) = 0;

protected:
    ~IAdapterPowerManagement() = default;
};
typedef IAdapterPowerManagement* PADAPTERPOWERMANAGEMENT;

// The hardware resources of a start request.  USB adapters have none; port-class passes null.
struct IResourceList;
typedef IResourceList* PRESOURCELIST;

// The adapter driver's start routine (PcAddAdapterDevice); PASSIVE_LEVEL, on the start request
// after the lower drivers started.  Its status becomes the start request's status.
typedef NTSTATUS (*PCPFNSTARTDEVICE)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

// Called from DriverEntry: installs port-class's dispatch routine for every major function and
// its unload routine, and records AddDevice as the driver's add-device routine.  The driver may
// then point individual major functions at its own routine, which hands what it does not handle
// to PcDispatchIrp.  PASSIVE_LEVEL.
NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice);

// Called from AddDevice: creates the adapter device object (FILE_DEVICE_KS, unnamed) with an
// extension of DeviceExtensionSize bytes (0: PORT_CLASS_DEVICE_EXTENSION_SIZE; anything smaller
// than that is STATUS_INVALID_PARAMETER), attaches it to the physical device's stack, records
// StartDevice and room for MaxObjects subdevices, and clears DO_DEVICE_INITIALIZING.
// PASSIVE_LEVEL.
NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize);

// Port-class's handling of any request on a device of the adapter driver.  It completes the
// request or passes it down the stack; the caller must not touch the IRP afterwards.
//   IRP_MJ_CREATE/CLOSE/CLEANUP: opens and closes (on the adapter device: its subdevices).
//   IRP_MJ_PNP: start (lower drivers first, then the start routine), query/cancel remove,
//     surprise removal, remove (releases the adapter power object, detaches and deletes the
//     adapter device), capabilities (through IAdapterPowerManagement); others pass down.
//   IRP_MJ_POWER: device set/query power reach IAdapterPowerManagement; system power requests
//     become device power requests (S0 -> D0, S1..S5 -> D3) as the stack's power policy owner.
// Requests on device objects that port-class did not create (a driver's own named device) are
// completed without touching port-class state: create, close and cleanup with STATUS_SUCCESS,
// anything else with STATUS_INVALID_DEVICE_REQUEST.  PnP and power: PASSIVE_LEVEL; others <= DISPATCH_LEVEL.
NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Registers the adapter's power management object for the adapter device DeviceObject.
// Port-class queries Unknown for IAdapterPowerManagement and keeps that reference until the
// device is removed (a second registration replaces and releases the first).  PASSIVE_LEVEL.
NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext1);
