#include "devices/DeviceMatching.h"

#include <cstring>

#include "ks/KsBytes.h"
#include "support/Diagnostics.h"

namespace {

constexpr ksbytes::KsGuid kHiddenMidiSubFormat = {
    0x39D30B88, 0x6CFE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

}  // namespace

std::string usbIdentityText(uint16_t vendorId, uint16_t productId) {
    char text[128];
    FormatShortText(text, "vid_%4.4x&pid_%4.4x", static_cast<unsigned>(vendorId), static_cast<unsigned>(productId));
    return text;
}

bool pathHasUsbIdentity(const char* path, uint16_t vendorId, uint16_t productId) {
    if (path == nullptr) return false;
    const std::string identity = usbIdentityText(vendorId, productId);
    return !identity.empty() && std::strstr(path, identity.c_str()) != nullptr;
}

bool isHiddenMidiRange(const uint8_t* range) {
    return ksbytes::ReadGuid(range + ksbytes::kMajorFormatOffset) == ksbytes::kDataFormatTypeMusic &&
           ksbytes::ReadGuid(range + ksbytes::kSubFormatOffset) == kHiddenMidiSubFormat &&
           ksbytes::ReadGuid(range + ksbytes::kTechnologyOffset) == ksbytes::kMusicTechnologyPort;
}
