// MIDI on the instrument: the USB-MIDI packing of MIDI IN bytes, MIDI OUT at DIN speed with its
// record, the loopback cable, scripted input and bulk flow control.
#include <gtest/gtest.h>

#include "instrument_fixture.h"

namespace instrument {
namespace {

using Packets = std::vector<MidiEventPacket>;

TEST(MidiPacker, MessagesBecomeEventPacketsWithTheirCodeIndexNumbers) {
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        Packets packets;
    } cases[] = {
        {"note on with running status",
         {0x90, 0x3C, 0x40, 0x3E, 0x00},
         {{0x09, 0x90, 0x3C, 0x40}, {0x09, 0x90, 0x3E, 0x00}}},
        {"program change and channel pressure",
         {0xC2, 0x05, 0x06, 0xD1, 0x7F},
         {{0x0C, 0xC2, 0x05, 0}, {0x0C, 0xC2, 0x06, 0}, {0x0D, 0xD1, 0x7F, 0}}},
        {"pitch bend, control change",
         {0xE0, 0x00, 0x40, 0xB3, 0x07, 0x64},
         {{0x0E, 0xE0, 0x00, 0x40}, {0x0B, 0xB3, 0x07, 0x64}}},
        {"sysex of five bytes",
         {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7},
         {{0x04, 0xF0, 0x7E, 0x7F}, {0x07, 0x09, 0x01, 0xF7}}},
        {"sysex ending with one and two bytes",
         {0xF0, 0x01, 0x02, 0xF7, 0xF0, 0x01, 0x02, 0x03, 0xF7},
         {{0x04, 0xF0, 0x01, 0x02}, {0x05, 0xF7, 0, 0}, {0x04, 0xF0, 0x01, 0x02}, {0x06, 0x03, 0xF7, 0}}},
        {"real time inside sysex",
         {0xF0, 0x01, 0xF8, 0x02, 0xF7},
         {{0x0F, 0xF8, 0, 0}, {0x04, 0xF0, 0x01, 0x02}, {0x05, 0xF7, 0, 0}}},
        {"system common",
         {0xF1, 0x10, 0xF2, 0x01, 0x02, 0xF3, 0x05, 0xF6},
         {{0x02, 0xF1, 0x10, 0}, {0x03, 0xF2, 0x01, 0x02}, {0x02, 0xF3, 0x05, 0}, {0x05, 0xF6, 0, 0}}},
        {"system common cancels running status",
         {0x90, 0x3C, 0x40, 0xF6, 0x3E, 0x00},
         {{0x09, 0x90, 0x3C, 0x40}, {0x05, 0xF6, 0, 0}}},
        {"real time keeps running status",
         {0x80, 0x3C, 0xFE, 0x00, 0x3D, 0x00},
         {{0x0F, 0xFE, 0, 0}, {0x08, 0x80, 0x3C, 0x00}, {0x08, 0x80, 0x3D, 0x00}}},
        {"data without status and stray end", {0x10, 0x20, 0xF7, 0xF4, 0x01}, {}},
        {"a status byte ends an open sysex",
         {0xF0, 0x01, 0x92, 0x40, 0x7F},
         {{0x06, 0xF0, 0x01, 0}, {0x09, 0x92, 0x40, 0x7F}}},
    };
    for (const auto& c : cases) {
        MidiEventPacker packer;
        Packets out;
        for (uint8_t b : c.bytes)
            packer.Put(b, out);
        EXPECT_EQ(out, c.packets) << c.what;
    }
}

class MidiDevice : public ::testing::Test {
protected:
    void SetUp() override {
        dev.Attach(usb::Speed::Full, 0);
        dev.SetConfiguration(1, 0);
    }
    usb::Handshake Out(std::vector<uint8_t> packet, usb::Time t) {
        return dev.BulkOut(kMidiOutEndpoint, packet, t);
    }
    Packets In(usb::Time t, usb::Handshake expect = usb::Handshake::Ack) {
        uint8_t buf[64];
        uint32_t len = 0;
        EXPECT_EQ(dev.BulkIn(kMidiInEndpoint, buf, &len, t), expect);
        Packets p;
        for (uint32_t i = 0; i + 4 <= len; i += 4)
            p.push_back({buf[i], buf[i + 1], buf[i + 2], buf[i + 3]});
        return p;
    }
    Instrument dev;
};

TEST_F(MidiDevice, OutBytesArePlayedAtDinSpeedAndLoopBackAsPackets) {
    dev.ConnectMidiLoopback(true);
    const usb::Time t0 = 5 * usb::kFrameTime;
    // Note on (3 bytes), a clock tick (1 byte), and a packet on cable 1, which has no jack.
    ASSERT_EQ(Out({0x09, 0x90, 0x3C, 0x40, 0x0F, 0xF8, 0, 0, 0x19, 0x91, 1, 1}, t0), usb::Handshake::Ack);
    EXPECT_EQ(dev.NextBulkChange(kMidiInEndpoint, t0), t0 + kMidiByteTime);
    In(t0 + 3 * kMidiByteTime - 1, usb::Handshake::Nak); // the note's last byte is still on the line
    EXPECT_EQ(dev.NextBulkChange(kMidiInEndpoint, t0 + 3 * kMidiByteTime - 1), t0 + 3 * kMidiByteTime);

    dev.AdvanceTo(t0 + 10 * kMidiByteTime);
    const std::vector<TimedByte> played{{t0, 0x90},
                                        {t0 + kMidiByteTime, 0x3C},
                                        {t0 + 2 * kMidiByteTime, 0x40},
                                        {t0 + 3 * kMidiByteTime, 0xF8}};
    EXPECT_EQ(dev.MidiOutPlayed(), played);
    EXPECT_EQ(In(t0 + 10 * kMidiByteTime), (Packets{{0x09, 0x90, 0x3C, 0x40}, {0x0F, 0xF8, 0, 0}}));
}

TEST_F(MidiDevice, ScriptedInputArrivesAtItsTimes) {
    const usb::Time t = 3 * usb::kFrameTime;
    dev.ScriptMidiInput({{t, 0xB0}, {t + 100, 0x07}, {t + 200, 0x7F}, {t + 300, 0x08}});
    EXPECT_EQ(dev.NextBulkChange(kMidiInEndpoint, 0), t);
    In(t + 100, usb::Handshake::Nak);
    EXPECT_EQ(In(t + 200), (Packets{{0x0B, 0xB0, 0x07, 0x7F}}));
    In(t + 300, usb::Handshake::Nak); // running status: one data byte of the next message
}

TEST_F(MidiDevice, BulkOutNaksWhileItsBufferIsFull) {
    Instrument small({.midiOutBufferBytes = 6});
    small.Attach(usb::Speed::Full, 0);
    small.SetConfiguration(1, 0);
    const std::vector<uint8_t> two{0x09, 0x90, 1, 2, 0x09, 0x90, 3, 4}; // 6 MIDI bytes
    EXPECT_EQ(small.BulkOut(kMidiOutEndpoint, two, 0), usb::Handshake::Ack);
    EXPECT_EQ(small.BulkOut(kMidiOutEndpoint, two, 0), usb::Handshake::Nak);
    EXPECT_EQ(small.NextBulkChange(kMidiOutEndpoint, 0), kMidiByteTime);
    EXPECT_EQ(small.BulkOut(kMidiOutEndpoint, two, 6 * kMidiByteTime), usb::Handshake::Ack);
    small.AdvanceTo(20 * kMidiByteTime);
    EXPECT_EQ(small.MidiOutPlayed().size(), 12u);
    EXPECT_EQ(small.MidiOutPlayed()[6].time, 6 * kMidiByteTime);
}

TEST_F(MidiDevice, VendorRequestTwoIsRecordedAndOthersStall) {
    uint32_t len = 0;
    const USB_DEFAULT_PIPE_SETUP_PACKET vendor2{0x40, 2, 0x1234, 0, 0};
    const USB_DEFAULT_PIPE_SETUP_PACKET vendor3{0x40, 3, 1, 0, 0};
    const USB_DEFAULT_PIPE_SETUP_PACKET classReq{0x21, 2, 1, 0, 0};
    EXPECT_EQ(dev.ControlRequest(vendor2, {}, &len, 0), usb::Handshake::Ack);
    EXPECT_EQ(dev.ControlRequest(vendor3, {}, &len, 0), usb::Handshake::Stall);
    EXPECT_EQ(dev.ControlRequest(classReq, {}, &len, 0), usb::Handshake::Stall);
    EXPECT_EQ(dev.VendorRequests(), std::vector<uint16_t>{0x1234});
}

} // namespace
} // namespace instrument
