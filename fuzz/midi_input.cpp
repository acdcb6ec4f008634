// Raw bytes into an input port's parser, in chunks as a receiving thread hands them over
// (byte 0: chunk length, 0 for one chunk), then the records the application would read.

#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "midi/MidiPorts.h"

namespace {

class FuzzInput : public MIDI::Input {
public:
    void feed(const uint8_t* bytes, size_t length, uint64_t timestamp) {
        parseInput(bytes, static_cast<int32_t>(length), timestamp);
    }
    uint32_t getPortId() override { return 1; }
    uint32_t getDeviceId() override { return 1; }
    bool isPresent() override { return true; }
};

// Reads every record the port holds; gives the number of input bytes they account for.
size_t drain(FuzzInput& input, uint64_t lastTimestamp) {
    size_t bytes = 0;
    while (input.hasShortMessage()) {
        const MIDI::ShortMessage m = input.getShortMessage();
        const int length = MIDI::shortMessageLength(m.status);
        FUZZ_CHECK(length >= 1 && length <= 3);
        FUZZ_CHECK(m.data1 >= 0 && m.data1 < 0x80 && m.data2 >= 0 && m.data2 < 0x80);
        FUZZ_CHECK(m.timestamp >= 1 && m.timestamp <= lastTimestamp);
        bytes += static_cast<size_t>(length);
    }
    while (input.hasSysex()) {
        const MIDI::SysexMessage m = input.getSysex();
        FUZZ_CHECK(!m.open && m.bytes.size() >= 2);
        FUZZ_CHECK(m.bytes.front() == 0xF0 && m.bytes.back() == 0xF7);
        for (size_t i = 1; i + 1 < m.bytes.size(); ++i) FUZZ_CHECK(m.bytes[i] < 0x80);
        bytes += m.bytes.size();
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t chunk = data[0] ? data[0] : size;
    FuzzInput input;
    uint64_t timestamp = 0;
    size_t accounted = 0;
    for (size_t at = 1; at < size; at += chunk) {
        const size_t n = size - at < chunk ? size - at : chunk;
        input.feed(data + at, n, ++timestamp);
        // With an even chunk length the application reads between deliveries.
        if (!(data[0] & 1)) accounted += drain(input, timestamp);
    }
    accounted += drain(input, timestamp);
    // Whatever was read came out of the input: nothing is made up or doubled.
    FUZZ_CHECK(accounted <= size - 1);
    return 0;
}
