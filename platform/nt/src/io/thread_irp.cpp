// Requests the I/O manager builds and finishes itself ("thread IRPs"): IoBuildDeviceIoControlRequest,
// the create/cleanup/close/shutdown requests and the user-mode layer's device controls.  When such
// a packet is completed to the top, the I/O manager copies a buffered result back, releases the
// MDLs (which removes their second mappings), writes the caller's I/O status block, sets its
// event and frees the packet.
#include "io/iop.h"
#include "vf/verifier.h"
#include "ex/pool.h"
#include "ob/object_manager.h"

#include <algorithm>
#include <cstring>

using namespace nt;

namespace nt {

PIRP IopAllocateThreadIrp(PDEVICE_OBJECT device, UCHAR majorFunction, KPROCESSOR_MODE mode) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    irp->IopTracking.Origin = kOriginThread;
    irp->RequestorMode = mode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = majorFunction;
    return irp;
}

NTSTATUS IopCallAndWait(PDEVICE_OBJECT device, PIRP irp, PIO_STATUS_BLOCK iosb) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->UserEvent = &done;
    irp->UserIosb = iosb;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb->Status;
    }
    return status;
}

void IopFinishThreadIrp(PIRP irp) {
    IoManager& io = IoManager::Current();
    IOP_IRP_TRACKING& t = irp->IopTracking;
    bool writeBack = !t.Orphaned;
    NTSTATUS status = irp->IoStatus.Status;

    if (irp->Flags & IRP_BUFFERED_IO) {
        if ((irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status) && writeBack &&
            irp->UserBuffer != nullptr) {
            size_t bytes = std::min<size_t>(irp->IoStatus.Information, t.UserOutputLength);
            if (bytes != 0)
                std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
        }
        if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr)
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kBufferPoolTag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    // Unlocking removes any second mapping: a driver that kept the mapped address faults.
    for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED)
            MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;

    if (writeBack && irp->UserIosb != nullptr)
        *irp->UserIosb = irp->IoStatus;
    // The event is a kernel event of a waiting thread or a referenced event object: always safe.
    if (irp->UserEvent != nullptr)
        KeSetEvent(irp->UserEvent, 0, FALSE);
    if (t.EventObject != nullptr)
        io.DeferDereference(t.EventObject);
    if (irp->Tail.Overlay.OriginalFileObject != nullptr)
        io.DeferDereference(irp->Tail.Overlay.OriginalFileObject);

    if (t.Process != nullptr) {
        if (!io.ReleaseAfterCancelHold(irp))
            return; // a canceller still holds it and frees it when done
    }
    IopReleaseIrp(irp);
}

} // namespace nt

// IRQL: PASSIVE_LEVEL.
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    UCHAR major = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    PIRP irp = IopAllocateThreadIrp(DeviceObject, major, KernelMode);
    if (irp == nullptr)
        return nullptr;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        return irp;
    }
    ULONG systemLength =
        method == METHOD_BUFFERED ? std::max(InputBufferLength, OutputBufferLength) : InputBufferLength;
    if (systemLength != 0) {
        PVOID buffer = ExAllocatePool2(POOL_FLAG_NON_PAGED, systemLength, kBufferPoolTag);
        if (buffer == nullptr) {
            irp->IopTracking.Origin = kOriginDriver; // never sent: released directly
            IoFreeIrp(irp);
            return nullptr;
        }
        if (InputBuffer != nullptr && InputBufferLength != 0)
            std::memcpy(buffer, InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    if (method == METHOD_BUFFERED) {
        if (OutputBufferLength != 0) {
            irp->Flags |= IRP_INPUT_OPERATION;
            irp->UserBuffer = OutputBuffer;
            irp->IopTracking.UserOutputLength = OutputBufferLength;
        }
        return irp;
    }
    if (OutputBuffer != nullptr && OutputBufferLength != 0) {
        PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
        LOCK_OPERATION op = method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess;
        if (mdl == nullptr || !NT_SUCCESS(IopProbeAndLock(mdl, KernelMode, op))) {
            if (mdl != nullptr) {
                irp->MdlAddress = nullptr;
                IoFreeMdl(mdl);
            }
            if (irp->AssociatedIrp.SystemBuffer != nullptr)
                ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kBufferPoolTag);
            irp->IopTracking.Origin = kOriginDriver;
            IoFreeIrp(irp);
            return nullptr;
        }
    }
    return irp;
}

PEPROCESS IoGetCurrentProcess() {
    return PsGetCurrentProcess();
}
