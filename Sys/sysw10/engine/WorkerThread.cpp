#include "WorkerThread.h"

VOID InitializeWorkerThread(WorkerThread* Worker) {
    KeInitializeEvent(&Worker->ExitEvent, NotificationEvent, FALSE);
    for (KEVENT& wake : Worker->WakeEvents)
        KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
    Worker->Started = FALSE;
}

VOID StopWorkerThread(WorkerThread* Worker) {
    KeSetEvent(&Worker->WakeEvents[0], 0, FALSE);
    if (Worker->Started) {
        KeWaitForSingleObject(&Worker->ExitEvent, Executive, KernelMode, FALSE, nullptr);
        Worker->Started = FALSE;
        KeClearEvent(&Worker->ExitEvent);
    }
    // Nobody waits on the stop request of a thread that never ran; leave the event clear so that
    // the next start does not end at once.
    KeClearEvent(&Worker->WakeEvents[0]);
}
