// PcDispatchIrp: port-class's routing of every request that reaches an adapter driver.
#include "adapter_state.h"

#include "vf/verifier.h"

namespace {

// Completion for ForwardAndWait: hands the IRP back to the waiting dispatch routine.
NTSTATUS SignalForwardDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool NameEquals(const WCHAR* name, PCUNICODE_STRING s, USHORT skip) {
    USHORT chars = static_cast<USHORT>(s->Length / sizeof(WCHAR));
    USHORT i = 0;
    for (; skip + i < chars; ++i)
        if (i >= 31 || name[i] != s->Buffer[skip + i])
            return false;
    return name[i] == 0;
}

// IRP_MJ_CREATE on the adapter device: the file name selects a registered subdevice
// ("\<name>"); an empty name opens the adapter device itself.
NTSTATUS DispatchCreate(pc::AdapterState* state, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (state->State == pc::PnpState::SurpriseRemoved || state->State == pc::PnpState::Removed)
        return pc::CompleteIrp(irp, STATUS_DELETE_PENDING);
    PFILE_OBJECT file = stack->FileObject;
    if (file != nullptr && file->FileName.Length != 0) {
        USHORT skip = file->FileName.Buffer[0] == u'\\' ? 1 : 0;
        bool found = false;
        for (ULONG i = 0; i < state->MaxObjects && !found; ++i)
            found = state->Subdevices[i].Name[0] != 0 &&
                    NameEquals(state->Subdevices[i].Name, &file->FileName, skip);
        if (!found)
            return pc::CompleteIrp(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    InterlockedIncrement(&state->OpenCount);
    return pc::CompleteIrp(irp, STATUS_SUCCESS);
}

} // namespace

namespace pc {

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ForwardAndWait(AdapterState* state, PIRP irp) {
    nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "port-class synchronous forward");
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalForwardDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(state->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS PassDown(AdapterState* state, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(state->LowerDevice, irp);
}

} // namespace pc

NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    pc::AdapterState* state = pc::AdapterStateOf(DeviceObject);
    if (state == nullptr) {
        // A device object of the adapter driver that port-class did not create: nothing of
        // port-class's is attached to it, so only the file requests succeed.
        switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return pc::CompleteIrp(Irp, STATUS_SUCCESS);
        default:
            return pc::CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
        }
    }
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        return DispatchCreate(state, Irp);
    case IRP_MJ_CLOSE:
        InterlockedDecrement(&state->OpenCount);
        return pc::CompleteIrp(Irp, STATUS_SUCCESS);
    case IRP_MJ_CLEANUP:
        return pc::CompleteIrp(Irp, STATUS_SUCCESS);
    case IRP_MJ_PNP:
        return pc::DispatchPnp(state, Irp);
    case IRP_MJ_POWER:
        return pc::DispatchPower(state, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return pc::PassDown(state, Irp);
    default:
        // Kernel-streaming requests go to a subdevice's filter; none is open through this path.
        return pc::CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}
