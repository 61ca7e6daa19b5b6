// A system thread with an exit event, three wake events and a table of handlers.  The engine and
// the MIDI transport each own one.  Until the thread body lands it is initialised and stopped but
// never started.  All operations: PASSIVE_LEVEL.
#pragma once

#include <ntddk.h>

#define WORKER_WAKE_EVENTS 3

struct WorkerThread {
    KEVENT ExitEvent;                      // notification; signalled by the thread as it ends
    KEVENT WakeEvents[WORKER_WAKE_EVENTS]; // synchronisation; event 0 asks the thread to end
    BOOLEAN Started;                       // written only on the serialised start/stop paths
};

VOID InitializeWorkerThread(WorkerThread* Worker);
// Asks the thread to end (wake event 0) and, if it was started, waits for its exit event, then
// marks it not started and resets the exit event.
VOID StopWorkerThread(WorkerThread* Worker);
