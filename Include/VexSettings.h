// The settings record: kept twice in the kernel driver (active and pending), stored in part in the
// registry, and carried whole by IOCTL_GET_SETTINGS / IOCTL_SET_SETTINGS (324 bytes + a u32).
#pragma once

#include <cstddef>
#include <cstdint>

#define VEX_RATE_TABLE_ROWS 10

// One row of the per-rate table.  A row whose Rate is 0 ends the table.
struct VexRateEntry {
    int32_t Rate;              // Hz
    int32_t BufferFrames;      // offset in sample frames; the "AsNN" registry value overrides it
    int32_t MinusOneMsFrames;  // -(Rate / 1000)
    int32_t FullSpeedPackets;  // offset in 1-ms packets; BufferFrames * 1000 / Rate on override
    int32_t FullSpeedExtra;    // further full-speed packet offset
    int32_t HighSpeedPackets;  // offset in 125-us packets; BufferFrames * 8000 / Rate on override
    int32_t HighSpeedExtra;    // further high-speed packet offset
};
static_assert(sizeof(VexRateEntry) == 28);

struct SettingsRecord {
    VexRateEntry RateTable[VEX_RATE_TABLE_ROWS]; // copy of the rate table with the As values applied
    uint32_t OptionFlag1;        // applies without restart; compared as a boolean
    uint32_t AsioSmaller;        // applies without restart; smaller ASIO buffers; compared as a boolean
    uint32_t BufSize2;           // applies without restart; buffer-size step 0..9
    uint32_t Asio32Bit;          // applies without restart, never compared; 4-byte ASIO samples when set
    uint32_t OptionPair1Enabled; // applies without restart
    uint32_t OptionPair1Value;
    uint32_t OptionPair2Enabled; // applies without restart
    uint32_t OptionPair2Value;
    uint32_t MidiInLite;         // restart only: light-load MIDI alternate setting at the next start
    uint32_t OptionPair3Enabled; // restart only, compared exactly
    uint32_t OptionPair3Value;
};

static_assert(sizeof(SettingsRecord) == 324);
static_assert(offsetof(SettingsRecord, OptionFlag1) == 280);
static_assert(offsetof(SettingsRecord, AsioSmaller) == 284);
static_assert(offsetof(SettingsRecord, BufSize2) == 288);
static_assert(offsetof(SettingsRecord, Asio32Bit) == 292);
static_assert(offsetof(SettingsRecord, OptionPair1Enabled) == 296);
static_assert(offsetof(SettingsRecord, OptionPair2Value) == 308);
static_assert(offsetof(SettingsRecord, MidiInLite) == 312);
static_assert(offsetof(SettingsRecord, OptionPair3Value) == 320);

// Bytes of the record that follow the pending copy into the active one whenever no stream is
// attached: every field before MidiInLite.  The last three change only at an instrument start.
#define VEX_SETTINGS_RESTART_FREE_BYTES offsetof(SettingsRecord, MidiInLite)

// IOCTL_GET_SETTINGS / IOCTL_SET_SETTINGS payload.
struct VexSettingsRequest {
    SettingsRecord Record; // +0
    uint32_t Tail;         // +324: 1 in a GET answer; the restart mask in a SET answer
};
static_assert(sizeof(VexSettingsRequest) == 328);

// Restart mask bits of the IOCTL_SET_SETTINGS answer.
#define VEX_RESTART_WAITS_FOR_STREAMS 0x1 // attached streams hold the old restart-free values
#define VEX_RESTART_NEEDS_DEVICE_RESTART 0x2 // MidiInLite or the third option pair changed
