#include "select_request.h"

namespace usbd {

ULONG SelectConfigurationRequestSize(PUSBD_INTERFACE_LIST_ENTRY list) {
    ULONG interfaces = 0;
    ULONG pipes = 0;
    for (auto* e = list; e != nullptr && e->InterfaceDescriptor != nullptr; ++e) {
        ++interfaces;
        pipes += e->InterfaceDescriptor->bNumEndpoints;
    }
    if (interfaces == 0)
        return 0;
    const size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, pipes);
    return size > 0xFFFF ? 0 : static_cast<ULONG>(size);
}

void FillSelectConfigurationRequest(PURB urb, ULONG size, PUSB_CONFIGURATION_DESCRIPTOR config,
                                    PUSBD_INTERFACE_LIST_ENTRY list) {
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), config);
    auto* record = &urb->UrbSelectConfiguration.Interface;
    for (auto* e = list; e->InterfaceDescriptor != nullptr; ++e) {
        const auto* d = e->InterfaceDescriptor;
        record->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        record->InterfaceNumber = d->bInterfaceNumber;
        record->AlternateSetting = d->bAlternateSetting;
        record->NumberOfPipes = d->bNumEndpoints;
        for (ULONG p = 0; p < d->bNumEndpoints; ++p) {
            record->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            record->Pipes[p].PipeFlags = 0;
        }
        e->Interface = record;
        record =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(record) + record->Length);
    }
}

ULONG DefaultInterfaceList(PUSB_CONFIGURATION_DESCRIPTOR config, PUSBD_INTERFACE_LIST_ENTRY out,
                           ULONG capacity) {
    ULONG n = 0;
    const ULONG limit = config->bNumInterfaces < capacity ? config->bNumInterfaces : capacity;
    PVOID pos = config;
    while (n < limit) {
        auto* d = USBD_ParseConfigurationDescriptorEx(config, pos, -1, -1, -1, -1, -1);
        if (d == nullptr)
            break;
        bool seen = false;
        for (ULONG i = 0; i < n; ++i)
            seen = seen || out[i].InterfaceDescriptor->bInterfaceNumber == d->bInterfaceNumber;
        if (!seen)
            out[n++] = {d, nullptr};
        pos = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    out[n] = {nullptr, nullptr};
    return n;
}

} // namespace usbd
