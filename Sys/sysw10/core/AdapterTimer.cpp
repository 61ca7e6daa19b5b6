// The 0.8-ms adapter timer: a one-shot timer that its own DPC re-arms while the armed flag is
// set, giving the MIDI pipes and the engine their watchdog ticks.
#include "AdapterCommon.h"

namespace {
const LONGLONG kAdapterTimerDue = -8000; // 0.8 ms, relative, 100-ns units
}

VOID AdapterTimerDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    auto* context = static_cast<DeviceContext*>(DeferredContext);
    if (ReadDeviceState(&context->Usb) == DeviceRunning) {
        MidiOutWatchdogTick(&context->MidiOut);
        MidiInWatchdogTick(&context->MidiIn);
        if (ReadDeviceState(&context->Usb) == DeviceRunning)
            EngineWatchdogTick(&context->Engine);
    }
    AdapterTimer* timer = &context->Timer;
    if (InterlockedCompareExchange(&timer->Armed, 1, 1) == 1)
        KeSetTimer(&timer->Timer, timer->DueTime, Dpc);
}

VOID ArmAdapterTimer(AdapterTimer* Timer) {
    if (InterlockedCompareExchange(&Timer->Armed, 1, 1) == 1)
        return;
    KeInitializeTimer(&Timer->Timer);
    KeInitializeDpc(&Timer->Dpc, AdapterTimerDpc, Timer->Context);
    Timer->DueTime.QuadPart = kAdapterTimerDue;
    InterlockedExchange(&Timer->Armed, 1);
    KeSetTimer(&Timer->Timer, Timer->DueTime, &Timer->Dpc);
}

VOID CancelAdapterTimer(AdapterTimer* Timer) {
    if (InterlockedExchange(&Timer->Armed, 0) == 0)
        return;
    KeCancelTimer(&Timer->Timer);
    if (KeReadStateTimer(&Timer->Timer))
        KeWaitForSingleObject(&Timer->Timer, Executive, KernelMode, FALSE, nullptr);
    // A DPC that read the flag before it was cleared may still re-arm the timer.  Once it has
    // finished, cancel again; a DPC queued by an expiry in between sees the flag clear and
    // stops, and the second flush waits for it.
    KeFlushQueuedDpcs();
    KeCancelTimer(&Timer->Timer);
    KeFlushQueuedDpcs();
}
