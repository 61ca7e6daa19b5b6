// The per-instrument state: one DeviceContext per started instrument, a single block of
// NonPagedPoolNx that embeds every per-instrument object (the timer DPC, the USB completion
// routines and the engine touch it at DISPATCH_LEVEL, so nothing in it is paged or allocated per
// transfer).  Also the layout of the driver-owned part of both device extensions.
#pragma once

#include <ntddk.h>

#include <new>

#include "../engine/StreamEngine.h"
#include "../engine/WorkerThread.h"
#include "../ports/MidiPipes.h"
#include "../ports/Subdevices.h"
#include "PortClass.h"
#include "UsbDevice.h"

struct IAdapterCommon;

// Extension sizes: port-class's reserved area, then the driver's part.
#define ADAPTER_EXTENSION_SIZE (PORT_CLASS_DEVICE_EXTENSION_SIZE + 32) // 544
#define CONTROL_EXTENSION_SIZE (PORT_CLASS_DEVICE_EXTENSION_SIZE + 16) // 528
static_assert(ADAPTER_EXTENSION_SIZE == 544 && CONTROL_EXTENSION_SIZE == 528);

// Tells the two kinds of device object apart; placed first in the driver's part of each
// extension.  Constant after creation; read at any IRQL.
class DeviceRoleTag {
public:
    virtual BOOLEAN IsControlDevice() const = 0;
    virtual BOOLEAN IsAdapterDevice() const = 0;
};

class AdapterRoleTag final : public DeviceRoleTag {
public:
    BOOLEAN IsControlDevice() const override { return FALSE; }
    BOOLEAN IsAdapterDevice() const override { return TRUE; }
};

class ControlRoleTag final : public DeviceRoleTag {
public:
    BOOLEAN IsControlDevice() const override { return TRUE; }
    BOOLEAN IsAdapterDevice() const override { return FALSE; }
};

struct DeviceContext;

// The driver's part of a device extension, after PORT_CLASS_DEVICE_EXTENSION_SIZE bytes.
// The control device's extension ends after Context.
struct DeviceExtensionPart {
    alignas(void*) UCHAR RoleStorage[sizeof(void*)]; // an AdapterRoleTag or a ControlRoleTag
    // Adapter device: set by StartDevice, cleared on its failure paths (PnP path only).
    // Control device: set at creation.  Read at PASSIVE_LEVEL by the dispatch routines.
    DeviceContext* Context;
    PDRIVER_OBJECT DriverObject;         // adapter device only; set by AddDevice
    PDEVICE_OBJECT PhysicalDeviceObject; // adapter device only; set by AddDevice

    const DeviceRoleTag* Role() const {
        return std::launder(reinterpret_cast<const DeviceRoleTag*>(RoleStorage));
    }
};
static_assert(sizeof(AdapterRoleTag) == sizeof(void*) && sizeof(ControlRoleTag) == sizeof(void*));
static_assert(offsetof(DeviceExtensionPart, Context) == 8 && sizeof(DeviceExtensionPart) == 32);

inline DeviceExtensionPart* ExtensionPart(PDEVICE_OBJECT Device) {
    if (Device == nullptr || Device->DeviceExtension == nullptr)
        return nullptr;
    return reinterpret_cast<DeviceExtensionPart*>(static_cast<PUCHAR>(Device->DeviceExtension) +
                                                  PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

// The 0.8-ms adapter timer.  Armed flag: set and cleared on the PASSIVE_LEVEL start, power and
// teardown paths, read by the DPC before it re-arms (interlocked).
struct AdapterTimer {
    KTIMER Timer;
    KDPC Dpc;
    LARGE_INTEGER DueTime; // -8000 (relative, 100-ns units)
    volatile LONG Armed;
    DeviceContext* Context;
};

#define CONTROL_NAME_CHARS 260

struct ControlDeviceRecord {
    PDEVICE_OBJECT Device; // null when there is none
    WCHAR DeviceNameBuffer[CONTROL_NAME_CHARS];
    WCHAR LinkNameBuffer[CONTROL_NAME_CHARS];
    UNICODE_STRING DeviceName;
    UNICODE_STRING LinkName;
    BOOLEAN LinkCreated;
};

struct DeviceContext {
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT PhysicalDeviceObject; // the target of every USB request; null after teardown
    USHORT DeviceIndex;                  // 0..3: the control device's number minus one
    UsbDevice Usb;
    MidiSubdeviceRecord MidiSubdevice;
    MidiOutPipe MidiOut;
    MidiInPipe MidiIn;
    WorkerThread MidiWorker; // wake events 1 and 2 restart MidiOut and MidiIn
    StreamEngine Engine;
    TopologySubdeviceRecord Topology;
    AdapterTimer Timer;
    ControlDeviceRecord Control;
    IAdapterCommon* AdapterCommon; // counted only during StartDevice, a plain pointer afterwards
    volatile LONG ReferenceCount;  // interlocked only; the thread that takes it to 0 frees the block
    KEVENT ControlRequestEvent;    // synchronisation, initially signalled: one control request at a time
};

// Drops one reference; on the last one deletes the control device and its link and frees the
// DeviceContext.  PASSIVE_LEVEL (IoDeleteDevice).
VOID ReleaseDeviceContext(DeviceContext* Context);

// TRUE when a MIDI port is open or the engine has an open client.  Any IRQL.
BOOLEAN DeviceIsBusy(const DeviceContext* Context);
