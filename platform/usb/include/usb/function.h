// The wire between a simulated host controller and a simulated USB device: what a device sees of
// the bus, transaction by transaction.  Plain C++ with no kernel dependency, so that device models
// (sim/instrument) are built and tested on their own.
//
// Time is the machine's clock in 100-ns units.  The controller calls a device from one thread at a
// time, with non-decreasing times, and before it reports anything observable about the bus at time
// t it has delivered every transaction that happened before t.  Within one (micro)frame isochronous
// OUT packets are delivered before isochronous IN packets are requested.
#pragma once

#include <cstdint>
#include <limits>
#include <span>

#include <usb100.h>

namespace usb {

using Time = int64_t;
inline constexpr Time kNever = std::numeric_limits<Time>::max();
inline constexpr Time kFrameTime = 10000;     // one 1-ms frame in 100-ns units
inline constexpr Time kMicroframeTime = 1250; // one 125-us microframe

enum class Speed : uint8_t { Full, High };

// A device's answer to one transaction.  Error: the transaction was lost on the wire (CRC, bit
// stuffing, no answer); the controller reports it as a transaction error.
enum class Handshake : uint8_t { Ack, Nak, Stall, Error };

class Function {
public:
    virtual ~Function() = default;

    // The port powered the device at `speed` (descriptors and packet sizes may depend on it).
    virtual void Attach(Speed speed, Time now) = 0;
    // The device left the bus; nothing more is called after this.
    virtual void Detach(Time now) = 0;

    // GET_DESCRIPTOR: the descriptor's bytes (a configuration descriptor with everything that
    // follows it), or empty to stall.
    virtual std::span<const uint8_t> Descriptor(uint8_t type, uint8_t index) = 0;
    virtual Handshake SetConfiguration(uint8_t value, Time now) = 0;
    virtual Handshake SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting, Time now) = 0;
    // CLEAR_FEATURE(ENDPOINT_HALT): ends a stall and resets the endpoint's data toggle.
    virtual Handshake ClearEndpointHalt(uint8_t endpointAddress, Time now) = 0;
    // Class and vendor requests.  `data` is the data stage (OUT: bytes sent; IN: room for the
    // answer, *length receives the bytes returned).
    virtual Handshake ControlRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<uint8_t> data,
                                     uint32_t* length, Time now) = 0;

    // One isochronous packet in the (micro)frame [start, end).  IN: the device writes at most
    // buffer.size() (its wMaxPacketSize) bytes and sets *length.
    virtual Handshake IsoIn(uint8_t endpointAddress, Time start, Time end, std::span<uint8_t> buffer,
                            uint32_t* length) = 0;
    virtual Handshake IsoOut(uint8_t endpointAddress, Time start, Time end,
                             std::span<const uint8_t> packet) = 0;

    // One bulk transaction at `now` of at most wMaxPacketSize bytes.
    virtual Handshake BulkOut(uint8_t endpointAddress, std::span<const uint8_t> packet, Time now) = 0;
    virtual Handshake BulkIn(uint8_t endpointAddress, std::span<uint8_t> buffer, uint32_t* length,
                             Time now) = 0;
    // After a NAK at `now`: the earliest later time at which the endpoint may answer otherwise
    // without host action (kNever if none), so that the controller polls only when it matters.
    virtual Time NextBulkChange(uint8_t endpointAddress, Time now) = 0;

    // Brings the device's own timeline (sample clocks, MIDI lines) up to `now`.
    virtual void AdvanceTo(Time now) = 0;
};

} // namespace usb
