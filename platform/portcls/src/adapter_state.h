// Port-class's record of one adapter device, kept in the reserved first bytes of the adapter
// device's extension (PORT_CLASS_DEVICE_EXTENSION_SIZE).
//
// The PnP and power managers serialise a device's PnP and power requests, and those requests
// are the only writers of State, DevicePower, SystemPower and PowerManagement; they run at
// PASSIVE_LEVEL.  Create and close change OpenCount with interlocked operations.
#pragma once

#include <portcls.h>

namespace pc {

enum class PnpState : ULONG {
    NotStarted,      // added, no successful start yet
    Started,         // the start routine succeeded
    RemovePending,   // a query-remove passed; a remove or cancel-remove follows
    SurpriseRemoved, // the device left the bus; only the remove request follows
    Removed,         // the remove request ran; the device object is being deleted
};

struct SubdeviceEntry {
    WCHAR Name[32]; // the subdevice's reference string; empty when the slot is free
    PUNKNOWN Port;  // referenced while registered
};

struct AdapterState {
    ULONG Magic;                             // kAdapterMagic while the record is valid
    PDEVICE_OBJECT Self;                     // the adapter device this record lives in
    PDEVICE_OBJECT PhysicalDevice;           // the PDO passed to PcAddAdapterDevice
    PDEVICE_OBJECT LowerDevice;              // what the adapter device is attached to
    PCPFNSTARTDEVICE StartDevice;            // the driver's start routine
    ULONG MaxObjects;                        // room in Subdevices
    SubdeviceEntry* Subdevices;              // non-paged pool, MaxObjects entries (null when 0)
    PADAPTERPOWERMANAGEMENT PowerManagement; // referenced; null until registered
    PnpState State;
    DEVICE_POWER_STATE DevicePower;
    SYSTEM_POWER_STATE SystemPower;
    LONG OpenCount; // files open on the adapter device
};
static_assert(sizeof(AdapterState) <= PORT_CLASS_DEVICE_EXTENSION_SIZE,
              "port-class's record must fit its reserved area");

constexpr ULONG kAdapterMagic = 0x64416350;      // "PcAd"
constexpr ULONG kSubdeviceTableTag = 0x64536350; // "PcSd"
// DRIVER_VERIFIER_DETECTED_VIOLATION sub-code: an adapter's start routine returned STATUS_PENDING.
constexpr ULONG kVfStartRoutinePending = 0x3001;

// The record of `device` when port-class created it with PcAddAdapterDevice; null for any other
// device object (its extension is not read past what it has).  Any IRQL.
AdapterState* AdapterStateOf(PDEVICE_OBJECT device);

// Sends the request down to the lower device and waits for it to come back; the IRP is the
// caller's again afterwards (it still has to be completed).  PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(AdapterState* state, PIRP irp);
// Passes the request down without waiting; the caller must not touch it afterwards.
NTSTATUS PassDown(AdapterState* state, PIRP irp);
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

NTSTATUS DispatchPnp(AdapterState* state, PIRP irp);
NTSTATUS DispatchPower(AdapterState* state, PIRP irp);

} // namespace pc
