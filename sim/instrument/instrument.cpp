#include "instrument.h"

#include <algorithm>

#include "test_pattern.h"

namespace instrument {

using usb::Handshake;

Instrument::Instrument(InstrumentConfig config)
    : config_(config), clock_(kSampleRate, config.driftPpm),
      dac_(clock_, config.fifoCapacityFrames, config.fifoStartFrames) {
    inputs_ = {MakeSilence(), MakeSilence()};
}

void Instrument::Attach(usb::Speed speed, usb::Time now) {
    speed_ = speed;
    attached_ = true;
    deviceDescriptor_ = DeviceDescriptor(speed);
    configurationDescriptor_ = ConfigurationDescriptor(speed, config_.descriptors);
    configuration_ = 0;
    alt_ = {};
    AdvanceTo(now);
}

void Instrument::Detach(usb::Time now) {
    AdvanceTo(now);
    dac_.SetStreaming(false, now);
    attached_ = false;
    configuration_ = 0;
    alt_ = {};
}

std::span<const uint8_t> Instrument::Descriptor(uint8_t type, uint8_t index) {
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0)
        return deviceDescriptor_;
    if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
        return configurationDescriptor_;
    return {};
}

Handshake Instrument::SetConfiguration(uint8_t value, usb::Time now) {
    if (value > 1)
        return Handshake::Stall;
    AdvanceTo(now);
    configuration_ = value;
    alt_ = {};
    dac_.SetStreaming(false, now);
    return Handshake::Ack;
}

Handshake Instrument::SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting, usb::Time now) {
    const uint8_t alts =
        interfaceNumber == kMidiInterface && config_.descriptors == DescriptorVariant::SingleMidiAltSetting
            ? 1
            : 2;
    if (configuration_ == 0 || interfaceNumber > 2 || alternateSetting >= alts)
        return Handshake::Stall;
    AdvanceTo(now);
    alt_[interfaceNumber] = alternateSetting;
    if (interfaceNumber == kPlaybackInterface)
        dac_.SetStreaming(alternateSetting == 1, now);
    return Handshake::Ack;
}

Handshake Instrument::ClearEndpointHalt(uint8_t endpointAddress, usb::Time now) {
    AdvanceTo(now);
    stalled_.erase(endpointAddress);
    return Handshake::Ack;
}

Handshake Instrument::ControlRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<uint8_t>,
                                     uint32_t* length, usb::Time now) {
    AdvanceTo(now);
    *length = 0;
    // Vendor request 2, host to device, no data: recorded, nothing else happens.
    const bool vendorToDevice = (setup.bmRequestType & 0x7F) == (BMREQUEST_VENDOR << 5 | BMREQUEST_TO_DEVICE);
    if (vendorToDevice && (setup.bmRequestType & 0x80) == 0 && setup.bRequest == 2 && setup.wLength == 0) {
        vendorRequests_.push_back(setup.wValue);
        return Handshake::Ack;
    }
    return Handshake::Stall;
}

bool Instrument::EndpointActive(uint8_t ep) const {
    if (!attached_ || configuration_ == 0)
        return false;
    switch (ep) {
    case kPlaybackEndpoint:
        return alt_[kPlaybackInterface] == 1;
    case kCaptureEndpoint:
        return alt_[kCaptureInterface] == 1 &&
               config_.descriptors != DescriptorVariant::CaptureAltWithoutEndpoint;
    case kMidiOutEndpoint:
    case kMidiInEndpoint:
        return true;
    default:
        return false;
    }
}

bool Instrument::Faulted(uint8_t ep, Handshake* result) {
    if (!EndpointActive(ep)) {
        *result = Handshake::Error; // nobody answers
        return true;
    }
    if (auto f = failures_.find(ep); f != failures_.end() && f->second > 0) {
        --f->second;
        *result = Handshake::Error;
        return true;
    }
    if (auto s = stalled_.find(ep); s != stalled_.end() && s->second) {
        *result = Handshake::Stall;
        return true;
    }
    return false;
}

void Instrument::SetInput(int channel, std::shared_ptr<AudioSource> source) {
    inputs_[size_t(channel & 1)] = source ? std::move(source) : MakeSilence();
    audioLoopback_ = false;
}

void Instrument::ConnectAudioLoopback(uint32_t delaySamples) {
    audioLoopback_ = true;
    loopbackDelay_ = delaySamples;
}

void Instrument::ShortenCapturePackets(uint32_t count, uint32_t framesMissing) {
    shortPackets_ = count;
    shortBy_ = framesMissing;
}

void Instrument::RenderInput(int channel, int64_t first, size_t frames) {
    auto& out = rendered_[size_t(channel)];
    out.resize(frames);
    if (!audioLoopback_) {
        inputs_[size_t(channel)]->Render(first, out.data(), frames);
        return;
    }
    for (size_t i = 0; i < frames; ++i)
        out[i] = dac_.Output(channel, first + int64_t(i) - int64_t(loopbackDelay_));
}

Handshake Instrument::IsoIn(uint8_t ep, usb::Time start, usb::Time end, std::span<uint8_t> buffer,
                            uint32_t* length) {
    *length = 0;
    Handshake fault;
    if (ep != kCaptureEndpoint || Faulted(ep, &fault))
        return ep == kCaptureEndpoint ? fault : Handshake::Error;
    AdvanceTo(end); // the loopback reads what the DAC played up to the end of this (micro)frame
    const int64_t first = clock_.FramesBy(start);
    int64_t frames = clock_.FramesBy(end) - first;
    ++capture_.packets;
    if (losePackets_ > 0) {
        --losePackets_;
        return Handshake::Ack; // a zero-length packet: the frames are gone
    }
    if (shortPackets_ > 0) {
        --shortPackets_;
        frames = std::max<int64_t>(0, frames - shortBy_);
    }
    frames = std::min<int64_t>(frames, int64_t(buffer.size() / kBytesPerFrame));
    RenderInput(0, first, size_t(frames));
    RenderInput(1, first, size_t(frames));
    for (int64_t i = 0; i < frames; ++i) {
        PutSample24(&buffer[size_t(i) * 6], rendered_[0][size_t(i)]);
        PutSample24(&buffer[size_t(i) * 6 + 3], rendered_[1][size_t(i)]);
    }
    capture_.frames += uint64_t(frames);
    *length = uint32_t(frames) * kBytesPerFrame;
    return Handshake::Ack;
}

Handshake Instrument::IsoOut(uint8_t ep, usb::Time start, usb::Time, std::span<const uint8_t> packet) {
    Handshake fault;
    if (ep != kPlaybackEndpoint || Faulted(ep, &fault))
        return ep == kPlaybackEndpoint ? fault : Handshake::Error;
    AdvanceTo(start);
    dac_.Push(start, packet.data(), packet.size() / kBytesPerFrame);
    return Handshake::Ack;
}

Handshake Instrument::BulkOut(uint8_t ep, std::span<const uint8_t> packet, usb::Time now) {
    Handshake fault;
    if (ep != kMidiOutEndpoint)
        return Handshake::Error;
    if (Faulted(ep, &fault))
        return fault;
    AdvanceTo(now);
    if (auto n = nakUntil_.find(ep); n != nakUntil_.end() && now < n->second)
        return Handshake::Nak;
    uint8_t bytes[3 * 128];
    size_t count = 0;
    for (size_t i = 0; i + 4 <= packet.size() && count + 3 <= sizeof(bytes); i += 4) {
        if ((packet[i] >> 4) != 0)
            continue; // only cable 0 has a jack
        const uint8_t n = kCinByteCount[packet[i] & 0x0F];
        for (uint8_t k = 0; k < n; ++k)
            bytes[count++] = packet[i + 1 + k];
    }
    if (midiOut_.Pending() + count > config_.midiOutBufferBytes)
        return Handshake::Nak;
    midiOut_.Send(now, bytes, count);
    return Handshake::Ack;
}

Handshake Instrument::BulkIn(uint8_t ep, std::span<uint8_t> buffer, uint32_t* length, usb::Time now) {
    *length = 0;
    Handshake fault;
    if (ep != kMidiInEndpoint)
        return Handshake::Error;
    if (Faulted(ep, &fault))
        return fault;
    AdvanceTo(now);
    if (auto n = nakUntil_.find(ep); n != nakUntil_.end() && now < n->second)
        return Handshake::Nak;
    auto& packets = midiIn_.Packets();
    if (packets.empty())
        return Handshake::Nak;
    size_t i = 0;
    for (; i + 4 <= buffer.size() && !packets.empty(); i += 4) {
        std::copy(packets.front().begin(), packets.front().end(), buffer.begin() + ptrdiff_t(i));
        packets.pop_front();
    }
    *length = uint32_t(i);
    return Handshake::Ack;
}

usb::Time Instrument::NextBulkChange(uint8_t ep, usb::Time now) {
    if (auto n = nakUntil_.find(ep); n != nakUntil_.end() && now < n->second)
        return n->second;
    if (ep == kMidiOutEndpoint)
        return midiOut_.NextByteEnd();
    if (ep == kMidiInEndpoint)
        return std::min(midiIn_.NextArrival(), midiLoopback_ ? midiOut_.NextByteEnd() : usb::kNever);
    return usb::kNever;
}

void Instrument::ScriptMidiInput(const std::vector<TimedByte>& bytes) {
    for (const auto& b : bytes)
        midiIn_.Receive(b);
}

void Instrument::AdvanceTo(usb::Time now) {
    dac_.AdvanceTo(now);
    midiOut_.AdvanceTo(now, [this](TimedByte b) {
        if (midiLoopback_)
            midiIn_.Receive(b);
    });
    midiIn_.AdvanceTo(now);
}

} // namespace instrument
