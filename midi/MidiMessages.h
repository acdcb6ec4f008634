#pragma once
// The two records that cross the port interfaces. Byte-level code: no Windows headers.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace MIDI {

struct ShortMessage {
    uint8_t status = 0;
    int32_t data1 = 0;
    int32_t data2 = 0;
    uint64_t timestamp = 0;  // nanoseconds, as the receiving port supplied it
};

struct SysexMessage {
    std::vector<uint8_t> bytes;
    bool open = false;

    // Collects one byte: F0 starts a message, data bytes and F7 continue it, F7 closes it.
    // Any other byte inside a message is reported on standard output and dropped.
    void addByte(uint8_t b);

    // The first complete (or still open) message in a raw buffer; bytes before the first F0
    // are skipped, and bytes after the closing F7 are not looked at.
    static SysexMessage fromBuffer(const uint8_t* data, size_t length);
};

}  // namespace MIDI
