#include "UsbBus.h"

// IRQL: PASSIVE_LEVEL (IoBuildDeviceIoControlRequest and the wait).
NTSTATUS SendInternalIoctlSync(PDEVICE_OBJECT Target, ULONG IoControlCode, PVOID Argument1, PVOID Argument2) {
    if (Target == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    PIRP irp =
        IoBuildDeviceIoControlRequest(IoControlCode, Target, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.Others.Argument1 = Argument1;
    // Written only when used: the argument slots share the stack location's parameter area.
    if (Argument2 != nullptr)
        next->Parameters.Others.Argument2 = Argument2;
    NTSTATUS status = IoCallDriver(Target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT Target, PURB Urb) {
    return SendInternalIoctlSync(Target, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, nullptr);
}

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT Target, PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE Completion,
                        PVOID Context) {
    IoReuseIrp(Irp, STATUS_SUCCESS);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, Completion, Context, TRUE, TRUE, TRUE);
    return IoCallDriver(Target, Irp);
}
