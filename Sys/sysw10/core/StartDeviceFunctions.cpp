// The second start stage, in this order; the first failure ends it.  What was built is torn
// down when port-class releases AdapterCommon.  PASSIVE_LEVEL.
#include "AdapterCommon.h"

BOOLEAN StartDeviceFunctions(DeviceContext* Context, PDEVICE_OBJECT AdapterDevice, PIRP Irp,
                             IAdapterCommon* Common) {
    UsbDevice* usb = &Context->Usb;
    IUnknown* adapter = Common;

    // 1. MIDI pipes; output may run once SuspendState is 0.
    if (!SetupMidiOutPipe(&Context->MidiOut, &usb->MidiOut))
        return FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&Context->MidiOut.Lock, &irql);
    Context->MidiOut.SuspendState = MidiPowered;
    KeReleaseSpinLock(&Context->MidiOut.Lock, irql);
    if (!SetupMidiInPipe(&Context->MidiIn, &usb->MidiIn))
        return FALSE;
    // 2.
    InitializeWorkerThread(&Context->MidiWorker);
    // 3.
    FillTopologyPinTables(&Context->Topology);
    if (!InitializeStreamEngine(&Context->Engine, usb, &usb->AudioOut, &usb->AudioIn, Context->DeviceIndex))
        return FALSE;
    // 4.
    if (!CreateMidiOutSlot(&Context->MidiOut))
        return FALSE;
    if (!CreateMidiInSlot(&Context->MidiIn)) {
        ReleaseMidiOutSlot(&Context->MidiOut);
        return FALSE;
    }
    // 5.
    if (!NT_SUCCESS(RegisterMidiSubdevice(Context, AdapterDevice, Irp, adapter)))
        return FALSE;
    // 6. The first read; the MIDI worker thread starts here once the transport has its body.
    KickIn(&Context->MidiIn);
    // 7.
    if (!NT_SUCCESS(RegisterTopologySubdevice(Context, AdapterDevice, Irp, adapter)))
        return FALSE;
    // 8.
    if (!StartEngineThread(&Context->Engine))
        return FALSE;
    // 9.
    if (!NT_SUCCESS(RegisterWaveSubdevices(Context, AdapterDevice, Irp, adapter)))
        return FALSE;
    // 10.
    const LONG state = ReadDeviceState(usb);
    if (state != DeviceRunning && state != DeviceWaking && state != DevicePoweredDown)
        WriteDeviceState(usb, DeviceRunning);
    return TRUE;
}
