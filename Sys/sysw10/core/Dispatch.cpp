// DispatchIrp: the one dispatch routine of both device kinds, told apart by the DeviceRoleTag;
// and DispatchShutdown.  IRQL: PASSIVE_LEVEL (create, close, device control, PnP, power).
#include "../ports/MidiPipes.h"
#include "ControlDevice.h"
#include "DeviceContext.h"
#include "Entry.h"
#include "References.h"

namespace {

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// The adapter device: port-class handles every request; the driver keeps its reference count
// and DeviceState in step and refuses a query-remove while the device is busy.
NTSTATUS DispatchAdapter(PDEVICE_OBJECT DeviceObject, PIRP Irp, DeviceContext* Context) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
        NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
        if (NT_SUCCESS(status) && Context != nullptr)
            InterlockedIncrement(&Context->ReferenceCount);
        return status;
    }
    case IRP_MJ_CLOSE:
        if (Context != nullptr)
            ReleaseDeviceContext(Context);
        return PcDispatchIrp(DeviceObject, Irp);
    case IRP_MJ_POWER:
        if (Context != nullptr && stack->MinorFunction == IRP_MN_SET_POWER &&
            stack->Parameters.Power.Type == SystemPowerState &&
            stack->Parameters.Power.State.SystemState == PowerSystemWorking) {
            KIRQL irql;
            KeAcquireSpinLock(&Context->MidiOut.Lock, &irql);
            if (Context->MidiOut.SuspendState != MidiPowered)
                Context->MidiOut.SuspendState = MidiSystemWorking;
            KeReleaseSpinLock(&Context->MidiOut.Lock, irql);
            const LONG state = ReadDeviceState(&Context->Usb);
            if ((state < 0 || state > DeviceWaking) && state != DeviceSurpriseRemoved &&
                state != DeviceRemoved)
                WriteDeviceState(&Context->Usb, DeviceWaking);
        }
        return PcDispatchIrp(DeviceObject, Irp);
    case IRP_MJ_PNP:
        if (Context != nullptr && stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
            const LONG state = ReadDeviceState(&Context->Usb);
            if (state != DeviceNotStarted && state != DeviceSurpriseRemoved && state != DeviceRemoved)
                WriteDeviceState(&Context->Usb, DeviceSurpriseRemoved);
        }
        // A function driver that vetoes a query-remove completes it itself, without handing it on:
        // port-class never sees it, and the IRP is not touched after completion.
        if (Context != nullptr && stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE && DeviceIsBusy(Context))
            return CompleteWith(Irp, STATUS_DEVICE_BUSY);
        return PcDispatchIrp(DeviceObject, Irp);
    default:
        return PcDispatchIrp(DeviceObject, Irp);
    }
}

// The control device: the driver completes everything here.
NTSTATUS DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, DeviceContext* Context) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        NTSTATUS status;
        ReferenceControlContext(DeviceObject, &status);
        return CompleteWith(Irp, status);
    }
    if (Context == nullptr)
        return CompleteWith(Irp, STATUS_UNSUCCESSFUL);
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL: {
        KeWaitForSingleObject(&Context->ControlRequestEvent, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = DispatchControlRequest(DeviceObject, Irp);
        KeSetEvent(&Context->ControlRequestEvent, 0, FALSE);
        return status;
    }
    case IRP_MJ_CLOSE:
        // The handle's reference keeps the DeviceContext until here; this may free it, and with
        // it delete the control device (whose object lives on until the IRP is done).
        ReleaseDeviceContext(Context);
        return CompleteWith(Irp, STATUS_SUCCESS);
    case IRP_MJ_POWER:
    case IRP_MJ_PNP:
        return CompleteWith(Irp, STATUS_NOT_IMPLEMENTED);
    default:
        return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

} // namespace

NTSTATUS DispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    DeviceExtensionPart* part = ExtensionPart(DeviceObject);
    if (part == nullptr || Irp == nullptr)
        return STATUS_INVALID_PARAMETER;
    DeviceContext* context = part->Context;
    if (part->Role()->IsAdapterDevice())
        return DispatchAdapter(DeviceObject, Irp, context);
    return DispatchControl(DeviceObject, Irp, context);
}

NTSTATUS DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (ExtensionPart(DeviceObject) == nullptr || Irp == nullptr)
        return STATUS_INVALID_PARAMETER;
    return CompleteWith(Irp, STATUS_SUCCESS);
}
