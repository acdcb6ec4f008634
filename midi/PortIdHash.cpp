#include "midi/PortIdHash.h"

uint32_t portIdHash(const std::string& text) {
    uint32_t h = 2166136261u;
    for (char c : text) {
        const uint32_t v = static_cast<uint8_t>(c);
        h *= 16777619u;
        h ^= v < 0x80 ? v : (0xFFFFFF00u | v);
    }
    return h;
}
