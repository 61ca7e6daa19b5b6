#include "Subdevices.h"

#include "../core/DeviceContext.h"

VOID FillTopologyPinTables(TopologySubdeviceRecord* Record) {
    Record->PinTablesFilled = TRUE;
}

NTSTATUS RegisterMidiSubdevice(DeviceContext*, PDEVICE_OBJECT, PIRP, IUnknown*) {
    return STATUS_SUCCESS;
}

NTSTATUS RegisterTopologySubdevice(DeviceContext* Context, PDEVICE_OBJECT, PIRP, IUnknown*) {
    Context->Topology.DeviceIndex = Context->DeviceIndex;
    return STATUS_SUCCESS;
}

NTSTATUS RegisterWaveSubdevices(DeviceContext*, PDEVICE_OBJECT, PIRP, IUnknown*) {
    return STATUS_SUCCESS;
}
