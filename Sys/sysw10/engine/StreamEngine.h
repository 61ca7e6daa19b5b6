// The per-instrument isochronous engine, embedded in the DeviceContext.  This is its start-up and
// power surface as the driver core calls it; the transfer schedule, the router and the worker
// thread's commands fill it in place.
#pragma once

#include <ntddk.h>

#include "WorkerThread.h"

struct UsbDevice;
struct PipeBinding;

enum EnginePowerCommand : ULONG {
    EnginePowerUp = 0,
    EnginePowerDown = 1,
    EngineTerminate = 3,
};

struct StreamEngine {
    KEVENT AttachMutex;  // synchronisation event, initially signalled: serialises attach, detach,
                         // power commands and teardown.  Waited for at PASSIVE_LEVEL only.
    WorkerThread Worker; // the engine's thread (priority 16)
    LONG OpenClients;    // streams attached (wave and ASIO); changed under AttachMutex
};

// Builds the engine over the two audio bindings.  PASSIVE_LEVEL.  Success or failure.
BOOLEAN InitializeStreamEngine(StreamEngine* Engine, UsbDevice* Usb, PipeBinding* AudioOut,
                               PipeBinding* AudioIn, USHORT DeviceIndex);
// Starts the engine's WorkerThread.  PASSIVE_LEVEL.
BOOLEAN StartEngineThread(StreamEngine* Engine);
// Caller holds AttachMutex.  Returns 0 when the engine's thread is not running, else non-zero.
ULONG SendPowerCommand(StreamEngine* Engine, EnginePowerCommand Command);
// Any open client (wave or ASIO).  Any IRQL.
BOOLEAN EngineHasOpenClient(const StreamEngine* Engine);
// The adapter timer's tick.  DISPATCH_LEVEL; spin locks only.
VOID EngineWatchdogTick(StreamEngine* Engine);

inline VOID AcquireAttachMutex(StreamEngine* Engine) {
    KeWaitForSingleObject(&Engine->AttachMutex, Executive, KernelMode, FALSE, nullptr);
}
inline VOID ReleaseAttachMutex(StreamEngine* Engine) {
    KeSetEvent(&Engine->AttachMutex, 0, FALSE);
}
