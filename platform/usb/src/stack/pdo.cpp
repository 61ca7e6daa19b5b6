// Dispatch routines of the USB bus driver's PDOs: internal device control, plug-and-play and power.
#include <algorithm>

#include "stack.h"
#include "vf/verifier.h"

namespace usbport {
namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Bus interface functions: IRQL <= DISPATCH_LEVEL.
VOID InterfaceReference(PVOID context) {
    InterlockedIncrement(&static_cast<DeviceState*>(context)->interfaceReferences);
}
VOID InterfaceDereference(PVOID context) {
    InterlockedDecrement(&static_cast<DeviceState*>(context)->interfaceReferences);
}
VOID GetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION version, PULONG capabilities) {
    if (version != nullptr) {
        version->USBDI_Version = 0x600;
        version->Supported_USB_Version = 0x200;
    }
    if (capabilities != nullptr)
        *capabilities = 0;
}
NTSTATUS QueryBusTime(PVOID context, PULONG frame) {
    *frame = static_cast<DeviceState*>(context)->controller->CurrentFrame();
    return STATUS_SUCCESS;
}
NTSTATUS SubmitIsoOutUrb(PVOID, PURB) {
    return STATUS_NOT_SUPPORTED;
}
NTSTATUS QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) {
    return STATUS_NOT_SUPPORTED;
}
BOOLEAN IsDeviceHighSpeed(PVOID context) {
    return static_cast<DeviceState*>(context)->speed == usb::Speed::High ? TRUE : FALSE;
}

} // namespace

void FillBusInterface(DeviceState& dev, PUSB_BUS_INTERFACE_USBDI_V1 bi, USHORT version) {
    bi->Size = version == USB_BUSIF_USBDI_VERSION_0 ? sizeof(USB_BUS_INTERFACE_USBDI_V0)
                                                    : sizeof(USB_BUS_INTERFACE_USBDI_V1);
    bi->Version = version;
    bi->BusContext = &dev;
    bi->InterfaceReference = &InterfaceReference;
    bi->InterfaceDereference = &InterfaceDereference;
    bi->GetUSBDIVersion = &GetUsbdiVersion;
    bi->QueryBusTime = &QueryBusTime;
    bi->SubmitIsoOutUrb = &SubmitIsoOutUrb;
    bi->QueryBusInformation = &QueryBusInformation;
    if (version >= USB_BUSIF_USBDI_VERSION_1)
        bi->IsDeviceHighSpeed = &IsDeviceHighSpeed;
    InterfaceReference(&dev); // the caller holds a reference until InterfaceDereference
}

// IRQL <= DISPATCH_LEVEL (URB submission); PASSIVE_LEVEL for the port and name requests.
NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT pdo, PIRP irp) {
    DeviceState& dev = *StateOf(pdo);
    auto* sl = IoGetCurrentIrpStackLocation(irp);
    switch (sl->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        return SubmitUrb(dev, irp, static_cast<PURB>(sl->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "IOCTL_INTERNAL_USB_GET_PORT_STATUS");
        auto* status = static_cast<PULONG>(sl->Parameters.Others.Argument1);
        if (status == nullptr)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        *status = dev.gone ? 0 : USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME: {
        nt::KiAssertIrqlAtMost(PASSIVE_LEVEL, "IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME");
        auto* name = static_cast<PUSB_HUB_NAME>(sl->Parameters.Others.Argument1);
        const ULONG length = ULONG(reinterpret_cast<ULONG_PTR>(sl->Parameters.Others.Argument2));
        if (name == nullptr || length < sizeof(ULONG))
            return Complete(irp, STATUS_BUFFER_TOO_SMALL);
        const std::u16string& text = dev.controller->Name();
        const ULONG bytes = ULONG(text.size() * sizeof(WCHAR));
        name->ActualLength = bytes;
        std::memcpy(name->HubName, text.data(), std::min<ULONG>(bytes, length - sizeof(ULONG)) & ~1u);
        return Complete(irp, STATUS_SUCCESS);
    }
    default:
        return Complete(irp, STATUS_NOT_SUPPORTED);
    }
}

// PASSIVE_LEVEL.
NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
    DeviceState& dev = *StateOf(pdo);
    auto* sl = IoGetCurrentIrpStackLocation(irp);
    if (sl->MinorFunction == IRP_MN_QUERY_INTERFACE &&
        sl->Parameters.QueryInterface.InterfaceType != nullptr &&
        *sl->Parameters.QueryInterface.InterfaceType == USB_BUS_INTERFACE_USBDI_GUID) {
        const USHORT version = sl->Parameters.QueryInterface.Version;
        const USHORT size = sl->Parameters.QueryInterface.Size;
        auto* bi = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(sl->Parameters.QueryInterface.Interface);
        if (version > USB_BUSIF_USBDI_VERSION_1)
            return Complete(irp, STATUS_NOT_SUPPORTED);
        const USHORT needed = version == USB_BUSIF_USBDI_VERSION_0 ? sizeof(USB_BUS_INTERFACE_USBDI_V0)
                                                                   : sizeof(USB_BUS_INTERFACE_USBDI_V1);
        if (bi == nullptr || size < needed)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        if (dev.gone)
            return Complete(irp, STATUS_NO_SUCH_DEVICE);
        FillBusInterface(dev, bi, version);
        return Complete(irp, STATUS_SUCCESS);
    }
    switch (sl->MinorFunction) {
    // As the bus driver, the PDO owns these requests and answers them; a function driver sends
    // them down expecting success (start, removal, the removal queries).
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
        auto* caps = sl->Parameters.DeviceCapabilities.Capabilities;
        if (caps != nullptr) {
            caps->Removable = TRUE;
            caps->SurpriseRemovalOK = TRUE;
        }
        return Complete(irp, STATUS_SUCCESS);
    }
    default: {
        // Requests a PDO does not handle keep the status they came with.
        const NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

// PASSIVE_LEVEL.  The instrument follows every system and device power state it is given.
NTSTATUS DispatchPower(PDEVICE_OBJECT, PIRP irp) {
    auto* sl = IoGetCurrentIrpStackLocation(irp);
    if (sl->MinorFunction == IRP_MN_SET_POWER || sl->MinorFunction == IRP_MN_QUERY_POWER) {
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace usbport
