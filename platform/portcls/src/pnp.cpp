// Plug and Play requests on an adapter device.  PASSIVE_LEVEL; the PnP manager sends one at a
// time per device.
#include "adapter_state.h"

#include "vf/verifier.h"

namespace pc {
namespace {

NTSTATUS Start(AdapterState* state, PIRP irp) {
    NTSTATUS status = ForwardAndWait(state, irp);
    if (NT_SUCCESS(status)) {
        // The lower drivers are started: the device is in D0 and the adapter may use it.
        state->DevicePower = PowerDeviceD0;
        state->SystemPower = PowerSystemWorking;
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        PoSetPowerState(state->Self, DevicePowerState, d0);
        status = state->StartDevice(state->Self, irp, nullptr);
        if (status == STATUS_PENDING)
            nt::VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, kVfStartRoutinePending,
                           reinterpret_cast<ULONG_PTR>(state->StartDevice), reinterpret_cast<ULONG_PTR>(irp),
                           0, "an adapter's start routine returned STATUS_PENDING; it must finish the start");
        if (NT_SUCCESS(status))
            state->State = PnpState::Started;
    }
    return CompleteIrp(irp, status);
}

// Drops what port-class holds for the adapter: the subdevice ports, then the adapter's power
// object (the adapter driver tears the device down when its last reference goes).
void ReleaseAdapterObjects(AdapterState* state) {
    for (ULONG i = 0; i < state->MaxObjects; ++i) {
        SubdeviceEntry& entry = state->Subdevices[i];
        if (entry.Port != nullptr) {
            PUNKNOWN port = entry.Port;
            entry.Port = nullptr;
            entry.Name[0] = 0;
            port->Release();
        }
    }
    PADAPTERPOWERMANAGEMENT power = state->PowerManagement;
    state->PowerManagement = nullptr;
    if (power != nullptr)
        power->Release();
}

NTSTATUS Remove(AdapterState* state, PIRP irp) {
    PDEVICE_OBJECT self = state->Self;
    PDEVICE_OBJECT lower = state->LowerDevice;
    state->State = PnpState::Removed;
    ReleaseAdapterObjects(state);
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(state, irp);
    if (state->Subdevices != nullptr) {
        ExFreePoolWithTag(state->Subdevices, kSubdeviceTableTag);
        state->Subdevices = nullptr;
    }
    state->Magic = 0;
    IoDetachDevice(lower);
    IoDeleteDevice(self);
    return status;
}

} // namespace

NTSTATUS DispatchPnp(AdapterState* state, PIRP irp) {
    nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "PcDispatchIrp (IRP_MJ_PNP)");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return Start(state, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        state->State = PnpState::RemovePending;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(state, irp);
    case IRP_MN_CANCEL_REMOVE_DEVICE: {
        // Lower drivers first, then this one returns to the started state.
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = ForwardAndWait(state, irp);
        if (state->State == PnpState::RemovePending)
            state->State = PnpState::Started;
        return CompleteIrp(irp, NT_SUCCESS(status) ? STATUS_SUCCESS : status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        state->State = PnpState::SurpriseRemoved;
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(state, irp);
    case IRP_MN_REMOVE_DEVICE:
        return Remove(state, irp);
    case IRP_MN_QUERY_CAPABILITIES: {
        // The bus driver fills the capabilities; the adapter adjusts them on the way back up.
        NTSTATUS status = ForwardAndWait(state, irp);
        if (NT_SUCCESS(status) && state->PowerManagement != nullptr)
            status = state->PowerManagement->QueryDeviceCapabilities(
                stack->Parameters.DeviceCapabilities.Capabilities);
        return CompleteIrp(irp, status, irp->IoStatus.Information);
    }
    default:
        return PassDown(state, irp);
    }
}

} // namespace pc
