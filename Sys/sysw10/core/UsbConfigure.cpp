// Configuration of the instrument: descriptors, select configuration, interface selections and
// the four pipe bindings.  IRQL: PASSIVE_LEVEL throughout (synchronous USB requests).
#include "Settings.h"
#include "UsbBus.h"
#include "UsbDevice.h"

namespace {

const ULONG kDescriptorUrbSize = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST); // 136
const ULONG kFirstConfigurationRead = 136;

PVOID AllocateZeroed(SIZE_T Bytes) {
    PVOID p = ExAllocatePool(NonPagedPoolNx, Bytes);
    if (p != nullptr)
        RtlZeroMemory(p, Bytes);
    return p;
}

// A descriptor request succeeded only when the request and the URB both did.
NTSTATUS GetDescriptor(PDEVICE_OBJECT Target, PURB Urb, UCHAR Type, PVOID Buffer, ULONG Length,
                       ULONG* Returned) {
    RtlZeroMemory(Urb, kDescriptorUrbSize);
    UsbBuildGetDescriptorRequest(Urb, static_cast<USHORT>(kDescriptorUrbSize), Type, 0, 0, Buffer, nullptr,
                                 Length, nullptr);
    NTSTATUS status = SubmitUrbSync(Target, Urb);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(Urb->UrbHeader.Status))
        status = STATUS_UNSUCCESSFUL;
    *Returned = Urb->UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

// Reads the whole configuration descriptor into Usb->ConfigurationDescriptor.
BOOLEAN ReadConfigurationDescriptor(UsbDevice* Usb) {
    auto* urb = static_cast<PURB>(AllocateZeroed(kDescriptorUrbSize));
    auto* head = static_cast<PUCHAR>(AllocateZeroed(kFirstConfigurationRead));
    BOOLEAN ok = FALSE;
    ULONG returned = 0;
    if (urb != nullptr && head != nullptr &&
        NT_SUCCESS(GetDescriptor(Usb->TargetDevice, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, head,
                                 kFirstConfigurationRead, &returned)) &&
        returned >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        // A total shorter than the descriptor itself cannot be parsed and is refused.
        ULONG total = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(head)->wTotalLength;
        auto* whole = total >= sizeof(USB_CONFIGURATION_DESCRIPTOR)
                          ? static_cast<PUCHAR>(AllocateZeroed(total))
                          : nullptr;
        if (whole != nullptr) {
            if (NT_SUCCESS(GetDescriptor(Usb->TargetDevice, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, whole,
                                         total, &returned))) {
                Usb->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(whole);
                Usb->ConfigurationDescriptorLength = total;
                ok = TRUE;
            } else {
                ExFreePool(whole);
            }
        }
    }
    if (head != nullptr)
        ExFreePool(head);
    if (urb != nullptr)
        ExFreePool(urb);
    return ok;
}

BOOLEAN BindPipeFromSelection(PipeBinding* Binding) {
    InterfaceSelection* selection = Binding->Usb->Selections[Binding->InterfaceNumber];
    if (selection == nullptr)
        return FALSE;
    if (Binding->PipeIndex >= selection->NumberOfPipes) {
        Binding->PipeHandle = nullptr;
        Binding->MaximumPacketSize = 0;
        return !Binding->PipeRequired;
    }
    Binding->PipeHandle = selection->Pipes[Binding->PipeIndex].PipeHandle;
    Binding->MaximumPacketSize = selection->Pipes[Binding->PipeIndex].MaximumPacketSize;
    return TRUE;
}

VOID InitializeBinding(PipeBinding* Binding, UsbDevice* Usb, UCHAR Interface, UCHAR PipeIndex,
                       BOOLEAN Required) {
    Binding->BindPipe = BindPipeFromSelection;
    Binding->PipeHandle = nullptr;
    Binding->MaximumPacketSize = 0;
    Binding->Usb = Usb;
    Binding->InterfaceNumber = Interface;
    Binding->PipeIndex = PipeIndex;
    Binding->PipeRequired = Required;
}

VOID FreeSelection(UsbDevice* Usb, ULONG Interface) {
    if (Usb->Selections[Interface] != nullptr) {
        ExFreePool(Usb->Selections[Interface]);
        Usb->Selections[Interface] = nullptr;
    }
}

} // namespace

BOOLEAN ConfigureUsbDevice(UsbDevice* Usb) {
    auto* urb = static_cast<PURB>(AllocateZeroed(kDescriptorUrbSize));
    auto* device = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateZeroed(sizeof(USB_DEVICE_DESCRIPTOR)));
    if (urb == nullptr || device == nullptr) {
        if (urb != nullptr)
            ExFreePool(urb);
        if (device != nullptr)
            ExFreePool(device);
        return FALSE;
    }
    ULONG returned = 0;
    NTSTATUS status = GetDescriptor(Usb->TargetDevice, urb, USB_DEVICE_DESCRIPTOR_TYPE, device,
                                    sizeof(USB_DEVICE_DESCRIPTOR), &returned);
    ExFreePool(urb);
    if (!NT_SUCCESS(status)) {
        ExFreePool(device);
        return FALSE;
    }
    Usb->DeviceDescriptor = device;
    if (!ReadConfigurationDescriptor(Usb))
        return FALSE;

    USHORT size = 0;
    PURB select = USBD_CreateConfigurationRequest(Usb->ConfigurationDescriptor, &size);
    if (select == nullptr)
        return FALSE;
    select->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    select->UrbHeader.Length = size;
    status = SubmitUrbSync(Usb->TargetDevice, select);
    if (!NT_SUCCESS(status) || !USBD_SUCCESS(select->UrbHeader.Status)) {
        ExFreePool(select);
        return FALSE; // the descriptors stay until DeconfigureUsbDevice
    }
    Usb->ConfigurationHandle = select->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(select);
    Usb->CurrentConfiguration = Usb->ConfigurationDescriptor;
    Usb->CurrentConfigurationLength = Usb->ConfigurationDescriptorLength;
    return TRUE;
}

VOID DeconfigureUsbDevice(UsbDevice* Usb) {
    if (Usb->ConfigurationDescriptor != nullptr) {
        USHORT size = 0;
        PURB select = USBD_CreateConfigurationRequest(Usb->ConfigurationDescriptor, &size);
        if (select != nullptr) {
            select->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
            select->UrbHeader.Length = size;
            select->UrbSelectConfiguration.ConfigurationDescriptor = nullptr; // unconfigured
            if (Usb->TargetDevice != nullptr)
                (void)SubmitUrbSync(Usb->TargetDevice, select);
            ExFreePool(select);
        }
        Usb->CurrentConfiguration = nullptr;
        Usb->CurrentConfigurationLength = 0;
    }
    // Every slot, not only those below bNumInterfaces: a descriptor that under-counts its
    // interfaces must not leave a selection behind.
    for (ULONG i = 0; i < USB_MAX_SELECTIONS; ++i)
        FreeSelection(Usb, i);
    if (Usb->DeviceDescriptor != nullptr) {
        ExFreePool(Usb->DeviceDescriptor);
        Usb->DeviceDescriptor = nullptr;
    }
    if (Usb->ConfigurationDescriptor != nullptr) {
        ExFreePool(Usb->ConfigurationDescriptor);
        Usb->ConfigurationDescriptor = nullptr;
        Usb->ConfigurationDescriptorLength = 0;
    }
    Usb->ConfigurationHandle = nullptr;
}

BOOLEAN SelectAlternateSetting(UsbDevice* Usb, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    // The selection table has 8 entries: higher interface numbers are never selected or stored.
    if (InterfaceNumber >= USB_MAX_SELECTIONS || Usb->ConfigurationDescriptor == nullptr)
        return FALSE;
    PUSB_INTERFACE_DESCRIPTOR d =
        USBD_ParseConfigurationDescriptor(Usb->ConfigurationDescriptor, InterfaceNumber, AlternateSetting);
    if (d == nullptr)
        return FALSE;
    const ULONG endpoints = d->bNumEndpoints;
    const ULONG urbSize = 48 * endpoints + 208;
    auto* urb = static_cast<PURB>(AllocateZeroed(urbSize));
    if (urb == nullptr)
        return FALSE;
    UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(urbSize), Usb->ConfigurationHandle,
                                   InterfaceNumber, AlternateSetting);
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectInterface.Interface;
    for (ULONG p = 0; p < endpoints; ++p) {
        info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        info->Pipes[p].PipeFlags = 0;
    }
    NTSTATUS status = SubmitUrbSync(Usb->TargetDevice, urb);
    if (!NT_SUCCESS(status) || !USBD_SUCCESS(urb->UrbHeader.Status)) {
        ExFreePool(urb); // the previous selection stays
        return FALSE;
    }
    FreeSelection(Usb, InterfaceNumber);
    const ULONG copySize = 24 * endpoints + 40;
    auto* selection = static_cast<InterfaceSelection*>(AllocateZeroed(copySize));
    if (selection != nullptr) {
        RtlCopyMemory(selection, info, copySize);
        // The copy holds `endpoints` pipe records; a larger count would send readers past it.
        if (selection->NumberOfPipes > endpoints)
            selection->NumberOfPipes = endpoints;
        Usb->Selections[InterfaceNumber] = selection;
    }
    ExFreePool(urb);
    return selection != nullptr;
}

BOOLEAN ProbeInterfaces(UsbDevice* Usb) {
    Usb->SampleRate = 44100;
    Usb->CapturePresent = 1;
    Usb->PlaybackPresent = 1;
    Usb->StreamingAltSetting = 1;
    Usb->IdleAltSetting = 0;
    AltSettingInfo out = {};
    AltSettingInfo in = {};
    FindAltSettingInfo(Usb->ConfigurationDescriptor, Usb->ConfigurationDescriptorLength, AudioOutInterface, 1,
                       &out);
    FindAltSettingInfo(Usb->ConfigurationDescriptor, Usb->ConfigurationDescriptorLength, AudioInInterface, 1,
                       &in);
    Usb->OutputPacketSize = out.PacketSize;
    Usb->InputPacketSize = in.PacketSize;
    Usb->MidiAltSetting = Usb->Settings->ActiveSettings.MidiInLite != 0 ? 1 : 0;
    return SelectAlternateSetting(Usb, MidiInterface, static_cast<UCHAR>(Usb->MidiAltSetting));
}

VOID InitializePipeBindings(UsbDevice* Usb) {
    InitializeBinding(&Usb->MidiOut, Usb, MidiInterface, 0, TRUE);
    InitializeBinding(&Usb->MidiIn, Usb, MidiInterface, 1, TRUE);
    InitializeBinding(&Usb->AudioOut, Usb, AudioOutInterface, 0, FALSE);
    InitializeBinding(&Usb->AudioIn, Usb, AudioInInterface, 0, FALSE);
}

BOOLEAN BindPipeAtStart(PipeBinding* Binding, UsbDevice* Usb, UCHAR FirstAltSetting) {
    if (Usb->Selections[Binding->InterfaceNumber] == nullptr &&
        (!SelectAlternateSetting(Usb, Binding->InterfaceNumber, FirstAltSetting) ||
         Usb->Selections[Binding->InterfaceNumber] == nullptr))
        return FALSE;
    Binding->Usb = Usb;
    return Binding->BindPipe(Binding);
}
