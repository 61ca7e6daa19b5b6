// The adapter object: port-class holds it for as long as the adapter device exists, delivers
// device power changes through its IAdapterPowerManagement, and its final release tears the
// instrument down.  Also the 0.8-ms adapter timer and the second start stage.
#pragma once

#include "DeviceContext.h"
#include "PortClass.h"

// "PcCr" as it reads in a pool dump.
#define ADAPTER_COMMON_POOL_TAG ((ULONG)'P' | ((ULONG)'c' << 8) | ((ULONG)'C' << 16) | ((ULONG)'r' << 24))

// Allocates AdapterCommon (reference 1), queries its private interface (2), runs Init and
// registers it with port-class (which takes its own reference); stores the private interface in
// the DeviceContext and releases the construction reference.  *Common holds the start's counted
// reference on success.  STATUS_INSUFFICIENT_RESOURCES when the object cannot be allocated
// (nothing was built); another failure status when a later step failed (the object has been
// released again, and with it the device torn down).  PASSIVE_LEVEL.
NTSTATUS CreateAdapterCommon(PDEVICE_OBJECT AdapterDevice, DeviceContext* Context, IAdapterCommon** Common);

// The second start stage: MIDI pipes, engine, subdevices, in that order; the first failure ends
// it.  PASSIVE_LEVEL.
BOOLEAN StartDeviceFunctions(DeviceContext* Context, PDEVICE_OBJECT AdapterDevice, PIRP Irp,
                             IAdapterCommon* Common);

// The device's teardown, run by AdapterCommon's destructor.  PASSIVE_LEVEL.
VOID TeardownDevice(DeviceContext* Context);
// Stops the engine's thread and releases what the ASIO stream holds.  PASSIVE_LEVEL.
VOID ShutdownEngine(DeviceContext* Context);

// The adapter timer.  Arm and cancel: PASSIVE_LEVEL on the start, power and teardown paths
// (serialised by the PnP and power managers).  Arming an armed timer and cancelling an unarmed
// one do nothing.  When CancelAdapterTimer returns, no DPC of the timer is queued or running.
VOID ArmAdapterTimer(AdapterTimer* Timer);
VOID CancelAdapterTimer(AdapterTimer* Timer);
// DISPATCH_LEVEL; DeferredContext is the DeviceContext.
KDEFERRED_ROUTINE AdapterTimerDpc;
