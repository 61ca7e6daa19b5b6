#include "dac.h"

#include <algorithm>

#include "test_pattern.h"

namespace instrument {

Dac::Dac(const SampleClock& clock, uint32_t capacityFrames, uint32_t startFrames)
    : clock_(clock), capacity_(capacityFrames), startFrames_(startFrames), fifo_(capacityFrames),
      history_(kHistory, std::array<int32_t, 2>{0, 0}) {}

void Dac::SetStreaming(bool streaming, usb::Time now) {
    AdvanceTo(now);
    streaming_ = streaming;
    if (!streaming) {
        status_.running = false;
        status_.depth = 0;
        head_ = 0;
    }
}

void Dac::AdvanceTo(usb::Time now) {
    const int64_t target = clock_.FramesBy(now);
    if (target <= position_)
        return;
    if (!status_.running) {
        // Idle: the outputs are silent; only the part the history can hold matters.
        const int64_t from = std::max(position_, target - int64_t(kHistory));
        for (int64_t i = from; i < target; ++i)
            history_[size_t(i) % kHistory] = {0, 0};
        position_ = target;
        return;
    }
    const size_t count = size_t(target - position_);
    for (auto& p : played_)
        p.resize(count);
    for (size_t i = 0; i < count; ++i) {
        std::array<int32_t, 2> frame{0, 0};
        if (status_.depth > 0) {
            frame = fifo_[head_];
            head_ = (head_ + 1) % capacity_;
            --status_.depth;
            ++status_.framesPlayed;
        } else {
            ++status_.underruns;
        }
        history_[size_t(position_ + int64_t(i)) % kHistory] = frame;
        played_[0][i] = frame[0];
        played_[1][i] = frame[1];
    }
    for (size_t c = 0; c < 2; ++c)
        if (sinks_[c])
            sinks_[c]->Consume(position_, played_[c].data(), count);
    position_ = target;
}

void Dac::Push(usb::Time now, const uint8_t* frames, size_t count) {
    AdvanceTo(now);
    if (!streaming_)
        return;
    for (size_t i = 0; i < count; ++i) {
        if (status_.depth == capacity_) {
            status_.overruns += count - i;
            break;
        }
        const uint8_t* f = frames + i * 6;
        fifo_[(head_ + status_.depth) % capacity_] = {GetSample24(f), GetSample24(f + 3)};
        ++status_.depth;
    }
    if (!status_.running && status_.depth >= startFrames_)
        status_.running = true;
}

int32_t Dac::Output(int channel, int64_t index) const {
    if (index < 0 || index >= position_ || index < position_ - int64_t(kHistory))
        return 0;
    return history_[size_t(index) % kHistory][size_t(channel & 1)];
}

} // namespace instrument
