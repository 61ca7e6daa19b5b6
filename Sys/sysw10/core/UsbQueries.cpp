// Questions to the bus: high speed (the bus interface) and port connection (the hub).
// IRQL: PASSIVE_LEVEL.
#include "UsbBus.h"
#include "UsbDevice.h"

namespace {

// Size asked for: room for the second version of the bus interface; version 1 is what is read.
const USHORT kBusInterfaceSize = 72;

// IRQL: <= DISPATCH_LEVEL (runs as the PDO completes the query).
NTSTATUS QueryInterfaceCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

VOID QueryHighSpeed(UsbDevice* Usb, PDEVICE_OBJECT PhysicalDeviceObject) {
    if (PhysicalDeviceObject == nullptr)
        return;
    PIRP irp = IoAllocateIrp(PhysicalDeviceObject->StackSize, FALSE);
    if (irp == nullptr)
        return;
    union {
        USB_BUS_INTERFACE_USBDI_V1 V1;
        UCHAR Room[kBusInterfaceSize];
    } bus;
    RtlZeroMemory(&bus, sizeof(bus));
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED; // as every PnP request starts
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = kBusInterfaceSize;
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bus);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    IoSetCompletionRoutine(irp, QueryInterfaceCompletion, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(PhysicalDeviceObject, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status; // the completion routine kept the IRP: its status is final
    if (NT_SUCCESS(status) && bus.V1.IsDeviceHighSpeed != nullptr) {
        Usb->HighSpeed = bus.V1.IsDeviceHighSpeed(bus.V1.BusContext) ? 1 : 0;
        if (bus.V1.InterfaceDereference != nullptr)
            bus.V1.InterfaceDereference(bus.V1.BusContext);
    }
    IoFreeIrp(irp);
}

ULONG QueryPortConnected(UsbDevice* Usb) {
    ULONG portStatus = 0;
    NTSTATUS status =
        SendInternalIoctlSync(Usb->TargetDevice, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, nullptr);
    if (!NT_SUCCESS(status))
        return 0;
    return portStatus & USBD_PORT_CONNECTED;
}

VOID NotifySettingsChanged(UsbDevice* Usb, ULONG Reason) {
    // The ASIO client's reset event arrives with IOCTL_ASIO_SET_EVENTS; none can be registered yet.
    UNREFERENCED_PARAMETER(Usb);
    UNREFERENCED_PARAMETER(Reason);
}
