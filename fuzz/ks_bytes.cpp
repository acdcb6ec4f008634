// A driver's reply to a kernel-streaming property request, read as the filter, pin and
// device-manager code read it: KSMULTIPLE_ITEM headers of fixed-size items, and the data
// ranges of a pin, each music range tested as a MIDI port and as a hidden MIDI pin.

#include <cstdint>
#include <initializer_list>

#include "devices/DeviceMatching.h"
#include "fuzz/FuzzSupport.h"
#include "ks/KsBytes.h"

namespace {

// The walks of the pin (any data range) and of the MIDI filter (music ranges only).
void walk(const uint8_t* reply, size_t size, size_t minimum) {
    ksbytes::DataRangeWalk walk(reply, size, minimum);
    uint32_t ranges = 0;
    while (const uint8_t* range = walk.Next()) {
        FUZZ_CHECK(range >= reply + ksbytes::kMultipleItemHeaderSize && range < reply + size);
        const size_t left = static_cast<size_t>(reply + size - range);
        const uint32_t formatSize = ksbytes::ReadU32(range);
        FUZZ_CHECK(formatSize >= minimum && formatSize <= left);
        if (minimum >= ksbytes::kMusicRangeMinimum) {
            ksbytes::IsMidiPortRange(range);
            isHiddenMidiRange(range);
        }
        ++ranges;
        FUZZ_CHECK(ranges <= walk.Announced());
    }
    FUZZ_CHECK(!walk.Complete() || ranges == walk.Announced());
    FUZZ_CHECK(walk.Next() == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Item sizes of the replies read this way: GUIDs (categories) and KSIDENTIFIERs.
    for (size_t itemSize : {size_t(16), size_t(24)}) {
        uint32_t count = 0;
        if (ksbytes::MultipleItemCount(data, size, itemSize, &count)) {
            FUZZ_CHECK(ksbytes::kMultipleItemHeaderSize + uint64_t(count) * itemSize <= size);
            for (uint32_t i = 0; i < count; ++i)
                ksbytes::ReadGuid(data + ksbytes::kMultipleItemHeaderSize + size_t(i) * itemSize);
        }
    }
    walk(data, size, ksbytes::kDataRangeSize);
    walk(data, size, ksbytes::kMusicRangeMinimum);
    return 0;
}
