// The two MIDI bulk pipes as the driver core sees them: set-up at start, the transfer slots, the
// first read, power stop and restart, and the adapter timer's watchdog ticks.  The USB MIDI
// transport fills these in place.
#pragma once

#include <ntddk.h>

struct PipeBinding;

// SuspendState values (guarded by MidiOutPipe::Lock).
enum : LONG {
    MidiPowered = 0,       // the device is in D0
    MidiSystemWorking = 1, // the system is back in S0, the device not yet in D0
    MidiPoweredDown = 2,   // D1..D3; also before the start and after teardown
};

struct MidiOutPipe {
    KSPIN_LOCK Lock;   // the MIDI-out lock: guards SuspendState and the event ring
    LONG SuspendState; // guarded by Lock
    LONG PortOpen;     // the MIDI output port has an open stream; interlocked
    PipeBinding* Binding;
};

struct MidiInPipe {
    LONG PortOpen; // the MIDI input port has an open stream; interlocked
    PipeBinding* Binding;
};

// PASSIVE_LEVEL.
BOOLEAN SetupMidiOutPipe(MidiOutPipe* Pipe, PipeBinding* Binding);
BOOLEAN SetupMidiInPipe(MidiInPipe* Pipe, PipeBinding* Binding);
BOOLEAN CreateMidiOutSlot(MidiOutPipe* Pipe);
BOOLEAN CreateMidiInSlot(MidiInPipe* Pipe);
VOID ReleaseMidiOutSlot(MidiOutPipe* Pipe);
VOID ReleaseMidiInSlot(MidiInPipe* Pipe);
VOID StopMidiOutPipe(MidiOutPipe* Pipe);
VOID StopMidiInPipe(MidiInPipe* Pipe);
// <= DISPATCH_LEVEL.
VOID KickIn(MidiInPipe* Pipe);
// Caller holds the MIDI-out lock.  TRUE when output events wait in the ring.
BOOLEAN MidiOutHasQueuedEvents(MidiOutPipe* Pipe);
// Caller holds the MIDI-out lock.
VOID KickOutLocked(MidiOutPipe* Pipe);
// DISPATCH_LEVEL; spin locks only.
VOID MidiOutWatchdogTick(MidiOutPipe* Pipe);
VOID MidiInWatchdogTick(MidiInPipe* Pipe);
