#include "midi_jacks.h"

#include <algorithm>

namespace instrument {

void MidiOutJack::Send(usb::Time now, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const usb::Time start = std::max(now, lineFree_);
        queue_.push_back({start, bytes[i]});
        lineFree_ = start + kMidiByteTime;
    }
}

void MidiOutJack::AdvanceTo(usb::Time now, const std::function<void(TimedByte)>& delivered) {
    while (!queue_.empty() && queue_.front().time + kMidiByteTime <= now) {
        const TimedByte b = queue_.front();
        queue_.pop_front();
        played_.push_back(b);
        if (delivered)
            delivered({b.time + kMidiByteTime, b.byte});
    }
}

void MidiInJack::Receive(TimedByte byte) {
    auto at = std::upper_bound(incoming_.begin(), incoming_.end(), byte.time,
                               [](usb::Time t, const TimedByte& b) { return t < b.time; });
    incoming_.insert(at, byte);
}

void MidiInJack::AdvanceTo(usb::Time now) {
    while (!incoming_.empty() && incoming_.front().time <= now) {
        scratch_.clear();
        packer_.Put(incoming_.front().byte, scratch_);
        incoming_.pop_front();
        packets_.insert(packets_.end(), scratch_.begin(), scratch_.end());
    }
}

} // namespace instrument
