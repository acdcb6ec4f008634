// Bytes from the instrument into the device's parser, cut into chunks the way an input
// port may deliver them. Byte 0 of the input is the chunk length (0: one chunk); the
// rest is the byte stream.

#include <cstdint>
#include <cstring>

#include "device/BaseDevice.h"
#include "fuzz/FuzzSupport.h"

namespace {

class CheckingDevice : public BaseDevice {
public:
    CheckingDevice() : BaseDevice("Lumetra", 30) {}

protected:
    void onConnectionChanged() override {}
    void onDump(uint8_t* message, int length) override {
        FUZZ_CHECK(length == 526 && message[525] == 0xF7);
        FUZZ_CHECK((message[8] & 0x20) == 0);
    }
    void onValueMessage(int32_t, int a, int b, bool) override { FUZZ_CHECK(a < 0x80 && b < 0x80); }
    void onStatus(int code, int extra, bool) override {
        FUZZ_CHECK(code == statusCode() && extra == statusExtra());
        FUZZ_CHECK(extra >= 0 && extra < 0x80);
    }
    void onSysexError(const char* text) override { FUZZ_CHECK(text && std::strlen(text) > 0); }
    void onBank(int value) override {
        FUZZ_CHECK(value >= 0 && value < 0x80);
        BaseDevice::onBank(value);
    }
    void onProgram(int value) override { FUZZ_CHECK(value >= 0 && value < 0x80); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (discardDebugOutput(), true);
    (void)quiet;
    if (size < 1) return 0;
    const size_t chunk = data[0] ? data[0] : size;
    CheckingDevice device;
    for (size_t at = 1; at < size; at += chunk) {
        const size_t n = size - at < chunk ? size - at : chunk;
        device.receiveMidi(data + at, static_cast<int>(n));
        FUZZ_CHECK(std::strlen(device.dumpText()) <= 16);
        FUZZ_CHECK(device.sysexCapacity() <= BaseDevice::kMaxSysexCapacity);
    }
    return 0;
}
