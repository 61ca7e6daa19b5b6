// The numbered test pattern: every 24-bit sample names its frame index and channel, so that a
// receiver proves that no frame was lost, repeated or reordered.  Sample = bit 23 (marker, never
// set in silence) | channel << 22 | index mod 2^22.
#pragma once

#include <cstdint>
#include <optional>

namespace instrument {

inline constexpr int32_t kPatternIndexMask = 0x3FFFFF;

// The sample as a sign-extended 24-bit value (what a 3-byte little-endian slot carries).
inline int32_t PatternSample(int64_t index, int channel) {
    const uint32_t raw = 0x800000u | (uint32_t(channel & 1) << 22) | uint32_t(index & kPatternIndexMask);
    return int32_t(raw << 8) >> 8;
}

// The index (mod 2^22) a pattern sample names for `channel`, or nothing for any other value.
inline std::optional<int32_t> PatternIndex(int32_t sample, int channel) {
    const uint32_t raw = uint32_t(sample) & 0xFFFFFF;
    if ((raw & 0x800000u) == 0 || ((raw >> 22) & 1) != uint32_t(channel & 1))
        return std::nullopt;
    return int32_t(raw & kPatternIndexMask);
}

// 3-byte little-endian signed samples, as the wire carries them.
inline void PutSample24(uint8_t* p, int32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
}
inline int32_t GetSample24(const uint8_t* p) {
    const uint32_t raw = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
    return int32_t(raw << 8) >> 8;
}

} // namespace instrument
