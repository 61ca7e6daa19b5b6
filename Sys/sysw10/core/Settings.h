// Driver parameters: the driver-wide SharedSettings (active and pending SettingsRecord) and their
// registry form below "<service key>\Parameters\Common".
//
// IRQL: every routine here runs at PASSIVE_LEVEL (registry access), except that the
// ActiveStreamCount accessors may also be called at DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

#include <VexSettings.h>

struct UsbDevice;

struct SharedSettings {
    SettingsRecord ActiveSettings;  // read by the engine, the wave miniport and the ASIO requests
    SettingsRecord PendingSettings; // read and written through IOCTL_GET/SET_SETTINGS
    LONG ActiveStreamCount;         // streams attached to any instrument; guarded by Lock
    KSPIN_LOCK Lock;                // guards ActiveStreamCount only; the record copies take no lock
};

// The driver-wide rate table (10 rows, a zero rate ends it).  Defaults until LoadSettings applies
// the "AsNN" registry values; shared by every instrument.
extern VexRateEntry g_RateTable[VEX_RATE_TABLE_ROWS];

// Sets both records to their defaults (rate-table parts zero) and the count to 0; initialises the
// lock.  DriverEntry, first load only.
VOID InitializeSharedSettings(SharedSettings* Settings);

// Reads "BufSize2", "AsioSmaller", "MidiInLite" and the As values; the records take them when no
// stream is attached anywhere.  Once per instrument start.
VOID LoadSettings(SharedSettings* Settings);

// Writes "BufSize2", "AsioSmaller" (0 or 1) and "MidiInLite" from PendingSettings.
VOID SavePendingSettings(SharedSettings* Settings);

// True when the restart-free compared fields of ActiveSettings and PendingSettings agree.
BOOLEAN SettingsEqual(const SharedSettings* Settings);

// Bit 1 of the restart mask: MidiInLite or the third option pair differ (restart needed).
ULONG RestartOnlyMask(const SharedSettings* Settings);

// Computes the restart mask, then copies the restart-free fields into ActiveSettings when no
// stream is attached.  Returns the mask computed before the copy.
ULONG ApplyPendingSettings(SharedSettings* Settings);

// Reads ActiveStreamCount under the lock.  IRQL <= DISPATCH_LEVEL.
LONG ReadActiveStreamCount(SharedSettings* Settings);

// The registry path copy made by DriverEntry (null when it could not be made: nothing is read
// or written then).
extern PWSTR g_RegistryPath;
