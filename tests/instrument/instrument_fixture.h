// A configured ZK-57 driven directly through usb::Function, packet by packet, the way a host
// controller streaming both isochronous pipes every (micro)frame would.
#pragma once

#include <vector>

#include <instrument/instrument.h>

namespace instrument::testing {

struct Streamer {
    Instrument& dev;
    usb::Speed speed;
    usb::Time now = 0;
    std::vector<uint8_t> in = std::vector<uint8_t>(512);

    usb::Time Period() const { return speed == usb::Speed::High ? usb::kMicroframeTime : usb::kFrameTime; }
    uint16_t MaxPacket() const { return speed == usb::Speed::High ? kIsoPacketSizeHigh : kIsoPacketSizeFull; }

    static void Configure(Instrument& dev, usb::Speed speed) {
        dev.Attach(speed, 0);
        dev.SetConfiguration(1, 0);
        dev.SetInterface(kPlaybackInterface, 1, 0);
        dev.SetInterface(kCaptureInterface, 1, 0);
    }

    // One (micro)frame: an OUT packet (if given) then an IN packet; returns the IN length.
    uint32_t Step(const std::vector<uint8_t>* out) {
        if (out != nullptr)
            dev.IsoOut(kPlaybackEndpoint, now, now + Period(), *out);
        uint32_t length = 0;
        dev.IsoIn(kCaptureEndpoint, now, now + Period(), std::span(in.data(), MaxPacket()), &length);
        now += Period();
        return length;
    }
};

} // namespace instrument::testing
