#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/FirmwareImage.h"
#include "tests/common/DebugCapture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes startMessage() { return {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7}; }

FirmwareImage imageOf(const Bytes& bytes) {
    FirmwareImage image;
    image.assign(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return image;
}

std::vector<Bytes> drain(FirmwareImage& image) {
    std::vector<Bytes> messages;
    Bytes message;
    while (image.takeNextMessage(message)) messages.push_back(message);
    return messages;
}

TEST(FirmwareImageStart, RecognisedOnlyFirstWithMarkerAtByteFive) {
    Bytes bytes = startMessage();
    bytes.insert(bytes.end(), {0xF0, 1, 0xF7});
    FirmwareImage image = imageOf(bytes);
    Bytes message;
    ASSERT_TRUE(image.takeStartMessage(message));
    EXPECT_EQ(message, startMessage());
    EXPECT_EQ(image.cursor(), 15u);
    // The next message starts right after the start message's F7.
    ASSERT_TRUE(image.takeNextMessage(message));
    EXPECT_EQ(message, (Bytes{0xF0, 1, 0xF7}));
    // At the following message there is no start message any more.
    FirmwareImage second = imageOf(bytes);
    ASSERT_TRUE(second.takeNextMessage(message));
    EXPECT_TRUE(second.takeNextMessage(message));
}

TEST(FirmwareImageStart, OtherMarkerMeansEveryMessageIsData) {
    Bytes bytes = startMessage();
    bytes[5] = 0x70;
    FirmwareImage image = imageOf(bytes);
    Bytes message;
    EXPECT_FALSE(image.takeStartMessage(message));
    EXPECT_EQ(image.cursor(), 0u);
    EXPECT_EQ(drain(image), std::vector<Bytes>{bytes});
}

TEST(FirmwareImageStart, ShortFilesHaveNoStartMessage) {
    // The marker would lie at or beyond the end: nothing past the data is read.
    for (size_t length = 1; length <= 5; ++length) {
        Bytes bytes(length, 0x71);
        FirmwareImage image = imageOf(bytes);
        Bytes message;
        EXPECT_FALSE(image.takeStartMessage(message)) << length;
        EXPECT_EQ(image.cursor(), 0u);
    }
    Bytes six{0xF0, 0, 0, 0, 0, 0x71};  // marker present, but no F7 follows
    FirmwareImage image = imageOf(six);
    Bytes message;
    EXPECT_FALSE(image.takeStartMessage(message));
}

TEST(FirmwareImageStart, MarkerAfterTheFirstF7IsNoStartMessage) {
    // 0x71 at byte 5 belongs to the second message here, not to the first.
    for (size_t f7At : {0u, 2u, 4u}) {
        Bytes bytes{0xF0, 0x01, 0x02, 0x03, 0x04, 0x71, 0x05, 0xF7};
        bytes[f7At] = 0xF7;
        FirmwareImage image = imageOf(bytes);
        Bytes message;
        EXPECT_FALSE(image.takeStartMessage(message)) << f7At;
        EXPECT_EQ(image.cursor(), 0u);
        std::vector<Bytes> messages = drain(image);
        ASSERT_EQ(messages.size(), 2u) << f7At;
        EXPECT_EQ(messages[0], Bytes(bytes.begin(), bytes.begin() + f7At + 1));
    }
    // The F7 right after the marker still ends a start message.
    FirmwareImage shortest = imageOf(Bytes{0xF0, 1, 2, 3, 4, 0x71, 0xF7});
    Bytes message;
    EXPECT_TRUE(shortest.takeStartMessage(message));
    EXPECT_EQ(message.size(), 7u);
}

TEST(FirmwareImageNext, BytesBetweenMessagesTravelWithTheNextOne) {
    Bytes bytes{0xF0, 1, 0xF7, 0x55, 0x66, 0xF0, 2, 0xF7};
    FirmwareImage image = imageOf(bytes);
    std::vector<Bytes> messages = drain(image);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1], (Bytes{0x55, 0x66, 0xF0, 2, 0xF7}));
    EXPECT_EQ(image.droppedTailBytes(), 0u);
}

TEST(FirmwareImageNext, LongMessagesAreTakenWhole) {
    for (size_t length : {44u, 45u, 4352u, 70000u}) {
        Bytes bytes(length, 0x11);
        bytes.front() = 0xF0;
        bytes.back() = 0xF7;
        FirmwareImage image = imageOf(bytes);
        std::vector<Bytes> messages = drain(image);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], bytes);
    }
}

TEST(FirmwareImageNext, TailAfterLastF7IsDroppedAndReported) {
    DebugCapture capture;
    FirmwareImage image = imageOf(Bytes{0xF0, 1, 0xF7, 0x10, 0x20});
    EXPECT_EQ(drain(image).size(), 1u);
    EXPECT_EQ(image.droppedTailBytes(), 2u);
    EXPECT_FALSE(image.droppedTailHadStart());
    EXPECT_EQ(image.cursor(), image.size());
    EXPECT_TRUE(capture.contains("RIR: FirmwareImage: 2 bytes after the last F7 dropped"));

    FirmwareImage cut = imageOf(Bytes{0xF0, 1, 0xF7, 0xF0, 2, 3});
    EXPECT_EQ(drain(cut).size(), 1u);
    EXPECT_EQ(cut.droppedTailBytes(), 3u);
    EXPECT_TRUE(cut.droppedTailHadStart());
}

// Both ways of taking a message walk the file alike; the extent copies nothing.
TEST(FirmwareImageNext, ExtentsMatchTheCopiedMessages) {
    const Bytes file{0xF0, 1, 0xF7, 0x55, 0xF0, 2, 3, 0xF7, 0xF7, 0xF0, 4};
    FirmwareImage copied = imageOf(file);
    std::vector<Bytes> messages = drain(copied);
    FirmwareImage image = imageOf(file);
    uint32_t offset = 99, length = 99;
    for (const Bytes& message : messages) {
        ASSERT_TRUE(image.takeNextMessageExtent(offset, length));
        EXPECT_EQ(Bytes(image.data() + offset, image.data() + offset + length), message);
        EXPECT_EQ(image.cursor(), offset + length);
    }
    EXPECT_FALSE(image.takeNextMessageExtent(offset, length));
    EXPECT_EQ(image.droppedTailBytes(), copied.droppedTailBytes());
    EXPECT_TRUE(image.droppedTailHadStart());
    EXPECT_FALSE(image.takeNextMessageExtent(offset, length));
}

TEST(FirmwareImageNext, FileWithoutF7HasNoMessage) {
    FirmwareImage image = imageOf(Bytes{0xF0, 1, 2, 3});
    Bytes message{9, 9};
    EXPECT_FALSE(image.takeNextMessage(message));
    EXPECT_EQ(message, (Bytes{9, 9}));  // the caller's buffer is left alone
    EXPECT_TRUE(image.droppedTailHadStart());
    EXPECT_FALSE(image.takeNextMessage(message));
}

}  // namespace
