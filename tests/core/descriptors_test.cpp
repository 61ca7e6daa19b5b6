// FindAltSettingInfo over the instrument model's descriptors: the standard layout at both speeds,
// the variants a parser must judge, and broken descriptors that must neither hang nor overrun.
#include <gtest/gtest.h>

#include <instrument/descriptors.h>

#include <cstring>
#include <memory>

#include "UsbDevice.h"

namespace {

using instrument::DescriptorVariant;

struct Case {
    const char* name;
    usb::Speed speed;
    DescriptorVariant variant;
    UCHAR interfaceNumber;
    UCHAR alt;
    ULONG found;
    USHORT packetSize;
};

// The walk reads from an exact-size heap copy, so that a read past the end is an ASan report.
AltSettingInfo Find(const std::vector<uint8_t>& bytes, ULONG length, UCHAR number, UCHAR alt, ULONG* result) {
    auto copy = std::make_unique<uint8_t[]>(length);
    std::memcpy(copy.get(), bytes.data(), length);
    AltSettingInfo info = {};
    *result = FindAltSettingInfo(copy.get(), length, number, alt, &info);
    return info;
}

TEST(Descriptors, AltSettingInfoOverVariants) {
    const Case cases[] = {
        {"playback full speed", usb::Speed::Full, DescriptorVariant::Standard, 0, 1, 1, 288},
        {"capture full speed", usb::Speed::Full, DescriptorVariant::Standard, 1, 1, 1, 288},
        {"capture high speed", usb::Speed::High, DescriptorVariant::Standard, 1, 1, 1, 48},
        {"idle setting has no format", usb::Speed::Full, DescriptorVariant::Standard, 0, 0, 0, 0},
        {"MIDI has no format", usb::Speed::Full, DescriptorVariant::Standard, 2, 0, 0, 0},
        {"no such interface", usb::Speed::Full, DescriptorVariant::Standard, 3, 1, 0, 0},
        {"two rates refused", usb::Speed::Full, DescriptorVariant::TwoRateFormat, 0, 1, 0, 0},
        {"no endpoint", usb::Speed::Full, DescriptorVariant::CaptureAltWithoutEndpoint, 1, 1, 0, 0},
        {"playback beside it", usb::Speed::Full, DescriptorVariant::CaptureAltWithoutEndpoint, 0, 1, 1, 288},
        {"long configuration", usb::Speed::High, DescriptorVariant::LongConfiguration, 1, 1, 1, 48},
        {"zero bLength stops the walk", usb::Speed::Full, DescriptorVariant::BrokenZeroLength, 0, 1, 0, 0},
        {"zero bLength before capture", usb::Speed::Full, DescriptorVariant::BrokenZeroLength, 1, 1, 0, 0},
        {"overrun at the end", usb::Speed::Full, DescriptorVariant::BrokenOverrunLength, 1, 1, 1, 288},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto bytes = instrument::ConfigurationDescriptor(c.speed, c.variant);
        ULONG result = 0;
        AltSettingInfo info =
            Find(bytes, static_cast<ULONG>(bytes.size()), c.interfaceNumber, c.alt, &result);
        EXPECT_EQ(result, c.found);
        EXPECT_EQ(info.Found, c.found);
        EXPECT_EQ(info.PacketSize, c.packetSize);
    }
}

// Every prefix of the configuration: the walk never reads past the length it is given, and it
// finds the capture endpoint only once the endpoint's first 9 bytes lie inside.
TEST(Descriptors, TruncatedBuffersNeverOverrun) {
    const auto bytes = instrument::ConfigurationDescriptor(usb::Speed::Full, DescriptorVariant::Standard);
    ULONG firstFound = 0;
    for (ULONG length = 0; length <= bytes.size(); ++length) {
        ULONG result = 0;
        Find(bytes, length, 1, 1, &result);
        if (result != 0 && firstFound == 0)
            firstFound = length;
        if (firstFound != 0) {
            EXPECT_EQ(result, 1u) << "length " << length;
        }
    }
    ASSERT_NE(firstFound, 0u);
    const uint8_t* endpoint = bytes.data() + firstFound - 9;
    EXPECT_EQ(endpoint[1], USB_ENDPOINT_DESCRIPTOR_TYPE);
    EXPECT_EQ(endpoint[2], 0x82);
}

} // namespace
