// The two allocating helpers of the USB driver library.  They run in the calling driver's module
// (the library is linked into it), so the pool charges the request to that driver and an
// unfreed request shows up in its ledger at unload.
#include <wdm.h>

#include "select_request.h"

namespace {
constexpr ULONG kUsbdTag = 0x44425355; // "USBD" read as a little-endian ULONG
} // namespace

// IRQL <= DISPATCH_LEVEL (non-paged pool).
extern "C" PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                        PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    const ULONG size = usbd::SelectConfigurationRequestSize(InterfaceList);
    if (size == 0)
        return nullptr;
    auto* urb = static_cast<PURB>(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kUsbdTag));
    if (urb == nullptr)
        return nullptr;
    usbd::FillSelectConfigurationRequest(urb, size, ConfigurationDescriptor, InterfaceList);
    return urb;
}

// IRQL <= DISPATCH_LEVEL (non-paged pool).
extern "C" PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                      PUSHORT Siz) {
    *Siz = 0;
    if (ConfigurationDescriptor == nullptr)
        return nullptr;
    USBD_INTERFACE_LIST_ENTRY list[33];
    usbd::DefaultInterfaceList(ConfigurationDescriptor, list, 32);
    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
    if (urb != nullptr)
        *Siz = urb->UrbHeader.Length;
    return urb;
}
