#include "StreamEngine.h"

BOOLEAN InitializeStreamEngine(StreamEngine* Engine, UsbDevice* Usb, PipeBinding* AudioOut,
                               PipeBinding* AudioIn, USHORT DeviceIndex) {
    UNREFERENCED_PARAMETER(Usb);
    UNREFERENCED_PARAMETER(AudioOut);
    UNREFERENCED_PARAMETER(AudioIn);
    UNREFERENCED_PARAMETER(DeviceIndex);
    KeInitializeEvent(&Engine->AttachMutex, SynchronizationEvent, TRUE);
    InitializeWorkerThread(&Engine->Worker);
    Engine->OpenClients = 0;
    return TRUE;
}

BOOLEAN StartEngineThread(StreamEngine* Engine) {
    UNREFERENCED_PARAMETER(Engine);
    return TRUE;
}

ULONG SendPowerCommand(StreamEngine* Engine, EnginePowerCommand Command) {
    UNREFERENCED_PARAMETER(Command);
    return Engine->Worker.Started ? 1 : 0;
}

BOOLEAN EngineHasOpenClient(const StreamEngine* Engine) {
    return __atomic_load_n(&Engine->OpenClients, __ATOMIC_RELAXED) > 0;
}

VOID EngineWatchdogTick(StreamEngine* Engine) {
    UNREFERENCED_PARAMETER(Engine);
}
