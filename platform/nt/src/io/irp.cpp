// I/O request packets: allocation, reuse, sending down a device stack and completion back up.
//
// Ownership rules enforced here (each break is a bug check):
// - a packet is completed only while some driver holds one of its locations (0x44 otherwise);
// - it carries no cancel routine when it is completed (0x48);
// - the driver that allocated it neither frees nor reuses it while a lower driver owns it;
// - a driver-allocated packet ends with a completion routine returning
//   STATUS_MORE_PROCESSING_REQUIRED: the I/O manager finishes only its own (thread) packets.
#include "io/iop.h"
#include "vf/verifier.h"
#include "ex/pool.h"

#include <cstring>

using namespace nt;

namespace nt {

[[noreturn]] void IopViolation(ULONG subCode, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4, std::string rule) {
    VfBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, subCode, p2, p3, p4, std::move(rule));
}

void IopCheckIrp(PIRP irp, const char* function) {
    if (irp == nullptr || irp->Type != IO_TYPE_IRP || irp->IopTracking.Magic != kIrpMagic)
        IopViolation(VF_IO_INVALID_IRP, reinterpret_cast<ULONG_PTR>(irp), 0, 0,
                     std::string(function) + " was given an IRP that is freed or was never initialised");
}

void IopReleaseIrp(PIRP irp) {
    irp->IopTracking.Magic = kIrpFreedMagic;
    IoManager::Current().Quarantine(irp);
}

} // namespace nt

// IRQL: <= DISPATCH_LEVEL.
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (static_cast<UCHAR>(StackSize) == 0 || StackSize < 0)
        return nullptr;
    USHORT size = IoSizeOfIrp(StackSize);
    auto* irp = static_cast<PIRP>(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kIrpPoolTag));
    if (irp == nullptr)
        return nullptr;
    IoInitializeIrp(irp, size, StackSize);
    irp->AllocationFlags = kIrpAllocatedByIo;
    return irp;
}

// IRQL: <= DISPATCH_LEVEL.  The memory may come from the driver (its own pool).
VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    if (PacketSize < IoSizeOfIrp(StackSize))
        IopViolation(VF_IO_INVALID_IRP, reinterpret_cast<ULONG_PTR>(Irp), PacketSize, IoSizeOfIrp(StackSize),
                     "IoInitializeIrp: the packet is smaller than IoSizeOfIrp(StackSize)");
    std::memset(static_cast<void*>(Irp), 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CCHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = IopStackLocation(Irp, StackSize + 1);
    Irp->IopTracking.Magic = kIrpMagic;
    Irp->IopTracking.State = kIrpIdle;
    Irp->IopTracking.Origin = kOriginDriver;
}

// IRQL: <= DISPATCH_LEVEL.
VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    IopCheckIrp(Irp, "IoReuseIrp");
    if (Irp->IopTracking.State == kIrpDispatched)
        IopViolation(VF_IO_REUSE_OWNED_IRP, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                     "IoReuseIrp on an IRP that was sent with IoCallDriver and is not yet completed: "
                     "a lower driver still owns it");
    UCHAR allocationFlags = Irp->AllocationFlags;
    ULONG origin = Irp->IopTracking.Origin;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IopTracking.Origin = origin;
    Irp->IoStatus.Status = Iostatus;
}

// IRQL: <= DISPATCH_LEVEL.
VOID IoFreeIrp(PIRP Irp) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    IopCheckIrp(Irp, "IoFreeIrp");
    if (Irp->IopTracking.State == kIrpDispatched)
        IopViolation(VF_IO_FREE_OWNED_IRP, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                     "IoFreeIrp on an IRP that was sent with IoCallDriver and is not yet completed: "
                     "a lower driver still owns it");
    if (Irp->IopTracking.Origin == kOriginThread)
        IopViolation(VF_IO_FREE_THREAD_IRP, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                     "IoFreeIrp on an IRP built for a thread (IoBuildDeviceIoControlRequest): "
                     "complete it and the I/O manager frees it");
    if ((Irp->AllocationFlags & kIrpAllocatedByIo) == 0)
        IopViolation(VF_IO_INVALID_IRP, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                     "IoFreeIrp on an IRP that IoAllocateIrp did not allocate");
    IopReleaseIrp(Irp);
}

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
    // Checked first: a driver that filled a location past the array has overwritten the packet.
    if (Irp->CurrentLocation <= 1)
        VfBugCheck(NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                   "IoCallDriver on an IRP with no stack location left for the next driver");
    IopCheckIrp(Irp, "IoCallDriver");
    if (Irp->IopTracking.State == kIrpIdle) {
        Irp->IopTracking.State = kIrpDispatched;
        Irp->IopTracking.OwnerLocation = Irp->CurrentLocation;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;

    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    CCHAR location = Irp->CurrentLocation;
    IoManager& io = IoManager::Current();
    ULONGLONG id = io.BeginDispatch(Irp, DeviceObject);
    KIRQL before = KeGetCurrentIrql();
    NTSTATUS status = dispatch(DeviceObject, Irp);
    KIRQL after = KeGetCurrentIrql();
    if (after != before)
        IopViolation(VF_IO_IRQL_CHANGED_IN_DISPATCH, reinterpret_cast<ULONG_PTR>(Irp), before, after,
                     "a dispatch routine returned at another IRQL than it was called at");
    io.EndDispatch(Irp, location, id, status);
    return status;
}

// IRQL: <= DISPATCH_LEVEL.
VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
    if (Irp != nullptr && Irp->IopTracking.Magic == kIrpFreedMagic)
        VfBugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                   "IoCompleteRequest on an IRP that was already completed and freed");
    IopCheckIrp(Irp, "IoCompleteRequest");
    bool noHolder = Irp->CurrentLocation > Irp->StackCount + 1 ||
                    (Irp->CurrentLocation == Irp->StackCount + 1 && Irp->IopTracking.Origin == kOriginDriver);
    if (noHolder)
        VfBugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp),
                   static_cast<ULONG_PTR>(Irp->CurrentLocation), static_cast<ULONG_PTR>(Irp->StackCount), 0,
                   "IoCompleteRequest on an IRP that no driver holds: it was already completed");
    // IoCancelIrp on another processor exchanges the routine concurrently: read it atomically.
    const PDRIVER_CANCEL cancelRoutine = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST);
    if (cancelRoutine != nullptr)
        VfBugCheck(CANCEL_STATE_IN_COMPLETED_IRP, reinterpret_cast<ULONG_PTR>(Irp),
                   reinterpret_cast<ULONG_PTR>(cancelRoutine), 0, 0,
                   "IoCompleteRequest on an IRP that still has a cancel routine");
    if (Irp->IoStatus.Status == STATUS_PENDING)
        IopViolation(VF_IO_COMPLETE_WITH_PENDING, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                     "IoCompleteRequest with IoStatus.Status STATUS_PENDING");

    IoManager& io = IoManager::Current();
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        io.CompletionPassing(Irp, Irp->CurrentLocation);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;

        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                             (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        bool atTop = Irp->CurrentLocation > Irp->StackCount;
        if (invoke) {
            PDEVICE_OBJECT device = atTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            // Once completion is back at the location the packet was first sent from, its
            // allocator owns it again: the routine may reuse, resend or free it.
            if (Irp->CurrentLocation >= Irp->IopTracking.OwnerLocation)
                Irp->IopTracking.State = kIrpIdle;
            // After STATUS_MORE_PROCESSING_REQUIRED the packet is the routine's driver's; it may
            // already be on its way again, so nothing here touches it.
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (Irp->PendingReturned && !atTop) {
            IoMarkIrpPending(Irp);
        }
    }

    Irp->IopTracking.State = kIrpIdle;
    if (Irp->IopTracking.Origin != kOriginThread)
        IopViolation(VF_IO_DRIVER_IRP_COMPLETED_TO_TOP, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                     "an IRP allocated by a driver was completed past its allocator: its completion "
                     "routine must return STATUS_MORE_PROCESSING_REQUIRED");
    IopFinishThreadIrp(Irp);
}

// Any IRQL <= DISPATCH_LEVEL.
NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                  PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                  BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    UNREFERENCED_PARAMETER(DeviceObject);
    IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
    return STATUS_SUCCESS;
}
