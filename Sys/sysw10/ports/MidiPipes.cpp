#include "MidiPipes.h"

BOOLEAN SetupMidiOutPipe(MidiOutPipe* Pipe, PipeBinding* Binding) {
    Pipe->Binding = Binding;
    return TRUE;
}
BOOLEAN SetupMidiInPipe(MidiInPipe* Pipe, PipeBinding* Binding) {
    Pipe->Binding = Binding;
    return TRUE;
}
BOOLEAN CreateMidiOutSlot(MidiOutPipe*) {
    return TRUE;
}
BOOLEAN CreateMidiInSlot(MidiInPipe*) {
    return TRUE;
}
VOID ReleaseMidiOutSlot(MidiOutPipe*) {}
VOID ReleaseMidiInSlot(MidiInPipe*) {}
VOID StopMidiOutPipe(MidiOutPipe*) {}
VOID StopMidiInPipe(MidiInPipe*) {}
VOID KickIn(MidiInPipe*) {}
BOOLEAN MidiOutHasQueuedEvents(MidiOutPipe*) {
    return FALSE;
}
VOID KickOutLocked(MidiOutPipe*) {}
VOID MidiOutWatchdogTick(MidiOutPipe*) {}
VOID MidiInWatchdogTick(MidiInPipe*) {}
