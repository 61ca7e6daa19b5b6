// Power requests on an adapter device.  Port-class is the power policy owner of the adapter's
// stack: it turns system power requests into device power requests (S0 -> D0, S1..S5 -> D3)
// and tells the adapter through IAdapterPowerManagement.  PASSIVE_LEVEL (the adapter device is
// DO_POWER_PAGABLE); the power manager sends one power request at a time per device.
#include "adapter_state.h"

#include "vf/verifier.h"

namespace pc {
namespace {

struct DeviceIrpWait {
    KEVENT Done;
    NTSTATUS Status;
};

VOID DeviceIrpCompleted(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    auto* wait = static_cast<DeviceIrpWait*>(Context);
    wait->Status = IoStatus->Status;
    KeSetEvent(&wait->Done, IO_NO_INCREMENT, FALSE);
}

// Requests a device power IRP for the stack and waits until it has gone through.
NTSTATUS RequestDevicePower(AdapterState* state, UCHAR minor, DEVICE_POWER_STATE target) {
    DeviceIrpWait wait;
    KeInitializeEvent(&wait.Done, NotificationEvent, FALSE);
    wait.Status = STATUS_UNSUCCESSFUL;
    POWER_STATE ps;
    ps.DeviceState = target;
    NTSTATUS status = PoRequestPowerIrp(state->PhysicalDevice, minor, ps, DeviceIrpCompleted, &wait, nullptr);
    if (status != STATUS_PENDING)
        return status;
    KeWaitForSingleObject(&wait.Done, Executive, KernelMode, FALSE, nullptr);
    return wait.Status;
}

DEVICE_POWER_STATE DeviceStateFor(SYSTEM_POWER_STATE system) {
    return system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

void RecordDevicePower(AdapterState* state, DEVICE_POWER_STATE target) {
    state->DevicePower = target;
    POWER_STATE ps;
    ps.DeviceState = target;
    PoSetPowerState(state->Self, DevicePowerState, ps);
}

NTSTATUS SetDevicePower(AdapterState* state, PIRP irp, DEVICE_POWER_STATE target) {
    if (target <= PowerDeviceUnspecified || target >= PowerDeviceMaximum)
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    if (target == PowerDeviceD0) {
        // Powering up: the lower drivers first, then the adapter.
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = ForwardAndWait(state, irp);
        if (NT_SUCCESS(status) && state->DevicePower != PowerDeviceD0) {
            RecordDevicePower(state, PowerDeviceD0);
            if (state->PowerManagement != nullptr) {
                POWER_STATE ps;
                ps.DeviceState = PowerDeviceD0;
                state->PowerManagement->PowerChangeState(ps);
            }
        }
        PoStartNextPowerIrp(irp);
        return CompleteIrp(irp, status);
    }
    // Powering down: the adapter first, while the lower drivers still work.
    if (state->DevicePower != target) {
        if (state->PowerManagement != nullptr) {
            POWER_STATE ps;
            ps.DeviceState = target;
            state->PowerManagement->PowerChangeState(ps);
        }
        RecordDevicePower(state, target);
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(state->LowerDevice, irp);
}

NTSTATUS SetSystemPower(AdapterState* state, PIRP irp, SYSTEM_POWER_STATE target) {
    DEVICE_POWER_STATE device = DeviceStateFor(target);
    state->SystemPower = target;
    POWER_STATE ps;
    ps.SystemState = target;
    PoSetPowerState(state->Self, SystemPowerState, ps);
    bool canPower = state->State == PnpState::Started || state->State == PnpState::RemovePending;
    if (device == PowerDeviceD0) {
        // Waking: the system request goes down first, then the device follows it to D0.
        irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS status = ForwardAndWait(state, irp);
        if (NT_SUCCESS(status) && canPower && state->DevicePower != PowerDeviceD0)
            RequestDevicePower(state, IRP_MN_SET_POWER, PowerDeviceD0);
        PoStartNextPowerIrp(irp);
        return CompleteIrp(irp, status);
    }
    // Sleeping: the device goes to D3 before the system request travels on.
    if (canPower && state->DevicePower != device)
        RequestDevicePower(state, IRP_MN_SET_POWER, device);
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(state->LowerDevice, irp);
}

NTSTATUS QueryPower(AdapterState* state, PIRP irp, DEVICE_POWER_STATE target) {
    if (state->PowerManagement != nullptr) {
        POWER_STATE ps;
        ps.DeviceState = target;
        NTSTATUS status = state->PowerManagement->QueryPowerChangeState(ps);
        if (!NT_SUCCESS(status)) {
            PoStartNextPowerIrp(irp);
            return CompleteIrp(irp, status);
        }
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(state->LowerDevice, irp);
}

} // namespace

NTSTATUS DispatchPower(AdapterState* state, PIRP irp) {
    nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "PcDispatchIrp (IRP_MJ_POWER)");
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool system = stack->Parameters.Power.Type == SystemPowerState;
    if (state->State == PnpState::Removed || state->State == PnpState::SurpriseRemoved) {
        // Nothing to power any more; the bus driver answers for the hardware.
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(state->LowerDevice, irp);
    }
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        return system ? SetSystemPower(state, irp, stack->Parameters.Power.State.SystemState)
                      : SetDevicePower(state, irp, stack->Parameters.Power.State.DeviceState);
    case IRP_MN_QUERY_POWER:
        return QueryPower(state, irp,
                          system ? DeviceStateFor(stack->Parameters.Power.State.SystemState)
                                 : stack->Parameters.Power.State.DeviceState);
    default:
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(state->LowerDevice, irp);
    }
}

} // namespace pc
