#include "midi/MidiPorts.h"

namespace MIDI {

int shortMessageLength(uint8_t status) {
    if (status < 0x80) return 0;
    if (status < 0xC0) return 3;
    if (status < 0xE0) return 2;
    if (status < 0xF0) return 3;
    switch (status) {
    case 0xF1:
    case 0xF3:
        return 2;
    case 0xF2:
        return 3;
    case 0xF6:
    case 0xF8:
    case 0xFA:
    case 0xFB:
    case 0xFC:
    case 0xFE:
    case 0xFF:
        return 1;
    default:  // F0, F7 and the undefined F4, F5, F9, FD
        return 0;
    }
}

void Input::completeShortMessage(uint64_t timestamp) {
    ShortMessage message;
    message.status = shortBuffer_[0];
    message.data1 = shortBuffer_[1];
    message.data2 = shortBuffer_[2];
    message.timestamp = timestamp;
    shortQueue_.push(message);
    writePos_ = 0;
    shortBuffer_[1] = shortBuffer_[2] = 0;
}

void Input::parseInput(const uint8_t* data, int32_t length, uint64_t timestamp) {
    if (length < 1) return;
    for (int32_t i = 0; i < length; ++i) {
        const uint8_t b = data[i];
        if (remaining_ != 0 && b < 0x80) {
            // remaining_ never exceeds the space left in the 3-byte buffer.
            shortBuffer_[writePos_++] = b;
            if (--remaining_ <= 0) completeShortMessage(timestamp);
        } else if (b >= 0x80 && b != 0xF0 && b != 0xF7) {
            // A status byte starts over; an open SysEx stays open around it.
            writePos_ = 0;
            shortBuffer_[1] = shortBuffer_[2] = 0;
            const int messageLength = shortMessageLength(b);
            if (messageLength == 0) {
                // Undefined system message: nothing to collect.
                remaining_ = 0;
                continue;
            }
            remaining_ = messageLength;
            shortBuffer_[writePos_++] = b;
            if (--remaining_ <= 0) completeShortMessage(timestamp);
        } else {
            remaining_ = 0;
            const bool wasOpen = collector_.open;
            collector_.addByte(b);
            if ((wasOpen || b == 0xF0) && !collector_.open) sysexQueue_.push(collector_);
        }
    }
}

}  // namespace MIDI
