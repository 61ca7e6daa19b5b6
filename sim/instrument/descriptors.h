// The ZK-57's USB descriptors and the variants tests use to exercise a driver's parser.
//
// Layout of the standard configuration (one configuration, three interfaces):
//   interface 0, playback: alt 0 no endpoint; alt 1 AS general, format type I (2 ch, 3-byte
//                subframes, 24 bits, 44100 Hz), isochronous OUT endpoint 0x01
//   interface 1, capture:  the same with isochronous IN endpoint 0x82
//   interface 2, MIDI:     alt 0 and alt 1, each bulk OUT 0x03 then bulk IN 0x84
#pragma once

#include <cstdint>
#include <vector>

#include <usb/function.h>

namespace instrument {

inline constexpr uint16_t kVendorId = 0x7A57; // invented, not a registered vendor
inline constexpr uint16_t kProductId = 0x0057;

inline constexpr uint8_t kPlaybackEndpoint = 0x01;
inline constexpr uint8_t kCaptureEndpoint = 0x82;
inline constexpr uint8_t kMidiOutEndpoint = 0x03;
inline constexpr uint8_t kMidiInEndpoint = 0x84;
inline constexpr uint8_t kPlaybackInterface = 0;
inline constexpr uint8_t kCaptureInterface = 1;
inline constexpr uint8_t kMidiInterface = 2;

inline constexpr uint32_t kSampleRate = 44100;
inline constexpr uint32_t kBytesPerFrame = 6; // 2 channels x 3 bytes

// wMaxPacketSize of the isochronous endpoints: the most frames a packet can carry plus margin for
// drift (48 frames a 1-ms frame, 8 frames a microframe).
inline constexpr uint16_t kIsoPacketSizeFull = 288;
inline constexpr uint16_t kIsoPacketSizeHigh = 48;
inline constexpr uint16_t kBulkPacketSizeFull = 64;
inline constexpr uint16_t kBulkPacketSizeHigh = 512;

enum class DescriptorVariant {
    Standard,
    TwoRateFormat,             // format-type descriptors list 44100 and 48000 Hz (bLength 14)
    CaptureAltWithoutEndpoint, // interface 1 alt 1 has its class descriptors but no endpoint
    LongConfiguration,         // vendor descriptors appended: wTotalLength above 255
    SingleMidiAltSetting,      // interface 2 has alt 0 only: 136 bytes, the standard is 159
    BrokenZeroLength,          // a descriptor with bLength 0 in the middle
    BrokenOverrunLength,       // the last descriptor's bLength runs past wTotalLength
    BrokenTotalLength,         // wTotalLength claims more bytes than the device returns
};

std::vector<uint8_t> DeviceDescriptor(usb::Speed speed);
std::vector<uint8_t> ConfigurationDescriptor(usb::Speed speed, DescriptorVariant variant);

} // namespace instrument
