// Bytes from the instrument into the device's parser, cut into chunks the way an input
// port may deliver them. Byte 0 of the input is the chunk length (0: one chunk); the
// rest is the byte stream. The same bytes then make one SysEx with real-time bytes mixed
// in, which cut the same way must give the hooks of the clean message arriving whole.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "device/BaseDevice.h"
#include "fuzz/FuzzSupport.h"

namespace {

class CheckingDevice : public BaseDevice {
public:
    CheckingDevice() : BaseDevice("Lumetra", 30) {}
    std::string hooks;  // every hook called, in order

    void feed(const uint8_t* bytes, size_t size, size_t chunk) {
        for (size_t at = 0; at < size; at += chunk) {
            const size_t n = size - at < chunk ? size - at : chunk;
            receiveMidi(bytes + at, static_cast<int>(n));
            FUZZ_CHECK(std::strlen(dumpText()) <= 16);
            FUZZ_CHECK(sysexCapacity() <= BaseDevice::kMaxSysexCapacity);
        }
    }

protected:
    void onConnectionChanged() override {}
    void onDump(uint8_t* message, int length) override {
        FUZZ_CHECK(length == 526 && message[525] == 0xF7);
        FUZZ_CHECK((message[8] & 0x20) == 0);
        hooks += "dump " + std::string(dumpText()) + ";";
    }
    void onValueMessage(int32_t value, int a, int b, bool type10) override {
        FUZZ_CHECK(a < 0x80 && b < 0x80);
        hooks += "value " + std::to_string(value) + " " + std::to_string(a) + " " + std::to_string(b) +
                 (type10 ? " 10;" : ";");
    }
    void onStatus(int code, int extra, bool bit11) override {
        FUZZ_CHECK(code == statusCode() && extra == statusExtra());
        FUZZ_CHECK(extra >= 0 && extra < 0x80);
        hooks += "status " + std::to_string(code) + " " + std::to_string(extra) + (bit11 ? " 1;" : " 0;");
    }
    void onSysexError(const char* text) override {
        FUZZ_CHECK(text && std::strlen(text) > 0);
        hooks += std::string("error ") + text + ";";
    }
    void onBank(int value) override {
        FUZZ_CHECK(value >= 0 && value < 0x80);
        hooks += "bank " + std::to_string(value) + ";";
        BaseDevice::onBank(value);
    }
    void onProgram(int value) override {
        FUZZ_CHECK(value >= 0 && value < 0x80);
        hooks += "program " + std::to_string(value) + ";";
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (discardDebugOutput(), true);
    (void)quiet;
    if (size < 1) return 0;
    const size_t chunk = data[0] ? data[0] : size;
    CheckingDevice device;
    device.feed(data + 1, size - 1, chunk);

    // Input bytes of F8 and up are real-time bytes mixed in; the others are the message's
    // data bytes (seven bits each) between its F0 and F7.
    std::vector<uint8_t> clean{0xF0}, noisy{0xF0};
    for (size_t at = 1; at < size; ++at) {
        if (data[at] >= 0xF8) {
            noisy.push_back(data[at]);
        } else {
            clean.push_back(data[at] & 0x7F);
            noisy.push_back(data[at] & 0x7F);
        }
    }
    clean.push_back(0xF7);
    noisy.push_back(0xF7);
    CheckingDevice whole, cut;
    whole.feed(clean.data(), clean.size(), clean.size());
    cut.feed(noisy.data(), noisy.size(), chunk);
    FUZZ_CHECK(cut.hooks == whole.hooks);
    return 0;
}
