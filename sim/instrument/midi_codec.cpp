#include "midi_codec.h"

namespace instrument {

void MidiEventPacker::EndSysEx(std::vector<MidiEventPacket>& out) {
    // CIN 5, 6, 7: SysEx ends with the 1, 2 or 3 bytes held (the last one normally 0xF7).
    if (count_ == 1)
        Emit(0x5, held_[0], 0, 0, out);
    else if (count_ == 2)
        Emit(0x6, held_[0], held_[1], 0, out);
    else if (count_ == 3)
        Emit(0x7, held_[0], held_[1], held_[2], out);
    count_ = 0;
    state_ = State::Idle;
}

void MidiEventPacker::Put(uint8_t b, std::vector<MidiEventPacket>& out) {
    if (b >= 0xF8) { // real time: one byte, anywhere, state untouched
        Emit(0xF, b, 0, 0, out);
        return;
    }
    if (b == 0xF7) {
        if (state_ == State::SysEx) {
            held_[count_++] = b;
            EndSysEx(out);
        }
        return; // a stray end of SysEx is ignored
    }
    if (b >= 0x80) {
        if (state_ == State::SysEx) // a status byte ends an unterminated SysEx
            EndSysEx(out);
        count_ = 0;
        switch (b) {
        case 0xF0:
            state_ = State::SysEx;
            status_ = 0;
            held_[count_++] = b;
            return;
        case 0xF1:
        case 0xF3:
            status_ = b, need_ = 1, state_ = State::Message;
            return;
        case 0xF2:
            status_ = b, need_ = 2, state_ = State::Message;
            return;
        case 0xF6:
            Emit(0x5, b, 0, 0, out);
            status_ = 0, state_ = State::Idle;
            return;
        case 0xF4:
        case 0xF5: // undefined system common
            status_ = 0, state_ = State::Idle;
            return;
        default: // channel voice: program change and channel pressure take one data byte
            status_ = b;
            need_ = (b & 0xE0) == 0xC0 ? 1 : 2;
            state_ = State::Message;
            return;
        }
    }
    // A data byte.
    if (state_ == State::SysEx) {
        held_[count_++] = b;
        if (count_ == 3) {
            Emit(0x4, held_[0], held_[1], held_[2], out);
            count_ = 0;
        }
        return;
    }
    if (status_ == 0)
        return; // no status to run on
    held_[count_++] = b;
    if (count_ < need_)
        return;
    uint8_t cin = uint8_t(status_ >> 4);
    if (status_ == 0xF1 || status_ == 0xF3)
        cin = 0x2;
    else if (status_ == 0xF2)
        cin = 0x3;
    Emit(cin, status_, held_[0], need_ == 2 ? held_[1] : 0, out);
    count_ = 0;
    if (status_ >= 0xF0) // system common messages do not set running status
        status_ = 0;
}

} // namespace instrument
