// The instrument's own 44100-Hz sample clock, which runs fast or slow against the bus clock by a
// set number of ppm.  Exact integer accounting: FramesBy(t) is the number of sample periods that
// have ended by machine time t, floor(t * 44100 * (1e6 + ppm) / (1e6 * 1e7)), so that any split of
// an interval into packets delivers exactly the frames of the whole interval.
#pragma once

#include <cstdint>

#include <usb/function.h>

namespace instrument {

class SampleClock {
public:
    explicit SampleClock(uint32_t rate = 44100, int32_t ppm = 0) : rate_(rate), ppm_(ppm) {}

    int32_t Ppm() const { return ppm_; }

    int64_t FramesBy(usb::Time t) const {
        if (t <= 0)
            return 0;
        const __int128 num = static_cast<__int128>(t) * rate_ * (1000000 + ppm_);
        return static_cast<int64_t>(num / (static_cast<__int128>(1000000) * 10000000));
    }

    // Frames whose sample period ends inside [start, end).
    int64_t FramesIn(usb::Time start, usb::Time end) const { return FramesBy(end) - FramesBy(start); }

private:
    uint32_t rate_;
    int32_t ppm_;
};

} // namespace instrument
