// Internal device-control requests that a client driver sends to the physical device object of its
// USB device (IRP_MJ_INTERNAL_DEVICE_CONTROL).  The codes are CTL_CODE(FILE_DEVICE_USB = 0x22,
// function, METHOD_NEITHER, FILE_ANY_ACCESS); arguments travel in Parameters.Others.
#pragma once

#include <ntdef.h>

#define FILE_DEVICE_USB 0x00000022
#define USB_SUBMIT_URB 0
#define USB_GET_PORT_STATUS 4
#define USB_GET_CONTROLLER_NAME 265
#define USB_CTL_NEITHER(function) ((FILE_DEVICE_USB << 16) | ((function) << 2) | 3 /* METHOD_NEITHER */)

// Argument1: the URB.  IRQL <= DISPATCH_LEVEL (select configuration/interface: PASSIVE_LEVEL).
#define IOCTL_INTERNAL_USB_SUBMIT_URB USB_CTL_NEITHER(USB_SUBMIT_URB) // 0x220003
// Argument1: a ULONG that receives the USBD_PORT_* bits of the device's port.  PASSIVE_LEVEL.
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS USB_CTL_NEITHER(USB_GET_PORT_STATUS) // 0x220013
// Argument1: a USB_HUB_NAME buffer; Argument2: its length in bytes.  PASSIVE_LEVEL.
#define IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME USB_CTL_NEITHER(USB_GET_CONTROLLER_NAME) // 0x220427

static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013);
static_assert(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME == 0x220427);

#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

// The controller-name answer: ActualLength is the name's length in bytes (UTF-16, without a
// terminator); the name follows.  A buffer too small for the whole name gets as much as fits.
typedef struct _USB_HUB_NAME {
    ULONG ActualLength;
    WCHAR HubName[1];
} USB_HUB_NAME, *PUSB_HUB_NAME;
