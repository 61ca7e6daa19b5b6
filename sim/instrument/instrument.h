// The ZK-57 as a USB device: descriptors, the ADC and DAC on the instrument's own drifting sample
// clock, the analog and MIDI jacks, vendor-request recording and switchable faults.
//
// A plain object with no threads: the host controller drives it through usb::Function with
// non-decreasing times, and whoever owns it serialises every call (the stack holds its device lock;
// tests reach it through the stack or call it directly).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include <usb/function.h>

#include "audio_jacks.h"
#include "dac.h"
#include "descriptors.h"
#include "midi_jacks.h"
#include "sample_clock.h"

namespace instrument {

struct InstrumentConfig {
    int32_t driftPpm = 0; // the sample clock against the bus clock
    DescriptorVariant descriptors = DescriptorVariant::Standard;
    uint32_t fifoCapacityFrames = 4096; // playback FIFO
    uint32_t fifoStartFrames = 88;      // the DAC starts once this many frames wait (2 ms)
    uint32_t midiOutBufferBytes = 1024; // MIDI bytes the bulk OUT endpoint holds before it NAKs
};

struct CaptureStatus {
    uint64_t packets = 0; // isochronous IN packets answered
    uint64_t frames = 0;  // frames they carried
};

class Instrument : public usb::Function {
public:
    explicit Instrument(InstrumentConfig config = {});

    // usb::Function
    void Attach(usb::Speed speed, usb::Time now) override;
    void Detach(usb::Time now) override;
    std::span<const uint8_t> Descriptor(uint8_t type, uint8_t index) override;
    usb::Handshake SetConfiguration(uint8_t value, usb::Time now) override;
    usb::Handshake SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting, usb::Time now) override;
    usb::Handshake ClearEndpointHalt(uint8_t endpointAddress, usb::Time now) override;
    usb::Handshake ControlRequest(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<uint8_t> data,
                                  uint32_t* length, usb::Time now) override;
    usb::Handshake IsoIn(uint8_t endpointAddress, usb::Time start, usb::Time end, std::span<uint8_t> buffer,
                         uint32_t* length) override;
    usb::Handshake IsoOut(uint8_t endpointAddress, usb::Time start, usb::Time end,
                          std::span<const uint8_t> packet) override;
    usb::Handshake BulkOut(uint8_t endpointAddress, std::span<const uint8_t> packet, usb::Time now) override;
    usb::Handshake BulkIn(uint8_t endpointAddress, std::span<uint8_t> buffer, uint32_t* length,
                          usb::Time now) override;
    usb::Time NextBulkChange(uint8_t endpointAddress, usb::Time now) override;
    void AdvanceTo(usb::Time now) override;

    // Analog jacks (channel 0 left, 1 right).
    void SetInput(int channel, std::shared_ptr<AudioSource> source);
    void SetOutput(int channel, std::shared_ptr<AudioSink> sink) { dac_.SetSink(channel, std::move(sink)); }
    // Loopback cable from each analog output to the input of the same channel, `delay` samples late.
    void ConnectAudioLoopback(uint32_t delaySamples);

    // MIDI jacks.
    void ConnectMidiLoopback(bool connected) { midiLoopback_ = connected; }
    void ScriptMidiInput(const std::vector<TimedByte>& bytes);
    const std::vector<TimedByte>& MidiOutPlayed() const { return midiOut_.Played(); }

    // What happened.
    DacStatus Playback() const { return dac_.Status(); }
    CaptureStatus Capture() const { return capture_; }
    const SampleClock& Clock() const { return clock_; }
    const std::vector<uint16_t>& VendorRequests() const { return vendorRequests_; }
    uint8_t Configuration() const { return configuration_; }
    uint8_t AlternateSetting(uint8_t interfaceNumber) const { return alt_[interfaceNumber % 3]; }

    // Faults, each in force until used up or cleared.
    void LoseCapturePackets(uint32_t count) { losePackets_ = count; }
    void ShortenCapturePackets(uint32_t count, uint32_t framesMissing);
    // The next `count` transactions on the endpoint fail on the wire (CRC/no answer).
    void FailTransactions(uint8_t endpointAddress, uint32_t count) { failures_[endpointAddress] = count; }
    // The endpoint answers STALL until the host clears the halt.
    void StallEndpoint(uint8_t endpointAddress) { stalled_[endpointAddress] = true; }
    // A slow bulk endpoint: NAK until `until`.
    void NakBulkUntil(uint8_t endpointAddress, usb::Time until) { nakUntil_[endpointAddress] = until; }

private:
    bool EndpointActive(uint8_t endpointAddress) const;
    // Common fault checks; returns true and sets *result when a fault decides the transaction.
    bool Faulted(uint8_t endpointAddress, usb::Handshake* result);
    void RenderInput(int channel, int64_t first, size_t frames);

    InstrumentConfig config_;
    usb::Speed speed_ = usb::Speed::Full;
    bool attached_ = false;
    std::vector<uint8_t> deviceDescriptor_;
    std::vector<uint8_t> configurationDescriptor_;
    uint8_t configuration_ = 0;
    std::array<uint8_t, 3> alt_{};

    SampleClock clock_;
    Dac dac_;
    std::array<std::shared_ptr<AudioSource>, 2> inputs_;
    bool audioLoopback_ = false;
    uint32_t loopbackDelay_ = 0;
    std::array<std::vector<int32_t>, 2> rendered_; // scratch
    CaptureStatus capture_;

    MidiOutJack midiOut_;
    MidiInJack midiIn_;
    bool midiLoopback_ = false;

    std::vector<uint16_t> vendorRequests_;

    uint32_t losePackets_ = 0;
    uint32_t shortPackets_ = 0;
    uint32_t shortBy_ = 0;
    std::map<uint8_t, uint32_t> failures_;
    std::map<uint8_t, bool> stalled_;
    std::map<uint8_t, usb::Time> nakUntil_;
};

} // namespace instrument
