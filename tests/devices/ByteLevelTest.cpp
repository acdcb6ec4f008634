// The Windows-free parts: identity text, hidden data range, Dusker decoding, packets.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "devices/DeviceMatching.h"
#include "devices/DuskerCodec.h"
#include "devices/PacketBuffer.h"
#include "ks/KsBytes.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<DuskerControlChange> Decode(const Bytes& bytes, int32_t& held) {
    return decodeDuskerReport(bytes.data(), static_cast<int32_t>(bytes.size()), held);
}

TEST(UsbIdentity, FormatsLowercaseFourDigitIds) {
    EXPECT_EQ(usbIdentityText(0x7A51, 0x4A06), "vid_7a51&pid_4a06");
    EXPECT_EQ(usbIdentityText(0x00AB, 0x0001), "vid_00ab&pid_0001");
    EXPECT_EQ(usbIdentityText(0x7A51, 0x4A06).size(), 17u);
}

TEST(UsbIdentity, MatchesAnywhereInThePathCaseSensitively) {
    EXPECT_TRUE(pathHasUsbIdentity("\\\\?\\usb#vid_7a51&pid_4a06#5&1#{x}", 0x7A51, 0x4A06));
    EXPECT_TRUE(pathHasUsbIdentity("vid_7a51&pid_4a06", 0x7A51, 0x4A06));
    EXPECT_FALSE(pathHasUsbIdentity("\\\\?\\usb#VID_7A51&PID_4A06#5&1", 0x7A51, 0x4A06));
    EXPECT_FALSE(pathHasUsbIdentity("\\\\?\\usb#vid_7a51&pid_4a07#5&1", 0x7A51, 0x4A06));
    EXPECT_FALSE(pathHasUsbIdentity("\\\\?\\usb#vid_7a51&pid_4a0", 0x7A51, 0x4A06));
    EXPECT_FALSE(pathHasUsbIdentity("", 0x7A51, 0x4A06));
    EXPECT_FALSE(pathHasUsbIdentity(nullptr, 0x7A51, 0x4A06));
}

Bytes Range(const ksbytes::KsGuid& major, const ksbytes::KsGuid& sub, const ksbytes::KsGuid& technology) {
    Bytes range(96, 0);
    std::memcpy(range.data() + ksbytes::kMajorFormatOffset, &major, 16);
    std::memcpy(range.data() + ksbytes::kSubFormatOffset, &sub, 16);
    std::memcpy(range.data() + ksbytes::kTechnologyOffset, &technology, 16);
    return range;
}

TEST(HiddenRange, AdmitsOnlyMusicHiddenSubformatPortTechnology) {
    const ksbytes::KsGuid hidden = {0x39D30B88, 0x6CFE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
    ksbytes::KsGuid nearly = hidden;
    nearly.data4[7] = 0x01;
    EXPECT_TRUE(isHiddenMidiRange(
        Range(ksbytes::kDataFormatTypeMusic, hidden, ksbytes::kMusicTechnologyPort).data()));
    EXPECT_FALSE(isHiddenMidiRange(
        Range(ksbytes::kDataFormatTypeMusic, ksbytes::kDataFormatSubtypeMidi, ksbytes::kMusicTechnologyPort).data()));
    EXPECT_FALSE(isHiddenMidiRange(Range(ksbytes::kPropSetPin, hidden, ksbytes::kMusicTechnologyPort).data()));
    EXPECT_FALSE(isHiddenMidiRange(Range(ksbytes::kDataFormatTypeMusic, hidden, ksbytes::kPropSetPin).data()));
    EXPECT_FALSE(isHiddenMidiRange(
        Range(ksbytes::kDataFormatTypeMusic, nearly, ksbytes::kMusicTechnologyPort).data()));
}

TEST(DuskerDecode, ControllerPairsWithOptionalStatus) {
    int32_t held = 0;
    auto out = Decode({0xB0, 0x10, 0x40}, held);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].controller, 0x10);
    EXPECT_EQ(out[0].value, 0x40);

    out = Decode({0x10, 0x01, 0xB0, 0xB0, 0x11, 0x7F, 0x12, 0x05}, held);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1].controller, 0x11);
    EXPECT_EQ(out[1].value, 0x7F);
    EXPECT_EQ(out[2].controller, 0x12);
    // A byte of 0x80 or more other than B0 is a controller number like any other.
    out = Decode({0x90, 0x3C}, held);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].controller, 0x90);
    EXPECT_EQ(held, 0);
}

TEST(DuskerDecode, HighResolutionController) {
    int32_t held = 0;
    auto out = Decode({0x48, 0x20, 0x49, 0x40}, held);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].controller, 0x48);
    EXPECT_EQ(out[0].value, 0x41);
    EXPECT_EQ(held, 0x40);

    held = 0;
    out = Decode({0x49, 0x7F}, held);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].value, 1);

    out = Decode({0x48, 0x7F, 0x49, 0x7F}, held);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].value, 255);

    // The held part stays from one report to the next.
    out = Decode({0x49, 0x00}, held);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].value, 254);
}

TEST(DuskerDecode, HighResolutionValueStaysWithinItsByte) {
    // Report bytes of 0x80 and more: only seven bits of the high part and bit 6 count.
    int32_t held = 0;
    auto out = Decode({0x48, 0xFF, 0x49, 0xFF}, held);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(held, 254);
    EXPECT_EQ(out[0].value, 255);
    out = Decode({0x48, 0x80, 0x49, 0xBF}, held);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].value, 0);
}

TEST(DuskerDecode, IncompleteAndEmptyReports) {
    int32_t held = 7;
    EXPECT_TRUE(Decode({0x10}, held).empty());
    EXPECT_TRUE(Decode({0x10, 0x20, 0x30}, held).size() == 1u);
    EXPECT_TRUE(Decode({0x48}, held).empty());
    EXPECT_EQ(held, 7);
    EXPECT_TRUE(Decode({0x49}, held).empty());
    EXPECT_TRUE(Decode({0xB0}, held).empty());
    EXPECT_TRUE(Decode({}, held).empty());
    const uint8_t some[] = {0x10, 0x20};
    EXPECT_TRUE(decodeDuskerReport(some, 0, held).empty());
    EXPECT_TRUE(decodeDuskerReport(some, -5, held).empty());
    EXPECT_TRUE(decodeDuskerReport(nullptr, 2, held).empty());
}

TEST(Packets, FillToTheirSize) {
    PacketBuffer three(3);
    EXPECT_FALSE(three.append(1));
    EXPECT_FALSE(three.append(2));
    EXPECT_EQ(three.free(), 1);
    EXPECT_TRUE(three.append(3));
    EXPECT_EQ(three.pending(), 3);
    EXPECT_EQ(Bytes(three.data(), three.data() + 3), (Bytes{1, 2, 3}));
    three.clear();
    EXPECT_EQ(three.pending(), 0);
    EXPECT_EQ(three.free(), 3);

    PacketBuffer eight(8);
    for (int i = 0; i < 7; ++i) EXPECT_FALSE(eight.append(static_cast<uint8_t>(i)));
    EXPECT_TRUE(eight.append(7));
    // Sizes beyond the storage are cut to it.
    EXPECT_EQ(PacketBuffer(64).size(), PacketBuffer::kMaxSize);
}

}  // namespace
