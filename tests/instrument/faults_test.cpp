// Faults switched on the instrument, each with the effect on the wire a host controller sees.
#include <gtest/gtest.h>

#include "instrument_fixture.h"

namespace instrument {
namespace {

using testing::Streamer;

TEST(Faults, LostAndShortCapturePacketsThenNormalOnes) {
    Instrument dev;
    Streamer::Configure(dev, usb::Speed::Full);
    Streamer s{dev, usb::Speed::Full};
    dev.LoseCapturePackets(2);
    EXPECT_EQ(s.Step(nullptr), 0u);
    EXPECT_EQ(s.Step(nullptr), 0u);
    dev.ShortenCapturePackets(1, 40);
    const uint32_t shortLen = s.Step(nullptr);
    EXPECT_TRUE(shortLen == 4 * kBytesPerFrame || shortLen == 5 * kBytesPerFrame) << shortLen;
    EXPECT_GE(s.Step(nullptr), 44 * kBytesPerFrame);
}

TEST(Faults, FailedTransactionsStallsAndNaksUntilCleared) {
    Instrument dev;
    Streamer::Configure(dev, usb::Speed::Full);
    uint8_t buf[288];
    uint32_t len = 0;

    dev.FailTransactions(kCaptureEndpoint, 2);
    EXPECT_EQ(dev.IsoIn(kCaptureEndpoint, 0, usb::kFrameTime, buf, &len), usb::Handshake::Error);
    EXPECT_EQ(dev.IsoIn(kCaptureEndpoint, usb::kFrameTime, 2 * usb::kFrameTime, buf, &len),
              usb::Handshake::Error);
    EXPECT_EQ(dev.IsoIn(kCaptureEndpoint, 2 * usb::kFrameTime, 3 * usb::kFrameTime, buf, &len),
              usb::Handshake::Ack);

    dev.StallEndpoint(kMidiInEndpoint);
    dev.ScriptMidiInput({{0, 0xF8}});
    EXPECT_EQ(dev.BulkIn(kMidiInEndpoint, std::span(buf, 64), &len, 4 * usb::kFrameTime),
              usb::Handshake::Stall);
    EXPECT_EQ(dev.BulkIn(kMidiInEndpoint, std::span(buf, 64), &len, 5 * usb::kFrameTime),
              usb::Handshake::Stall);
    dev.ClearEndpointHalt(kMidiInEndpoint, 6 * usb::kFrameTime);
    EXPECT_EQ(dev.BulkIn(kMidiInEndpoint, std::span(buf, 64), &len, 6 * usb::kFrameTime),
              usb::Handshake::Ack);
    EXPECT_EQ(len, 4u);

    const std::vector<uint8_t> clock{0x0F, 0xF8, 0, 0};
    const usb::Time until = 20 * usb::kFrameTime;
    dev.NakBulkUntil(kMidiOutEndpoint, until);
    EXPECT_EQ(dev.BulkOut(kMidiOutEndpoint, clock, 7 * usb::kFrameTime), usb::Handshake::Nak);
    EXPECT_EQ(dev.NextBulkChange(kMidiOutEndpoint, 7 * usb::kFrameTime), until);
    EXPECT_EQ(dev.BulkOut(kMidiOutEndpoint, clock, until), usb::Handshake::Ack);
}

TEST(Faults, EndpointsOfIdleAlternateSettingsDoNotAnswer) {
    Instrument dev;
    dev.Attach(usb::Speed::High, 0);
    dev.SetConfiguration(1, 0);
    uint8_t buf[48];
    uint32_t len = 0;
    EXPECT_EQ(dev.IsoIn(kCaptureEndpoint, 0, usb::kMicroframeTime, buf, &len), usb::Handshake::Error);
    EXPECT_EQ(dev.SetInterface(kCaptureInterface, 2, 0), usb::Handshake::Stall);
    EXPECT_EQ(dev.SetInterface(kCaptureInterface, 1, 0), usb::Handshake::Ack);
    EXPECT_EQ(dev.IsoIn(kCaptureEndpoint, 0, usb::kMicroframeTime, buf, &len), usb::Handshake::Ack);
    dev.Detach(usb::kMicroframeTime);
    EXPECT_EQ(dev.IsoIn(kCaptureEndpoint, usb::kMicroframeTime, 2 * usb::kMicroframeTime, buf, &len),
              usb::Handshake::Error);
}

} // namespace
} // namespace instrument
