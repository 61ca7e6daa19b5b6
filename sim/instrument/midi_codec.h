// USB-MIDI 1.0 event packets: 4 bytes, byte 0 = cable number << 4 | code index number (CIN),
// bytes 1-3 the MIDI bytes, unused bytes 0.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace instrument {

using MidiEventPacket = std::array<uint8_t, 4>;

// How many MIDI bytes an event packet with this CIN carries (0 for the reserved CINs 0 and 1).
// Table by CIN:            0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F
inline constexpr uint8_t kCinByteCount[16] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};

// Turns a MIDI byte stream (as it arrives on a DIN jack) into event packets for one cable, with
// running status, system common messages, SysEx split into 3-byte packets and real-time bytes
// passed at once, even inside a SysEx.  An explicit state machine; state carries across calls.
class MidiEventPacker {
public:
    explicit MidiEventPacker(uint8_t cable = 0) : cable_(uint8_t(cable << 4)) {}
    // Appends the packets that `byte` completes to `out`.
    void Put(uint8_t byte, std::vector<MidiEventPacket>& out);

private:
    enum class State { Idle, Message, SysEx };
    void Emit(uint8_t cin, uint8_t b0, uint8_t b1, uint8_t b2, std::vector<MidiEventPacket>& out) {
        out.push_back({uint8_t(cable_ | cin), b0, b1, b2});
    }
    void EndSysEx(std::vector<MidiEventPacket>& out); // closes a SysEx with the bytes held

    uint8_t cable_;
    State state_ = State::Idle;
    uint8_t status_ = 0; // running status (0: none)
    uint8_t need_ = 0;   // data bytes the status takes
    uint8_t held_[3] = {};
    uint8_t count_ = 0; // bytes held
};

} // namespace instrument
