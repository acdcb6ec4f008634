#include <gtest/gtest.h>

#include <vector>

#include "midi/MidiMessages.h"
#include "midi/PortIdHash.h"
#include "midi/RefCounted.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Tracked : public RefCounted {
public:
    explicit Tracked(int& destroyed) : destroyed_(destroyed) {}
    ~Tracked() override { ++destroyed_; }

private:
    int& destroyed_;
};

TEST(RefCountedTest, LastReleaseDestroysAndAddRefKeepsAlive) {
    int destroyed = 0;
    Tracked* object = new Tracked(destroyed);
    object->addRef();
    object->release();
    EXPECT_EQ(destroyed, 0);
    object->release();
    EXPECT_EQ(destroyed, 1);
}

MIDI::SysexMessage feed(const Bytes& bytes) {
    MIDI::SysexMessage message;
    for (uint8_t b : bytes) message.addByte(b);
    return message;
}

TEST(SysexMessageTest, CollectsFromF0ToF7) {
    const MIDI::SysexMessage message = feed({0x11, 0xF0, 0x01, 0x7F, 0xF7, 0x05});
    EXPECT_EQ(message.bytes, (Bytes{0xF0, 0x01, 0x7F, 0xF7}));
    EXPECT_FALSE(message.open);
}

TEST(SysexMessageTest, StaysOpenUntilF7AndNewF0StartsOver) {
    MIDI::SysexMessage message = feed({0xF0, 0x01});
    EXPECT_TRUE(message.open);
    message.addByte(0xF7);
    message.addByte(0xF0);
    EXPECT_EQ(message.bytes, (Bytes{0xF0}));
    EXPECT_TRUE(message.open);
}

TEST(SysexMessageTest, InvalidByteInsideIsReportedAndDropped) {
    testing::internal::CaptureStdout();
    const MIDI::SysexMessage message = feed({0xF0, 0x01, 0xF0, 0x90, 0x02, 0xF7});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "writing invalid sysex: 0xf0writing invalid sysex: 0x90");
    EXPECT_EQ(message.bytes, (Bytes{0xF0, 0x01, 0x02, 0xF7}));
}

TEST(SysexMessageTest, FromBufferSkipsLeadAndStopsAtClose) {
    const Bytes raw = {0x00, 0x7F, 0xF0, 0x7A, 0x51, 0xF7, 0xF0, 0x22, 0xF7};
    const MIDI::SysexMessage message = MIDI::SysexMessage::fromBuffer(raw.data(), raw.size());
    EXPECT_EQ(message.bytes, (Bytes{0xF0, 0x7A, 0x51, 0xF7}));
    EXPECT_FALSE(message.open);

    const Bytes none = {0x01, 0x02, 0xF7};
    EXPECT_TRUE(MIDI::SysexMessage::fromBuffer(none.data(), none.size()).bytes.empty());

    const Bytes cut = {0xF0, 0x01, 0x02};
    const MIDI::SysexMessage open = MIDI::SysexMessage::fromBuffer(cut.data(), cut.size());
    EXPECT_EQ(open.bytes, cut);
    EXPECT_TRUE(open.open);
    EXPECT_TRUE(MIDI::SysexMessage::fromBuffer(nullptr, 0).bytes.empty());
}

TEST(SysexMessageTest, CopyIsDeep) {
    MIDI::SysexMessage a = feed({0xF0, 0x01, 0xF7});
    MIDI::SysexMessage b = a;
    a.addByte(0xF0);
    EXPECT_EQ(b.bytes, (Bytes{0xF0, 0x01, 0xF7}));
}

TEST(PortIdHashTest, KnownValuesAndSignExtension) {
    EXPECT_EQ(portIdHash(""), 0x811C9DC5u);
    EXPECT_EQ(portIdHash("abc"), 0x439C2F4Bu);
    EXPECT_EQ(portIdHash("\xE9"), 0xFAF3A2F6u);
    // Plain FNV-1 would give a different value for a byte above 0x7F.
    EXPECT_NE(portIdHash("\xE9"), (0x811C9DC5u * 16777619u) ^ 0xE9u);
    EXPECT_EQ(portIdHash("\x80"), (0x811C9DC5u * 16777619u) ^ 0xFFFFFF80u);
    EXPECT_NE(portIdHash("Gridlet: Port 1"), portIdHash("Gridlet"));
}

}  // namespace
