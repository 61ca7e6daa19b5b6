// The power manager's driver-facing services: device power IRPs requested by a stack's power
// policy owner, passing power IRPs down, and each device's recorded power state.
//
// A requested IRP carries one stack location more than the stack needs; the power manager keeps
// that top location for itself (the caller's callback, its context and the target PDO) and sets
// its own completion routine below it, so the packet needs no separate allocation.
#include <wdm.h>

#include "pnp/power_state.h"
#include "vf/verifier.h"

#include <map>
#include <mutex>

namespace {

// Completion of a requested power IRP: runs the requester's callback with the final status
// block, then frees the packet.  Runs at the IRQL of the completing driver.
NTSTATUS PopRequestCompleted(PDEVICE_OBJECT, PIRP Irp, PVOID) {
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(Irp);
    auto callback = reinterpret_cast<PREQUEST_POWER_COMPLETE>(own->Parameters.Others.Argument1);
    PVOID context = own->Parameters.Others.Argument2;
    auto pdo = static_cast<PDEVICE_OBJECT>(own->Parameters.Others.Argument3);
    POWER_STATE state;
    state.DeviceState =
        static_cast<DEVICE_POWER_STATE>(reinterpret_cast<ULONG_PTR>(own->Parameters.Others.Argument4));
    IO_STATUS_BLOCK iosb = Irp->IoStatus;
    UCHAR minor = own->MinorFunction;
    if (callback != nullptr)
        callback(pdo, minor, state, context, &iosb);
    IoFreeIrp(Irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::mutex gStateLock;
std::map<PDEVICE_OBJECT, nt::PopDeviceStates> gStates; // guarded by gStateLock

} // namespace

namespace nt {

PopDeviceStates PopGetPowerStates(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(gStateLock);
    auto it = gStates.find(device);
    return it == gStates.end() ? PopDeviceStates{} : it->second;
}

void PopForgetDevice(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(gStateLock);
    gStates.erase(device);
}

} // namespace nt

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    nt::KiAssertIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    if (Irp != nullptr)
        *Irp = nullptr;
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (MinorFunction != IRP_MN_WAIT_WAKE &&
        (PowerState.DeviceState <= PowerDeviceUnspecified || PowerState.DeviceState >= PowerDeviceMaximum))
        return STATUS_INVALID_PARAMETER_2;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 1), FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
    own->MajorFunction = IRP_MJ_POWER;
    own->MinorFunction = MinorFunction;
    own->DeviceObject = DeviceObject;
    own->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(CompletionFunction);
    own->Parameters.Others.Argument2 = Context;
    own->Parameters.Others.Argument3 = DeviceObject;
    own->Parameters.Others.Argument4 =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(PowerState.DeviceState));

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = PowerState;
        next->Parameters.Power.ShutdownType = PowerActionNone;
    }
    // Power IRPs start out unhandled; a driver that handles one sets the status.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    IoSetCompletionRoutine(irp, PopRequestCompleted, nullptr, TRUE, TRUE, TRUE);
    if (Irp != nullptr)
        *Irp = irp;
    IoCallDriver(top, irp);
    ObDereferenceObject(top);
    return STATUS_PENDING;
}

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IoCallDriver(DeviceObject, Irp);
}

// IRQL: <= DISPATCH_LEVEL.
VOID PoStartNextPowerIrp(PIRP) {}

// IRQL: <= DISPATCH_LEVEL.
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    nt::KiAssertIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
    std::lock_guard<std::mutex> guard(gStateLock);
    nt::PopDeviceStates& states = gStates[DeviceObject];
    POWER_STATE previous;
    if (Type == SystemPowerState) {
        previous.SystemState = states.System;
        states.System = State.SystemState;
    } else {
        previous.DeviceState = states.Device;
        states.Device = State.DeviceState;
    }
    return previous;
}
