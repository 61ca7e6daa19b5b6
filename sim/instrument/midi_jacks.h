// The instrument's MIDI DIN jacks.  MIDI OUT sends one byte every 320 us (10 bits at 31250 baud)
// and records each byte with the time its transmission started; MIDI IN receives bytes (from a
// script or the loopback cable) at the time their last bit arrived and packs them into USB-MIDI
// event packets for cable 0.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include <usb/function.h>

#include "midi_codec.h"

namespace instrument {

inline constexpr usb::Time kMidiByteTime = 3200; // 320 us in 100-ns units

struct TimedByte {
    usb::Time time;
    uint8_t byte;
    bool operator==(const TimedByte&) const = default;
};

class MidiOutJack {
public:
    // Queues bytes behind those still waiting; transmission of the first starts no earlier than `now`.
    void Send(usb::Time now, const uint8_t* bytes, size_t count);
    // Finishes every byte whose transmission ends by `now`; `delivered` (the loopback cable) gets
    // each with the time its last bit left.
    void AdvanceTo(usb::Time now, const std::function<void(TimedByte)>& delivered);
    size_t Pending() const { return queue_.size(); }
    // End time of the next byte in transmission (kNever when idle).
    usb::Time NextByteEnd() const {
        return queue_.empty() ? usb::kNever : queue_.front().time + kMidiByteTime;
    }
    const std::vector<TimedByte>& Played() const { return played_; }

private:
    std::deque<TimedByte> queue_; // time = transmission start
    usb::Time lineFree_ = 0;
    std::vector<TimedByte> played_;
};

class MidiInJack {
public:
    // A byte whose reception completes at `time` (times need not arrive in order).
    void Receive(TimedByte byte);
    // Packs every byte received by `now` into event packets.
    void AdvanceTo(usb::Time now);
    usb::Time NextArrival() const { return incoming_.empty() ? usb::kNever : incoming_.front().time; }
    std::deque<MidiEventPacket>& Packets() { return packets_; }

private:
    std::deque<TimedByte> incoming_; // sorted by time
    MidiEventPacker packer_{0};
    std::vector<MidiEventPacket> scratch_;
    std::deque<MidiEventPacket> packets_;
};

} // namespace instrument
