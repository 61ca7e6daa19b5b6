// How the driver reaches the instrument: every request goes to the physical device object as an
// internal device-control request.  Synchronous requests (SubmitUrbSync, the port-status and
// controller-name queries) run at PASSIVE_LEVEL; asynchronous submissions with a driver-owned IRP
// may be issued at <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <usbbusif.h>

// Sends `Urb` to `Target` with IOCTL_INTERNAL_USB_SUBMIT_URB and waits (kernel mode, no time-out)
// when the stack answers STATUS_PENDING.  Returns the request's final status; the URB carries its
// own status and output fields.  IRQL: PASSIVE_LEVEL.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT Target, PURB Urb);

// Sends an internal request with up to two arguments synchronously (the port-status and
// controller-name queries).  IRQL: PASSIVE_LEVEL.
NTSTATUS SendInternalIoctlSync(PDEVICE_OBJECT Target, ULONG IoControlCode, PVOID Argument1, PVOID Argument2);

// Asynchronous URB convention: the driver owns `Irp` (allocated with the target's stack size
// plus one); each submission reuses it, points the next location at the URB and sets
// `Completion` for success, error and cancel.  The routine runs once per submission and returns
// STATUS_MORE_PROCESSING_REQUIRED so that the IRP stays the driver's.  IRQL: <= DISPATCH_LEVEL.
NTSTATUS SubmitUrbAsync(PDEVICE_OBJECT Target, PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE Completion,
                        PVOID Context);
