// A firmware file taken apart as the update does: the start message, every data message
// up to its F7, and the SysEx record built from each.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "device/FirmwareImage.h"
#include "fuzz/FuzzSupport.h"
#include "midi/MidiMessages.h"

namespace {

void checkRecord(const std::vector<uint8_t>& message) {
    MIDI::SysexMessage record = MIDI::SysexMessage::fromBuffer(message.data(), message.size());
    if (record.bytes.empty()) return;  // no F0 in the message: nothing to send
    FUZZ_CHECK(record.bytes.front() == 0xF0);
    FUZZ_CHECK(record.bytes.size() <= message.size());
    for (size_t i = 1; i < record.bytes.size(); ++i) {
        const bool last = i + 1 == record.bytes.size();
        FUZZ_CHECK(record.bytes[i] < 0x80 || (last && record.bytes[i] == 0xF7));
    }
    FUZZ_CHECK(record.open == (record.bytes.back() != 0xF7 || record.bytes.size() == 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (discardDebugOutput(), true);
    (void)quiet;
    if (size > UINT32_MAX) return 0;
    FirmwareImage image;
    image.assign(data, static_cast<uint32_t>(size));
    FUZZ_CHECK(image.size() == size && image.total() == FirmwareImage::kProgressTotal);

    // The messages and the dropped tail together are the file, in order.
    std::vector<uint8_t> rebuilt;
    std::vector<uint8_t> message;
    if (image.takeStartMessage(message)) {
        FUZZ_CHECK(message.size() > 5 && message[5] == FirmwareImage::kStartMarker);
        FUZZ_CHECK(message.back() == 0xF7);
        FUZZ_CHECK(image.cursor() == message.size());
        checkRecord(message);
        rebuilt.insert(rebuilt.end(), message.begin(), message.end());
    } else {
        FUZZ_CHECK(image.cursor() == 0);
    }
    while (image.takeNextMessage(message)) {
        FUZZ_CHECK(!message.empty() && message.back() == 0xF7);
        for (size_t i = 0; i + 1 < message.size(); ++i) FUZZ_CHECK(message[i] != 0xF7);
        checkRecord(message);
        rebuilt.insert(rebuilt.end(), message.begin(), message.end());
        FUZZ_CHECK(image.cursor() == rebuilt.size());
    }
    FUZZ_CHECK(image.cursor() == image.size());
    FUZZ_CHECK(rebuilt.size() + image.droppedTailBytes() == size);
    FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), data));
    return 0;
}
