// The USB bus interface a client obtains from its physical device object with IRP_MN_QUERY_INTERFACE
// (InterfaceType USB_BUS_INTERFACE_USBDI_GUID).  Version 0 has the first four functions, version 1
// adds IsDeviceHighSpeed.  The interface holds a reference from the query until InterfaceDereference.
// Every function may be called at IRQL <= DISPATCH_LEVEL.
#pragma once

#include <wdm.h>

#include <usb.h>

inline constexpr GUID USB_BUS_INTERFACE_USBDI_GUID = {
    0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xc2, 0x37, 0x81}};

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;         // BCD
    ULONG Supported_USB_Version; // BCD, 0x200 for USB 2.0
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

typedef VOID (*PUSB_BUSIFFN_GETUSBDI_VERSION)(PVOID BusContext, PUSBD_VERSION_INFORMATION VersionInformation,
                                              PULONG HcdCapabilities);
// The controller's current 1-ms frame number.
typedef NTSTATUS (*PUSB_BUSIFFN_QUERY_BUS_TIME)(PVOID BusContext, PULONG CurrentUsbFrame);
typedef NTSTATUS (*PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB)(PVOID BusContext, PURB Urb);
typedef NTSTATUS (*PUSB_BUSIFFN_QUERY_BUS_INFORMATION)(PVOID BusContext, ULONG Level,
                                                       PVOID BusInformationBuffer,
                                                       PULONG BusInformationBufferLength,
                                                       PULONG BusInformationActualLength);
typedef BOOLEAN (*PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED)(PVOID BusContext);

typedef struct _USB_BUS_INTERFACE_USBDI_V0 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
} USB_BUS_INTERFACE_USBDI_V0, *PUSB_BUS_INTERFACE_USBDI_V0;

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;

static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
