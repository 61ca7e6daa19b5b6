// The USB driver interface: URBs, interface and pipe information (see usb.h) and the size macros
// for selection requests.
#pragma once

#include <usb.h>

// Size of one interface record with `numEndpoints` pipe records.
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                                \
    (sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * ((LONG)(numEndpoints)-1))

// A select-interface URB for an interface with `totalPipes` pipes.
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes)                                                        \
    (sizeof(struct _URB_SELECT_INTERFACE) + sizeof(USBD_PIPE_INFORMATION) * ((LONG)(totalPipes)-1))

// A select-configuration URB with `totalInterfaces` interface records and `totalPipes` pipes in
// all; it errs on the large side by one pipe record so that a configuration without any endpoint
// still has room.
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                                   \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                                              \
     sizeof(USBD_INTERFACE_INFORMATION) * ((LONG)(totalInterfaces)-1) +                                      \
     sizeof(USBD_PIPE_INFORMATION) * (totalPipes))
