#include "devices/DuskerCodec.h"

const uint8_t kDuskerStartReset[3] = {0xB0, 0x00, 0x00};
const uint8_t kDuskerStartMode[8] = {0x28, 0x00, 0x2B, 0x4A, 0x2C, 0x00, 0x2E, 0x35};
const uint8_t kDuskerStartLeds[6] = {0x2A, 0x02, 0x2C, 0x72, 0x2E, 0x30};

std::vector<DuskerControlChange> decodeDuskerReport(const uint8_t* bytes, int32_t count, int32_t& held) {
    std::vector<DuskerControlChange> out;
    if (bytes == nullptr) return out;
    int32_t at = 0;
    while (at < count) {
        const uint8_t b = bytes[at];
        if (b == 0xB0) {
            ++at;
            continue;
        }
        // Every other byte leads a pair; a lone last byte is half a pair.
        if (count - at < 2) break;
        const uint8_t next = bytes[at + 1];
        // The high part is seven bits and the low part bit 6 alone, so that a report byte
        // of 0x80 or more cannot push the value past 255.
        if (b == 0x48)
            held = (next & 0x7F) * 2;
        else if (b == 0x49)
            out.push_back({0x48, ((next >> 6) & 1) + held});
        else
            out.push_back({b, next});
        at += 2;
    }
    return out;
}
