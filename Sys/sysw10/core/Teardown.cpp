// TeardownDevice: what AdapterCommon's final release undoes, in this order.  PASSIVE_LEVEL, on
// port-class's removal path (or the start path when the adapter object could not be registered).
#include "AdapterCommon.h"
#include "DriverGlobals.h"

VOID ShutdownEngine(DeviceContext* Context) {
    StreamEngine* engine = &Context->Engine;
    AcquireAttachMutex(engine);
    SendPowerCommand(engine, EngineTerminate);
    if (engine->Worker.Started) {
        KeWaitForSingleObject(&engine->Worker.ExitEvent, Executive, KernelMode, FALSE, nullptr);
        engine->Worker.Started = FALSE;
        KeClearEvent(&engine->Worker.ExitEvent);
    }
    ReleaseAttachMutex(engine);
    // The ASIO stream's part (waking its client, emptying this device's slot in the sync record,
    // detaching, completing a pending map request) joins here with the ASIO requests.
}

VOID TeardownDevice(DeviceContext* Context) {
    // 1. No timer DPC is queued or running after this.
    CancelAdapterTimer(&Context->Timer);
    // 2. The registry keeps what the settings program last chose.
    SavePendingSettings(g_SharedSettings);
    // 3.
    if (ReadDeviceState(&Context->Usb) != DeviceNotStarted)
        WriteDeviceState(&Context->Usb, DeviceRemoved);
    // 4-5. Threads end before the pipes they use go.
    ShutdownEngine(Context);
    StopWorkerThread(&Context->MidiWorker);
    // 6.
    KIRQL irql;
    KeAcquireSpinLock(&Context->MidiOut.Lock, &irql);
    Context->MidiOut.SuspendState = MidiPoweredDown;
    KeReleaseSpinLock(&Context->MidiOut.Lock, irql);
    // 7.
    StopMidiOutPipe(&Context->MidiOut);
    ReleaseMidiOutSlot(&Context->MidiOut);
    StopMidiInPipe(&Context->MidiIn);
    ReleaseMidiInSlot(&Context->MidiIn);
    // 8. Under ControlRequestEvent: a control request that is using the physical device object
    // finishes first, and later ones (through handles still open) find it cleared and send
    // nothing to a device object that may be gone.
    KeWaitForSingleObject(&Context->ControlRequestEvent, Executive, KernelMode, FALSE, nullptr);
    Context->AdapterCommon = nullptr;
    DeconfigureUsbDevice(&Context->Usb);
    Context->DriverObject = nullptr;
    Context->PhysicalDeviceObject = nullptr;
    Context->Usb.TargetDevice = nullptr;
    KeSetEvent(&Context->ControlRequestEvent, 0, FALSE);
    // 9. The start reference; the last handle's close frees the DeviceContext otherwise.
    ReleaseDeviceContext(Context);
}
