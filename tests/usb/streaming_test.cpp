// The test client streaming through the USB stack to the ZK-57 in virtual time: the frame count
// against drift, the capture-clocked playback FIFO, the test pattern end to end, the analog
// loopback delay and MIDI both ways at DIN speed.
#include "usb_fixture.h"

#include <cmath>

#include <instrument/test_pattern.h>

namespace usbtest {
namespace {

class Streaming : public UsbTest {};

struct SpeedDrift {
    usb::Speed speed;
    int32_t ppm;
};

TEST_F(Streaming, SixtySecondsAtEitherSpeedAndAnyDriftKeepCountFifoAndPattern) {
    const SpeedDrift cases[] = {{usb::Speed::Full, -200}, {usb::Speed::Full, 0}, {usb::Speed::Full, 200},
                                {usb::Speed::High, -200}, {usb::Speed::High, 0}, {usb::Speed::High, 200}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << (c.speed == usb::Speed::High ? "high" : "full") << " speed, " << c.ppm << " ppm");
        PDEVICE_OBJECT pdo = Plug(c.speed, {.driftPpm = c.ppm});
        auto left = std::make_shared<instrument::PatternChecker>(0);
        auto right = std::make_shared<instrument::PatternChecker>(1);
        OnInstrument([&](instrument::Instrument& i) {
            i.SetOutput(0, left);
            i.SetOutput(1, right);
        });
        {
            TestClient client(pdo, {.msPerTransfer = 4, .inFlight = 3});
            ASSERT_EQ(STATUS_SUCCESS, client.Configure());
            EXPECT_EQ(client.HighSpeed(), c.speed == usb::Speed::High);
            ASSERT_EQ(STATUS_SUCCESS, client.StartStreaming(60000));
            ASSERT_EQ(STATUS_WAIT_0, Wait(client.WindowDone(), 70000 * kMs));

            const CaptureStats cap = client.Capture_();
            const double expected = 44100.0 * 60 * (1 + c.ppm * 1e-6);
            EXPECT_NEAR(double(cap.windowFrames), expected, 1.0);
            EXPECT_EQ(cap.failed, 0u);
            EXPECT_EQ(cap.zeroPackets, 0u);
            instrument::DacStatus dac;
            OnInstrument([&](instrument::Instrument& i) { dac = i.Playback(); });
            EXPECT_TRUE(dac.running);
            EXPECT_EQ(dac.underruns, 0u);
            EXPECT_EQ(dac.overruns, 0u);
            EXPECT_LT(dac.depth, 200u);
            EXPECT_EQ(left->Breaks(), 0u);
            EXPECT_EQ(right->Breaks(), 0u);
            EXPECT_GT(left->PatternSamples(), 44100u * 59);
            EXPECT_EQ(client.PlaybackStarved(), 0u);

            // Stop feeding the DAC while capture goes on: the FIFO runs dry.
            client.SetFeeding(false);
            Sleep(100 * kMs);
            OnInstrument([&](instrument::Instrument& i) { dac = i.Playback(); });
            EXPECT_GT(dac.underruns, 44100u / 20);
            client.StopStreaming();
            EXPECT_EQ(client.Submissions(), client.Completions());
        }
        port_->Unplug();
        port_->DeletePdo();
    }
}

TEST_F(Streaming, LoopbackCableReturnsThePatternDelaySamplesLaterInCapture) {
    for (auto speed : {usb::Speed::Full, usb::Speed::High}) {
        int64_t firstAt[2] = {};
        const uint32_t delays[2] = {0, 37};
        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(::testing::Message() << "delay " << delays[run]);
            PDEVICE_OBJECT pdo = Plug(speed, {.driftPpm = 100});
            OnInstrument([&](instrument::Instrument& i) { i.ConnectAudioLoopback(delays[run]); });
            TestClient client(pdo, {});
            ASSERT_EQ(STATUS_SUCCESS, client.Configure());
            ASSERT_EQ(STATUS_SUCCESS, client.StartStreaming());
            Sleep(2000 * kMs);
            client.StopStreaming();
            const CaptureStats cap = client.Capture_();
            EXPECT_EQ(cap.firstPatternIndex, 0) << "the pattern comes back from its first frame";
            EXPECT_EQ(cap.patternBreaks, 0u);
            EXPECT_GT(cap.frames - uint64_t(cap.firstPatternAt), 44100u * 3 / 2);
            firstAt[run] = cap.firstPatternAt;
            port_->Unplug();
            port_->DeletePdo();
        }
        EXPECT_EQ(firstAt[1] - firstAt[0], 37) << "a cable of 37 samples delays capture by 37 frames";
    }
}

TEST_F(Streaming, MidiComesBackThroughTheLoopbackCableInOrderAtDinSpeed) {
    for (auto speed : {usb::Speed::Full, usb::Speed::High}) {
        PDEVICE_OBJECT pdo = Plug(speed);
        OnInstrument([](instrument::Instrument& i) { i.ConnectMidiLoopback(true); });
        TestClient client(pdo, {});
        ASSERT_EQ(STATUS_SUCCESS, client.Configure());
        ASSERT_EQ(STATUS_PENDING, client.StartMidiIn());
        // 40 note-ons on channel 1 in 4 bulk transfers: 120 MIDI bytes.
        std::vector<uint8_t> expected;
        const ULONGLONG start = KeQueryInterruptTime();
        for (int t = 0; t < 4; ++t) {
            std::vector<uint8_t> packets;
            for (int k = 0; k < 10; ++k) {
                const uint8_t note = uint8_t(t * 10 + k);
                packets.insert(packets.end(), {0x09, 0x90, note, 0x40});
            }
            expected.insert(expected.end(), packets.begin(), packets.end());
            ASSERT_EQ(STATUS_SUCCESS, client.SendMidi(packets));
        }
        std::vector<uint8_t> received;
        while (received.size() < expected.size()) {
            ASSERT_EQ(STATUS_WAIT_0, Wait(client.MidiInEvent(), 1000 * kMs));
            received.clear();
            for (const auto& r : client.MidiInReceived())
                received.insert(received.end(), r.packets.begin(), r.packets.end());
        }
        EXPECT_EQ(received, expected);
        // 120 bytes at 320 us each: the last event returns after 38.4 ms, within a frame of it.
        const auto all = client.MidiInReceived();
        const double elapsedMs = double(all.back().time - start) / kMs;
        EXPECT_GE(elapsedMs, 38.4);
        EXPECT_LE(elapsedMs, 38.4 + 2.0);
        std::vector<instrument::TimedByte> played;
        OnInstrument([&](instrument::Instrument& i) { played = i.MidiOutPlayed(); });
        ASSERT_EQ(played.size(), 120u);
        for (size_t k = 1; k < played.size(); ++k)
            EXPECT_EQ(played[k].time - played[k - 1].time, instrument::kMidiByteTime) << k;
        client.StopMidi();
        EXPECT_EQ(client.Submissions(), client.Completions());
        port_->Unplug();
        port_->DeletePdo();
    }
}

} // namespace
} // namespace usbtest
