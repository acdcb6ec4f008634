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

ShortMessage Input::takeShortMessage(uint64_t timestamp) {
    ShortMessage message;
    message.status = shortBuffer_[0];
    message.data1 = shortBuffer_[1];
    message.data2 = shortBuffer_[2];
    message.timestamp = timestamp;
    writePos_ = 0;
    shortBuffer_[1] = shortBuffer_[2] = 0;
    return message;
}

void Input::parseInput(const uint8_t* data, int32_t length, uint64_t timestamp) {
    if (length < 1) return;
    // The short messages of a read are queued together, under one lock instead of one each:
    // a stream of notes and clocks had this thread and the reader trading the lock per message.
    const size_t kBatch = 16;
    ShortMessage batch[kBatch];
    size_t batched = 0;
    auto complete = [&] {
        batch[batched++] = takeShortMessage(timestamp);
        if (batched == kBatch) {
            shortQueue_.push(batch, batched);
            batched = 0;
        }
    };
    for (int32_t i = 0; i < length; ++i) {
        const uint8_t b = data[i];
        if (remaining_ != 0 && b < 0x80) {
            // remaining_ never exceeds the space left in the 3-byte buffer.
            shortBuffer_[writePos_++] = b;
            if (--remaining_ <= 0) complete();
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
            if (--remaining_ <= 0) complete();
        } else {
            remaining_ = 0;
            const bool wasOpen = collector_.open;
            collector_.addByte(b);
            if ((wasOpen || b == 0xF0) && !collector_.open) sysexQueue_.push(collector_);
        }
    }
    shortQueue_.push(batch, batched);
}

}  // namespace MIDI
