#include "descriptors.h"

namespace instrument {
namespace {

class Builder {
public:
    void Bytes(std::initializer_list<uint8_t> b) { out_.insert(out_.end(), b); }
    void Word(uint16_t w) { Bytes({uint8_t(w & 0xFF), uint8_t(w >> 8)}); }
    std::vector<uint8_t>& Out() { return out_; }

    void Interface(uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t subclass) {
        // bLength, INTERFACE, number, alt, endpoints, class audio, subclass, protocol, iInterface
        Bytes({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alt, endpoints, 0x01, subclass, 0x00, 0x00});
    }
    void AsGeneral(uint8_t terminal) {
        // bLength 7, CS_INTERFACE, AS_GENERAL, bTerminalLink, bDelay 1, wFormatTag PCM
        Bytes({7, USB_CS_INTERFACE_DESCRIPTOR_TYPE, 0x01, terminal, 0x01});
        Word(0x0001);
    }
    void FormatType(bool twoRates) {
        // FORMAT_TYPE I: 2 channels, 3-byte subframes, 24 bits, discrete rates of 3 bytes each
        Bytes({uint8_t(twoRates ? 14 : 11), USB_CS_INTERFACE_DESCRIPTOR_TYPE, 0x02, 0x01, 2, 3, 24,
               uint8_t(twoRates ? 2 : 1)});
        Bytes({0x44, 0xAC, 0x00}); // 44100
        if (twoRates)
            Bytes({0x80, 0xBB, 0x00}); // 48000
    }
    void IsoEndpoint(uint8_t address, uint16_t maxPacket) {
        // audio-class endpoint: bLength 9, asynchronous isochronous, bInterval 1, bRefresh, bSynchAddress
        Bytes({9, USB_ENDPOINT_DESCRIPTOR_TYPE, address, 0x05});
        Word(maxPacket);
        Bytes({1, 0, 0});
        // class-specific endpoint: EP_GENERAL, no controls, no lock delay
        Bytes({7, USB_CS_ENDPOINT_DESCRIPTOR_TYPE, 0x01, 0x00, 0x00});
        Word(0);
    }
    void BulkEndpoint(uint8_t address, uint16_t maxPacket) {
        Bytes({7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK});
        Word(maxPacket);
        Bytes({0});
    }

private:
    std::vector<uint8_t> out_;
};

} // namespace

std::vector<uint8_t> DeviceDescriptor(usb::Speed) {
    Builder b;
    b.Bytes({18, USB_DEVICE_DESCRIPTOR_TYPE});
    b.Word(0x0200);         // bcdUSB 2.0
    b.Bytes({0, 0, 0, 64}); // class in the interfaces; control packets of 64 bytes
    b.Word(kVendorId);
    b.Word(kProductId);
    b.Word(0x0100);        // bcdDevice
    b.Bytes({1, 2, 0, 1}); // manufacturer and product strings, no serial, one configuration
    return std::move(b.Out());
}

std::vector<uint8_t> ConfigurationDescriptor(usb::Speed speed, DescriptorVariant variant) {
    const bool high = speed == usb::Speed::High;
    const uint16_t isoSize = high ? kIsoPacketSizeHigh : kIsoPacketSizeFull;
    const uint16_t bulkSize = high ? kBulkPacketSizeHigh : kBulkPacketSizeFull;
    const bool twoRates = variant == DescriptorVariant::TwoRateFormat;

    Builder b;
    b.Bytes({9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 3, 1, 0, 0x80, 250});

    const struct {
        uint8_t number, terminal, endpoint;
    } streams[] = {{kPlaybackInterface, 1, kPlaybackEndpoint}, {kCaptureInterface, 2, kCaptureEndpoint}};
    for (const auto& s : streams) {
        const bool noEndpoint =
            variant == DescriptorVariant::CaptureAltWithoutEndpoint && s.number == kCaptureInterface;
        b.Interface(s.number, 0, 0, 0x02);
        b.Interface(s.number, 1, noEndpoint ? 0 : 1, 0x02);
        b.AsGeneral(s.terminal);
        b.FormatType(twoRates);
        if (!noEndpoint)
            b.IsoEndpoint(s.endpoint, isoSize);
    }
    const int midiAlts = variant == DescriptorVariant::SingleMidiAltSetting ? 1 : 2;
    for (int alt = 0; alt < midiAlts; ++alt) {
        b.Interface(kMidiInterface, uint8_t(alt), 2, 0x03);
        b.BulkEndpoint(kMidiOutEndpoint, bulkSize);
        b.BulkEndpoint(kMidiInEndpoint, bulkSize);
    }
    if (variant == DescriptorVariant::LongConfiguration) {
        // Vendor-specific descriptors (type 0xFF) that a parser must skip by bLength.
        for (int i = 0; i < 6; ++i) {
            b.Bytes({32, 0xFF});
            for (int j = 0; j < 30; ++j)
                b.Bytes({uint8_t(i * 30 + j)});
        }
    }

    auto& out = b.Out();
    uint16_t total = uint16_t(out.size());
    switch (variant) {
    case DescriptorVariant::BrokenZeroLength:
        out[9 + 9] = 0; // interface 0 alt 1 claims bLength 0
        break;
    case DescriptorVariant::BrokenOverrunLength:
        out[out.size() - 7] = 40; // the last endpoint runs 33 bytes past the end
        break;
    case DescriptorVariant::BrokenTotalLength:
        total = uint16_t(total + 64);
        break;
    default:
        break;
    }
    out[2] = uint8_t(total & 0xFF);
    out[3] = uint8_t(total >> 8);
    return std::move(out);
}

} // namespace instrument
