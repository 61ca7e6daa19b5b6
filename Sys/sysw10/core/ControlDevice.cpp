#include "ControlDevice.h"

#include <VexNames.h>

#include "DeviceContext.h"

BOOLEAN CreateControlDevice(DeviceContext* Context) {
    ControlDeviceRecord& control = Context->Control;
    for (LONG number = 1; number <= VEX_MAX_INSTRUMENTS; ++number) {
        if (!NT_SUCCESS(RtlStringCbPrintfW(control.DeviceNameBuffer, sizeof(control.DeviceNameBuffer),
                                           VEX_DEVICE_NAME_FORMAT, VEX_BASE_NAME_W, number)) ||
            !NT_SUCCESS(RtlStringCbPrintfW(control.LinkNameBuffer, sizeof(control.LinkNameBuffer),
                                           VEX_LINK_NAME_FORMAT, VEX_BASE_NAME_W, number)))
            return FALSE;
        RtlInitUnicodeString(&control.DeviceName, control.DeviceNameBuffer);
        RtlInitUnicodeString(&control.LinkName, control.LinkNameBuffer);
        PDEVICE_OBJECT device = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(Context->DriverObject, CONTROL_EXTENSION_SIZE, &control.DeviceName,
                                       FILE_DEVICE_UNKNOWN, 0, FALSE, &device)))
            continue;
        DeviceExtensionPart* part = ExtensionPart(device);
        new (part->RoleStorage) ControlRoleTag();
        part->Context = Context;
        device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        control.Device = device;
        Context->DeviceIndex = static_cast<USHORT>(number - 1);
        Context->Usb.DeviceIndex = static_cast<ULONG>(number - 1);
        return TRUE;
    }
    return FALSE;
}

NTSTATUS CreateControlLink(DeviceContext* Context) {
    NTSTATUS status =
        IoCreateUnprotectedSymbolicLink(&Context->Control.LinkName, &Context->Control.DeviceName);
    Context->Control.LinkCreated = NT_SUCCESS(status);
    return status;
}

VOID DeleteControlDevice(DeviceContext* Context) {
    ControlDeviceRecord& control = Context->Control;
    if (control.Device == nullptr)
        return;
    if (control.LinkCreated) {
        IoDeleteSymbolicLink(&control.LinkName);
        control.LinkCreated = FALSE;
    }
    // A request still on its way through an old handle then finds no DeviceContext.
    ExtensionPart(control.Device)->Context = nullptr;
    IoDeleteDevice(control.Device);
    control.Device = nullptr;
}
