// The USB driver library: descriptor parsing, selection-request building and the URB build
// helpers.  Parsing is pure (any IRQL, no allocation); the two Create functions allocate the
// request from non-paged pool at IRQL <= DISPATCH_LEVEL and the caller frees it with ExFreePool.
#pragma once

#include <usbdi.h>

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor; // in: the interface (number, alternate setting) wanted
    PUSBD_INTERFACE_INFORMATION Interface;         // out: its record inside the created URB
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

// Descriptors are walked by bLength inside [DescriptorBuffer, DescriptorBuffer + TotalLength);
// a descriptor counts only when its whole bLength lies inside; a bLength of 0 ends the walk.
// Returns the first descriptor of DescriptorType at or after StartPosition, or null.
extern "C" PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                              PVOID StartPosition, LONG DescriptorType);

// Searches the configuration (wTotalLength bytes) from StartPosition for an interface descriptor
// matching every argument that is not -1.  Returns it or null.
extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

// The interface descriptor (InterfaceNumber, AlternateSetting) of the configuration, or null.
extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting);

// Builds a select-configuration URB for the interfaces listed (the list ends with a null
// InterfaceDescriptor), sets each entry's Interface to its record in the URB and every pipe's
// MaximumTransferSize to USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE.  Hdr.Length is the URB's size.
// Pool: NonPagedPoolNx; null on failure.  IRQL <= DISPATCH_LEVEL.
extern "C" PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                        PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// The older form: one record per interface of the configuration at its first alternate setting;
// *Siz receives the URB's size.  Null (and *Siz 0) on failure.  IRQL <= DISPATCH_LEVEL.
extern "C" PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                      PUSHORT Siz);

// URB builders.  They fill the fields named and leave the rest as the caller zeroed them.
inline void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType, UCHAR descriptorIndex,
                                         USHORT languageId, PVOID transferBuffer, PMDL transferBufferMDL,
                                         ULONG transferBufferLength, PURB link) {
    urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb->UrbHeader.Length = length;
    urb->UrbControlDescriptorRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlDescriptorRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlDescriptorRequest.TransferBuffer = transferBuffer;
    urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
    urb->UrbControlDescriptorRequest.Index = descriptorIndex;
    urb->UrbControlDescriptorRequest.LanguageId = languageId;
    urb->UrbControlDescriptorRequest.UrbLink = link;
}

inline void UsbBuildSelectConfigurationRequest(PURB urb, USHORT length,
                                               PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor) {
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = length;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
}

inline void UsbBuildSelectInterfaceRequest(PURB urb, USHORT length,
                                           USBD_CONFIGURATION_HANDLE configurationHandle,
                                           UCHAR interfaceNumber, UCHAR alternateSetting) {
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbHeader.Length = length;
    urb->UrbSelectInterface.Interface.AlternateSetting = alternateSetting;
    urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
    urb->UrbSelectInterface.Interface.Length =
        (USHORT)(length - offsetof(struct _URB_SELECT_INTERFACE, Interface));
    urb->UrbSelectInterface.ConfigurationHandle = configurationHandle;
}

inline void UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length, USBD_PIPE_HANDLE pipeHandle,
                                                   PVOID transferBuffer, PMDL transferBufferMDL,
                                                   ULONG transferBufferLength, ULONG transferFlags,
                                                   PURB link) {
    urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb->UrbHeader.Length = length;
    urb->UrbBulkOrInterruptTransfer.PipeHandle = pipeHandle;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transferBufferLength;
    urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = transferBufferMDL;
    urb->UrbBulkOrInterruptTransfer.TransferBuffer = transferBuffer;
    urb->UrbBulkOrInterruptTransfer.TransferFlags = transferFlags;
    urb->UrbBulkOrInterruptTransfer.UrbLink = link;
}

inline void UsbBuildVendorRequest(PURB urb, USHORT function, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, PMDL transferBufferMDL, ULONG transferBufferLength,
                                  PURB link) {
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = length;
    urb->UrbControlVendorClassRequest.TransferBufferLength = transferBufferLength;
    urb->UrbControlVendorClassRequest.TransferBufferMDL = transferBufferMDL;
    urb->UrbControlVendorClassRequest.TransferBuffer = transferBuffer;
    urb->UrbControlVendorClassRequest.RequestTypeReservedBits = reservedBits;
    urb->UrbControlVendorClassRequest.Request = request;
    urb->UrbControlVendorClassRequest.Value = value;
    urb->UrbControlVendorClassRequest.Index = index;
    urb->UrbControlVendorClassRequest.TransferFlags = transferFlags;
    urb->UrbControlVendorClassRequest.UrbLink = link;
}
