#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "midi/MidiPorts.h"

namespace {

using Bytes = std::vector<uint8_t>;

class TestInput : public MIDI::Input {
public:
    void feed(const Bytes& bytes, uint64_t timestamp = 0) {
        parseInput(bytes.data(), static_cast<int32_t>(bytes.size()), timestamp);
    }
    using MIDI::Input::shortQueueLock;
    using MIDI::Input::sysexQueueLock;
    uint32_t getPortId() override { return 1; }
    uint32_t getDeviceId() override { return 2; }
    bool isPresent() override { return true; }

    std::vector<MIDI::ShortMessage> drainShort() {
        std::vector<MIDI::ShortMessage> out;
        while (hasShortMessage()) out.push_back(getShortMessage());
        return out;
    }
    std::vector<Bytes> drainSysex() {
        std::vector<Bytes> out;
        while (hasSysex()) out.push_back(getSysex().bytes);
        return out;
    }
};

void expectShort(const MIDI::ShortMessage& m, uint8_t status, int data1, int data2) {
    EXPECT_EQ(m.status, status);
    EXPECT_EQ(m.data1, data1);
    EXPECT_EQ(m.data2, data2);
}

TEST(InputParserTest, ShortMessagesAndNoRunningStatus) {
    TestInput in;
    in.feed({0x90, 0x3C, 0x40, 0x3E, 0x40}, 777);
    auto messages = in.drainShort();
    ASSERT_EQ(messages.size(), 1u);
    expectShort(messages[0], 0x90, 0x3C, 0x40);
    EXPECT_EQ(messages[0].timestamp, 777u);

    in.feed({0xC0, 0x05});
    messages = in.drainShort();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].status, 0xC0);
    EXPECT_EQ(messages[0].data1, 5);

    in.feed({0xF8, 0xFE});
    messages = in.drainShort();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].status, 0xF8);
    EXPECT_EQ(messages[1].status, 0xFE);
    EXPECT_TRUE(in.drainSysex().empty());
}

TEST(InputParserTest, StatusByteDiscardsIncompleteMessage) {
    TestInput in;
    in.feed({0x90, 0x3C, 0x80, 0x3C, 0x00});
    const auto messages = in.drainShort();
    ASSERT_EQ(messages.size(), 1u);
    expectShort(messages[0], 0x80, 0x3C, 0x00);
}

TEST(InputParserTest, MessageSplitAcrossCallsTakesLastTimestamp) {
    TestInput in;
    in.feed({0x90}, 1);
    EXPECT_FALSE(in.hasShortMessage());
    in.feed({0x3C}, 2);
    in.feed({0x40}, 3);
    const auto messages = in.drainShort();
    ASSERT_EQ(messages.size(), 1u);
    expectShort(messages[0], 0x90, 0x3C, 0x40);
    EXPECT_EQ(messages[0].timestamp, 3u);

    in.feed({0xF0, 0x01}, 4);
    in.feed({0x02, 0xF7}, 5);
    EXPECT_EQ(in.drainSysex(), (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0xF7}}));
}

TEST(InputParserTest, RealTimeByteInsideSysex) {
    TestInput in;
    in.feed({0xF0, 0x01, 0xF8, 0x02, 0xF7});
    const auto messages = in.drainShort();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].status, 0xF8);
    EXPECT_EQ(in.drainSysex(), (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0xF7}}));
}

TEST(InputParserTest, SecondF0IsReportedAndDropped) {
    TestInput in;
    testing::internal::CaptureStdout();
    in.feed({0xF0, 0x01, 0xF0, 0x02, 0xF7});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "writing invalid sysex: 0xf0");
    EXPECT_EQ(in.drainSysex(), (std::vector<Bytes>{{0xF0, 0x01, 0x02, 0xF7}}));
    EXPECT_TRUE(in.drainShort().empty());
}

TEST(InputParserTest, BytesWithoutF0YieldNothing) {
    TestInput in;
    in.feed({0xF7, 0x01, 0x02, 0xF7});
    in.feed({}, 0);
    EXPECT_TRUE(in.drainShort().empty());
    EXPECT_TRUE(in.drainSysex().empty());
    // A data byte after a complete SysEx is not appended to the queued record.
    in.feed({0xF0, 0x05, 0xF7, 0x06, 0xF7});
    EXPECT_EQ(in.drainSysex(), (std::vector<Bytes>{{0xF0, 0x05, 0xF7}}));
}

TEST(InputParserTest, UndefinedStatusBytesAreIgnored) {
    TestInput in;
    for (uint8_t status : {0xF4, 0xF5, 0xF9, 0xFD}) {
        // The undefined byte also ends the note-on being collected; its data bytes are dropped.
        in.feed({0x90, 0x3C, status, 0x40, 0x41, 0x42});
        EXPECT_TRUE(in.drainShort().empty()) << std::hex << int(status);
    }
    in.feed({0xB0, 0x07, 0x64});
    EXPECT_EQ(in.drainShort().size(), 1u);
}

TEST(InputParserTest, SystemCommonLengths) {
    TestInput in;
    in.feed({0xF1, 0x11, 0xF2, 0x01, 0x02, 0xF3, 0x05, 0xF6, 0xE0, 0x00, 0x40});
    const auto messages = in.drainShort();
    ASSERT_EQ(messages.size(), 5u);
    expectShort(messages[0], 0xF1, 0x11, 0);
    expectShort(messages[1], 0xF2, 0x01, 0x02);
    expectShort(messages[2], 0xF3, 0x05, 0);
    EXPECT_EQ(messages[3].status, 0xF6);
    expectShort(messages[4], 0xE0, 0x00, 0x40);
}

TEST(InputParserTest, EmptyQueuesGiveEmptyRecords) {
    TestInput in;
    const MIDI::ShortMessage m = in.getShortMessage();
    expectShort(m, 0, 0, 0);
    EXPECT_EQ(m.timestamp, 0u);
    const MIDI::SysexMessage s = in.getSysex();
    EXPECT_TRUE(s.bytes.empty());
    EXPECT_FALSE(s.open);
}

TEST(InputParserTest, ManyShortMessagesInOneReadAllArriveInOrder) {
    TestInput in;
    Bytes read;
    for (int n = 0; n < 100; ++n) {
        read.insert(read.end(), {0x90, static_cast<uint8_t>(n), 0x40});
        if (n % 7 == 0) read.push_back(0xF8);
    }
    in.feed(read, 42);
    const auto messages = in.drainShort();
    ASSERT_EQ(messages.size(), 115u);
    size_t at = 0;
    for (int n = 0; n < 100; ++n) {
        expectShort(messages[at++], 0x90, n, 0x40);
        if (n % 7 == 0) {
            EXPECT_EQ(messages[at++].status, 0xF8) << "after note " << n;
        }
    }
    for (const auto& m : messages) EXPECT_EQ(m.timestamp, 42u);
}

TEST(InputParserTest, ClearSysexLeavesShortMessages) {
    TestInput in;
    in.feed({0xF0, 0x01, 0xF7, 0x90, 0x3C, 0x40, 0xF0, 0x02, 0xF7});
    in.clearSysex();
    EXPECT_FALSE(in.hasSysex());
    EXPECT_EQ(in.drainShort().size(), 1u);
}

// Holds a lock on another thread until told to let go.
class LockHolder {
public:
    explicit LockHolder(Process::ICriticalSection& lock) {
        std::promise<void> taken;
        std::future<void> takenSignal = taken.get_future();
        thread_ = std::thread([&lock, taken = std::move(taken), done = done_.get_future()]() mutable {
            lock.Lock(5000);
            taken.set_value();
            done.wait_for(std::chrono::seconds(10));
            lock.Unlock();
        });
        takenSignal.wait_for(std::chrono::seconds(5));
    }
    ~LockHolder() { letGo(); }
    void letGo() {
        if (!thread_.joinable()) return;
        done_.set_value();
        thread_.join();
    }

private:
    std::promise<void> done_;
    std::thread thread_;
};

// Milliseconds since construction, on the monotonic clock.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    long long ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

TEST(InputQueueLockTest, HasShortMessageDoesNotWaitForBusyLock) {
    TestInput in;
    in.feed({0x90, 0x3C, 0x40});
    LockHolder holder(in.shortQueueLock());
    Stopwatch watch;
    EXPECT_FALSE(in.hasShortMessage());
    EXPECT_LT(watch.ms(), 200);
    holder.letGo();
    EXPECT_TRUE(in.hasShortMessage());
}

TEST(InputQueueLockTest, PopTimesOutWithEmptyRecordAndKeepsMessage) {
    TestInput in;
    in.feed({0x90, 0x3C, 0x40}, 5);
    in.feed({0xF0, 0x01, 0xF7});
    {
        LockHolder holder(in.shortQueueLock());
        Stopwatch watch;
        const MIDI::ShortMessage m = in.getShortMessage();
        const long long waited = watch.ms();
        EXPECT_GE(waited, 1900);
        EXPECT_LT(waited, 3500);
        expectShort(m, 0, 0, 0);
        EXPECT_EQ(m.timestamp, 0u);
        // The other queue has its own lock.
        EXPECT_TRUE(in.hasSysex());
    }
    const auto messages = in.drainShort();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].timestamp, 5u);
}

// A reader that holds its lock stalls the receiving thread once per read, not once per
// message: a read of a few notes and clocks would otherwise be held up for seconds each.
TEST(InputQueueLockTest, ReadOfSeveralShortMessagesWaitsForABusyLockOnce) {
    TestInput in;
    {
        LockHolder holder(in.shortQueueLock());
        Stopwatch watch;
        in.feed({0x90, 0x3C, 0x40, 0xF8, 0x80, 0x3C, 0x00});  // gives up: these are lost
        const long long waited = watch.ms();
        EXPECT_GE(waited, 1900);
        EXPECT_LT(waited, 3500);
    }
    EXPECT_TRUE(in.drainShort().empty());
    in.feed({0x90, 0x3C, 0x40});
    EXPECT_EQ(in.drainShort().size(), 1u);
}

TEST(InputQueueLockTest, PushAndClearGiveUpAfterTimeout) {
    TestInput in;
    in.feed({0xF0, 0x01, 0xF7});
    {
        LockHolder holder(in.sysexQueueLock());
        Stopwatch watch;
        in.clearSysex();              // gives up: the queued record stays
        in.feed({0xF0, 0x02, 0xF7});  // gives up: this record is lost
        EXPECT_GE(watch.ms(), 3800);
    }
    EXPECT_EQ(in.drainSysex(), (std::vector<Bytes>{{0xF0, 0x01, 0xF7}}));
}

}  // namespace
