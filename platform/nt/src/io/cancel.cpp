// Cancellation: the cancel spin lock and IoCancelIrp.
//
// IoCancelIrp sets Irp->Cancel and takes the cancel routine by interlocked exchange under the
// cancel spin lock; the routine runs with the lock held and must release it with
// IoReleaseCancelSpinLock(Irp->CancelIrql).  A driver that completes the packet first clears the
// routine with IoSetCancelRoutine(Irp, NULL), so exactly one of the two owns the completion.
#include "io/iop.h"
#include "vf/verifier.h"

using namespace nt;

// IRQL: <= DISPATCH_LEVEL; returns at DISPATCH_LEVEL holding the lock.
VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    KeAcquireSpinLock(nt::IoManager::Current().CancelSpinLock(), Irql);
}

// IRQL: DISPATCH_LEVEL, holding the lock.
VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(nt::IoManager::Current().CancelSpinLock(), Irql);
}

// IRQL: <= DISPATCH_LEVEL.
BOOLEAN IoCancelIrp(PIRP Irp) {
    KiAssertIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    nt::IopCheckIrp(Irp, "IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    routine(device, Irp);
    return TRUE;
}
