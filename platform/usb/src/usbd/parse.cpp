// Descriptor parsing of the USB driver library.  Pure functions: any IRQL, no allocation, and
// safe on malformed input (a descriptor is only looked at when all of its bLength bytes lie in
// the buffer; a zero bLength ends the walk instead of looping forever).
#include <usbdlib.h>

extern "C" PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                              PVOID StartPosition, LONG DescriptorType) {
    auto* const begin = static_cast<PUCHAR>(DescriptorBuffer);
    auto* const end = begin + TotalLength;
    auto* p = static_cast<PUCHAR>(StartPosition);
    if (p < begin)
        return nullptr;
    while (end - p >= static_cast<ptrdiff_t>(sizeof(USB_COMMON_DESCRIPTOR))) {
        auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (d->bLength == 0 || d->bLength > end - p)
            return nullptr;
        if (d->bDescriptorType == DescriptorType)
            return d;
        p += d->bLength;
    }
    return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr)
        return nullptr;
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    auto* const end = reinterpret_cast<PUCHAR>(ConfigurationDescriptor) + total;
    PVOID pos = StartPosition ? StartPosition : ConfigurationDescriptor;
    for (;;) {
        auto* d = USBD_ParseDescriptors(ConfigurationDescriptor, total, pos, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (d == nullptr)
            return nullptr;
        auto* next = reinterpret_cast<PUCHAR>(d) + d->bLength;
        if (d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto* i = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
            if ((InterfaceNumber == -1 || i->bInterfaceNumber == InterfaceNumber) &&
                (AlternateSetting == -1 || i->bAlternateSetting == AlternateSetting) &&
                (InterfaceClass == -1 || i->bInterfaceClass == InterfaceClass) &&
                (InterfaceSubClass == -1 || i->bInterfaceSubClass == InterfaceSubClass) &&
                (InterfaceProtocol == -1 || i->bInterfaceProtocol == InterfaceProtocol))
                return i;
        }
        if (next >= end)
            return nullptr;
        pos = next;
    }
}

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                               InterfaceNumber, AlternateSetting, -1, -1, -1);
}
