// Outgoing bytes gathered into the hidden outputs' packets: byte 0 picks the packet size
// (any value, as a table row might give it) and where flushes fall; the rest is sent.
// The packets that go out, in order, must be exactly the bytes that came in.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "devices/PacketBuffer.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int requested = static_cast<int8_t>(data[0]);
    PacketBuffer packet(requested);
    FUZZ_CHECK(packet.size() >= 1 && packet.size() <= PacketBuffer::kMaxSize);
    std::vector<uint8_t> sent;
    auto send = [&] {
        FUZZ_CHECK(packet.pending() >= 0 && packet.pending() <= packet.size());
        sent.insert(sent.end(), packet.data(), packet.data() + packet.pending());
        packet.clear();
        FUZZ_CHECK(packet.pending() == 0 && packet.free() == packet.size());
    };
    for (size_t at = 1; at < size; ++at) {
        if (packet.append(data[at])) {
            FUZZ_CHECK(packet.pending() == packet.size() && packet.free() == 0);
            send();
        }
        // The end of a SysEx goes out at once, as the port's flush makes it.
        if (data[at] == 0xF7) send();
    }
    send();
    FUZZ_CHECK(sent.size() == size - 1);
    FUZZ_CHECK(std::equal(sent.begin(), sent.end(), data + 1));
    return 0;
}
