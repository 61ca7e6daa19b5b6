// Subdevice registration as start-up calls it: the MIDI, topology and wave filters of one
// instrument and their physical connections.  PASSIVE_LEVEL.  Each returns a status.
#pragma once

#include <ntddk.h>

struct DeviceContext;
struct IUnknown;

struct MidiSubdeviceRecord {
    PVOID Port;      // the port-class port, released after registration
    PVOID Miniport;  // the miniport object
    PVOID Interface; // the miniport's interface pointer
};

struct TopologySubdeviceRecord {
    USHORT DeviceIndex; // stored at registration
    BOOLEAN PinTablesFilled;
};

VOID FillTopologyPinTables(TopologySubdeviceRecord* Record);
NTSTATUS RegisterMidiSubdevice(DeviceContext* Context, PDEVICE_OBJECT AdapterDevice, PIRP Irp,
                               IUnknown* Adapter);
NTSTATUS RegisterTopologySubdevice(DeviceContext* Context, PDEVICE_OBJECT AdapterDevice, PIRP Irp,
                                   IUnknown* Adapter);
NTSTATUS RegisterWaveSubdevices(DeviceContext* Context, PDEVICE_OBJECT AdapterDevice, PIRP Irp,
                                IUnknown* Adapter);
