// The routines the system, the I/O manager and port-class call.
#pragma once

#include "PortClass.h"

extern "C" DRIVER_INITIALIZE DriverEntry;
// PASSIVE_LEVEL.
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);
VOID DriverUnload(PDRIVER_OBJECT DriverObject);
// IRP_MJ_CREATE, CLOSE, DEVICE_CONTROL, POWER and PNP on the adapter and the control device.
// PASSIVE_LEVEL.
NTSTATUS DispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// IRP_MJ_SHUTDOWN.  PASSIVE_LEVEL.
NTSTATUS DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
