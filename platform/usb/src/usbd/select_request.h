// Layout of a select-configuration URB, separated from its allocation so that it can be computed
// and checked without a kernel.  Any IRQL.
#pragma once

#include <usbdlib.h>

namespace usbd {

// Bytes a select-configuration URB for the list needs (GET_SELECT_CONFIGURATION_REQUEST_SIZE of
// its interfaces and pipes); 0 when the list is empty or the result does not fit a USHORT.
ULONG SelectConfigurationRequestSize(PUSBD_INTERFACE_LIST_ENTRY list);

// Fills a zeroed URB of `size` bytes (from SelectConfigurationRequestSize) and points every list
// entry's Interface at its record.
void FillSelectConfigurationRequest(PURB urb, ULONG size, PUSB_CONFIGURATION_DESCRIPTOR config,
                                    PUSBD_INTERFACE_LIST_ENTRY list);

// The list USBD_CreateConfigurationRequest uses: each interface number of the configuration
// once, at the first alternate setting that appears for it, at most bNumInterfaces entries.
// `out` has room for `capacity` entries plus the terminating one; returns the entries written.
ULONG DefaultInterfaceList(PUSB_CONFIGURATION_DESCRIPTOR config, PUSBD_INTERFACE_LIST_ENTRY out,
                           ULONG capacity);

} // namespace usbd
