#pragma once
// USB identity of the maker's models as their device interface paths carry it. These are
// the values the maker's driver registers; change them here only.

#include <cstdint>

namespace usbids {

constexpr uint16_t kVendor = 0x7A51;

constexpr uint16_t kDusker = 0x4A01;
constexpr uint16_t kXrMkII = 0x4A02;
constexpr uint16_t kOmniMkII = 0x4A03;
constexpr uint16_t kDuskerKeyboard = 0x4A04;
constexpr uint16_t kQuarvel = 0x4A05;
constexpr uint16_t kStroma25 = 0x4A06;
constexpr uint16_t kStroma49 = 0x4A07;
constexpr uint16_t kStroma61 = 0x4A08;

}  // namespace usbids
