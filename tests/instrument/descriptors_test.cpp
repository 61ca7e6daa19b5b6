// The ZK-57's descriptors, walked with the USB driver library's own parser.
#include <gtest/gtest.h>

#include <usbdlib.h>

#include <instrument/descriptors.h>

namespace instrument {
namespace {

PUSB_CONFIGURATION_DESCRIPTOR AsConfig(std::vector<uint8_t>& bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

// The endpoint following interface (n, alt), or null.
PUSB_ENDPOINT_DESCRIPTOR EndpointOf(std::vector<uint8_t>& bytes, UCHAR n, UCHAR alt, int which = 0) {
    auto* config = AsConfig(bytes);
    auto* iface = USBD_ParseConfigurationDescriptor(config, n, alt);
    if (iface == nullptr)
        return nullptr;
    PVOID pos = iface;
    for (int i = 0; i < iface->bNumEndpoints; ++i) {
        auto* d = USBD_ParseDescriptors(config, config->wTotalLength, pos, USB_ENDPOINT_DESCRIPTOR_TYPE);
        if (d == nullptr)
            return nullptr;
        if (i == which)
            return reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(d);
        pos = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    return nullptr;
}

TEST(Descriptors, DeviceDescriptorIsEighteenBytesWithOneConfiguration) {
    auto d = DeviceDescriptor(usb::Speed::High);
    ASSERT_EQ(d.size(), 18u);
    auto* dd = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(d.data());
    EXPECT_EQ(dd->bLength, 18);
    EXPECT_EQ(dd->bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(USHORT(dd->idVendor), kVendorId);
    EXPECT_EQ(dd->bNumConfigurations, 1);
}

TEST(Descriptors, StandardLayoutAtBothSpeeds) {
    const struct {
        usb::Speed speed;
        USHORT iso, bulk;
    } cases[] = {{usb::Speed::Full, 288, 64}, {usb::Speed::High, 48, 512}};
    for (const auto& c : cases) {
        auto bytes = ConfigurationDescriptor(c.speed, DescriptorVariant::Standard);
        auto* config = AsConfig(bytes);
        EXPECT_EQ(USHORT(config->wTotalLength), bytes.size());
        EXPECT_EQ(config->bNumInterfaces, 3);
        // Idle alternate settings carry no endpoint.
        for (UCHAR n : {0, 1})
            EXPECT_EQ(USBD_ParseConfigurationDescriptor(config, n, 0)->bNumEndpoints, 0);
        auto* out = EndpointOf(bytes, 0, 1);
        auto* in = EndpointOf(bytes, 1, 1);
        ASSERT_TRUE(out && in);
        EXPECT_EQ(out->bEndpointAddress, kPlaybackEndpoint);
        EXPECT_EQ(in->bEndpointAddress, kCaptureEndpoint);
        EXPECT_EQ(out->bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_ISOCHRONOUS);
        EXPECT_EQ(USHORT(out->wMaxPacketSize), c.iso);
        EXPECT_EQ(USHORT(in->wMaxPacketSize), c.iso);
        for (UCHAR alt : {0, 1}) {
            auto* mo = EndpointOf(bytes, 2, alt, 0);
            auto* mi = EndpointOf(bytes, 2, alt, 1);
            ASSERT_TRUE(mo && mi);
            EXPECT_EQ(mo->bEndpointAddress, kMidiOutEndpoint);
            EXPECT_EQ(mi->bEndpointAddress, kMidiInEndpoint);
            EXPECT_EQ(mo->bmAttributes, USB_ENDPOINT_TYPE_BULK);
            EXPECT_EQ(USHORT(mi->wMaxPacketSize), c.bulk);
        }
        // The format type after interface 0 alt 1: bLength 11, 2 channels, 3 bytes, 24 bits, 44100.
        auto* fmt = USBD_ParseDescriptors(config, config->wTotalLength,
                                          USBD_ParseConfigurationDescriptor(config, 0, 1),
                                          USB_CS_INTERFACE_DESCRIPTOR_TYPE);
        fmt =
            USBD_ParseDescriptors(config, config->wTotalLength, reinterpret_cast<PUCHAR>(fmt) + fmt->bLength,
                                  USB_CS_INTERFACE_DESCRIPTOR_TYPE);
        const auto* f = reinterpret_cast<const uint8_t*>(fmt);
        EXPECT_EQ(std::vector<uint8_t>(f, f + 11),
                  (std::vector<uint8_t>{11, 0x24, 2, 1, 2, 3, 24, 1, 0x44, 0xAC, 0x00}));
    }
}

TEST(Descriptors, VariantsChangeWhatTheyClaim) {
    auto two = ConfigurationDescriptor(usb::Speed::Full, DescriptorVariant::TwoRateFormat);
    auto std_ = ConfigurationDescriptor(usb::Speed::Full, DescriptorVariant::Standard);
    EXPECT_EQ(two.size(), std_.size() + 6); // two format descriptors, 3 bytes longer each

    auto noEp = ConfigurationDescriptor(usb::Speed::Full, DescriptorVariant::CaptureAltWithoutEndpoint);
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(AsConfig(noEp), 1, 1)->bNumEndpoints, 0);
    EXPECT_NE(EndpointOf(noEp, 0, 1), nullptr);
    EXPECT_EQ(EndpointOf(noEp, 1, 1), nullptr);

    auto lng = ConfigurationDescriptor(usb::Speed::High, DescriptorVariant::LongConfiguration);
    EXPECT_GT(USHORT(AsConfig(lng)->wTotalLength), 255);
    EXPECT_NE(USBD_ParseConfigurationDescriptor(AsConfig(lng), 2, 1), nullptr);

    auto shrt = ConfigurationDescriptor(usb::Speed::High, DescriptorVariant::SingleMidiAltSetting);
    EXPECT_LE(USHORT(AsConfig(shrt)->wTotalLength), 136) << "fits a driver's first 136-byte read";
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(AsConfig(shrt), 2, 1), nullptr);
}

TEST(Descriptors, BrokenLengthsStopTheParserInsideTheBuffer) {
    // Parsing must end (no endless loop on bLength 0) and never read past the bytes the device
    // returns; AddressSanitizer catches the latter since each buffer is exactly sized.
    auto zero = ConfigurationDescriptor(usb::Speed::Full, DescriptorVariant::BrokenZeroLength);
    EXPECT_NE(USBD_ParseConfigurationDescriptor(AsConfig(zero), 0, 0), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(AsConfig(zero), 2, 1), nullptr) << "walk ends at bLength 0";
    EXPECT_EQ(USBD_ParseDescriptors(AsConfig(zero), AsConfig(zero)->wTotalLength, zero.data(), 0x77),
              nullptr);

    auto over = ConfigurationDescriptor(usb::Speed::Full, DescriptorVariant::BrokenOverrunLength);
    EXPECT_NE(USBD_ParseConfigurationDescriptor(AsConfig(over), 2, 1), nullptr);
    EXPECT_NE(EndpointOf(over, 2, 1, 0), nullptr);
    EXPECT_EQ(EndpointOf(over, 2, 1, 1), nullptr) << "a descriptor running past the end is not seen";
    auto bytes = ConfigurationDescriptor(usb::Speed::Full, DescriptorVariant::BrokenTotalLength);
    EXPECT_EQ(USHORT(AsConfig(bytes)->wTotalLength), bytes.size() + 64);
}

} // namespace
} // namespace instrument
