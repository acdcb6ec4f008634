// Reports of the Dusker controller through its decoder, one after another with the held
// high part carried across, as the controller's input port reads them. Byte 0 of the
// input is the report length (0: one report).

#include <cstdint>
#include <vector>

#include "devices/DuskerCodec.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t report = data[0] ? data[0] : size;
    int32_t held = 0;
    for (size_t at = 1; at < size; at += report) {
        const size_t n = size - at < report ? size - at : report;
        const std::vector<DuskerControlChange> changes =
            decodeDuskerReport(data + at, static_cast<int32_t>(n), held);
        // Each change takes a pair of bytes of the report.
        FUZZ_CHECK(changes.size() * 2 <= n);
        for (const DuskerControlChange& change : changes) {
            // A byte each, but for controller 0x48's value of high part and bit 6 together.
            FUZZ_CHECK(change.controller >= 0 && change.controller <= 0xFF);
            FUZZ_CHECK(change.value >= 0 && change.value <= 0xFF);
        }
        FUZZ_CHECK(held >= 0 && held <= 0xFE);
    }
    return 0;
}
