#include "midi/MidiMessages.h"

#include <cstdio>

namespace MIDI {

void SysexMessage::addByte(uint8_t b) {
    if (!open) {
        if (b == 0xF0) {
            bytes.clear();
            bytes.push_back(b);
            open = true;
        }
        return;
    }
    if (b < 0x80 || b == 0xF7) {
        bytes.push_back(b);
        if (b == 0xF7) open = false;
        return;
    }
    std::printf("writing invalid sysex: 0x%2.2x", b);
    // Keeps the diagnostic in order with anything else written to the same stream.
    std::fflush(stdout);
}

SysexMessage SysexMessage::fromBuffer(const uint8_t* data, size_t length) {
    SysexMessage message;
    size_t i = 0;
    while (i < length && data[i] != 0xF0) ++i;
    for (; i < length; ++i) {
        message.addByte(data[i]);
        if (!message.open) break;
    }
    return message;
}

}  // namespace MIDI
