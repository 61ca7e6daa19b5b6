// The playback side of the instrument: a FIFO of frames in front of a DAC that plays one frame
// per period of the instrument's sample clock.  The DAC starts once the playback interface is
// streaming and the FIFO holds the start-up fill; from then on each period takes one frame, or
// plays silence and counts an underrun when the FIFO is empty.  Frames that arrive when the FIFO
// is full are dropped and counted as overruns.  Leaving the streaming alternate setting stops the
// DAC and empties the FIFO.  The last kHistory frames played stay readable for the loopback cable.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "audio_jacks.h"
#include "sample_clock.h"

namespace instrument {

struct DacStatus {
    bool running = false;
    uint32_t depth = 0;        // frames waiting in the FIFO
    uint64_t underruns = 0;    // periods played as silence for lack of a frame
    uint64_t overruns = 0;     // frames dropped because the FIFO was full
    uint64_t framesPlayed = 0; // frames taken from the FIFO
};

class Dac {
public:
    static constexpr size_t kHistory = size_t(1) << 16;

    Dac(const SampleClock& clock, uint32_t capacityFrames, uint32_t startFrames);

    void SetSink(int channel, std::shared_ptr<AudioSink> sink) {
        sinks_[size_t(channel & 1)] = std::move(sink);
    }
    // Streaming alternate setting selected (true) or left (false: stop and empty the FIFO).
    void SetStreaming(bool streaming, usb::Time now);
    // Plays every period that ends by `now`.
    void AdvanceTo(usb::Time now);
    // A packet of 6-byte frames arriving at `now`.
    void Push(usb::Time now, const uint8_t* frames, size_t count);
    // What the DAC played on `channel` at sample index `index` (silence when idle or too old).
    int32_t Output(int channel, int64_t index) const;
    int64_t Position() const { return position_; } // sample periods played or skipped so far

    DacStatus Status() const { return status_; }

private:
    const SampleClock& clock_;
    uint32_t capacity_;
    uint32_t startFrames_;
    bool streaming_ = false;
    int64_t position_ = 0;
    std::vector<std::array<int32_t, 2>> fifo_; // ring of `capacity_` frames
    size_t head_ = 0;
    std::vector<std::array<int32_t, 2>> history_; // indexed by sample index mod kHistory
    std::array<std::shared_ptr<AudioSink>, 2> sinks_;
    std::array<std::vector<int32_t>, 2> played_; // scratch for the sinks
    DacStatus status_;
};

} // namespace instrument
