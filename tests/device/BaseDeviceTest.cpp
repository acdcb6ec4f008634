#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/BaseDevice.h"
#include "support/Diagnostics.h"
#include "tests/common/DebugCapture.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Records every hook the parser calls.
class RecordingDevice : public BaseDevice {
public:
    RecordingDevice() : BaseDevice("Lumetra", 30) {}
    std::vector<std::string> calls;

    void feed(const Bytes& bytes) { receiveMidi(bytes.data(), static_cast<int>(bytes.size())); }
    void feedInChunks(const Bytes& bytes, size_t chunk) {
        for (size_t at = 0; at < bytes.size(); at += chunk) {
            size_t n = std::min(chunk, bytes.size() - at);
            receiveMidi(bytes.data() + at, static_cast<int>(n));
        }
    }

protected:
    void onConnectionChanged() override { calls.push_back("changed"); }
    void onDump(uint8_t* message, int length) override {
        calls.push_back("dump " + std::to_string(length) + " flag " + std::to_string(message[8]));
    }
    void onValueMessage(int32_t value, int a, int b, bool isType10) override {
        calls.push_back("value " + std::to_string(value) + " " + std::to_string(a) + " " + std::to_string(b) + " " +
                        std::to_string(isType10));
    }
    void onStatus(int code, int extra, bool bit11) override {
        calls.push_back("status " + std::to_string(code) + " " + std::to_string(extra) + " " + std::to_string(bit11));
    }
    void onSysexError(const char* text) override { calls.push_back(std::string("error ") + text); }
    void onBank(int value) override {
        calls.push_back("bank " + std::to_string(value));
        BaseDevice::onBank(value);
    }
    void onProgram(int value) override { calls.push_back("program " + std::to_string(value)); }
};

Bytes status14(uint8_t b8, uint8_t b9, uint8_t b10, uint8_t b11 = 1) {
    return {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x20, b8, b9, b10, b11, 0x00, 0xF7};
}

TEST(ReceiveMidi, StatusMessageWholeOrChunkedGivesOneCall) {
    for (size_t chunk : {14u, 1u, 3u, 12u}) {
        RecordingDevice device;
        device.feedInChunks(status14(0, 0x01, 0x05), chunk);
        ASSERT_EQ(device.calls, std::vector<std::string>{"status " + std::to_string(0x105 | 0x01000000) + " 0 1"})
            << chunk;
        EXPECT_EQ(device.statusCode(), 0x105 | 0x01000000);
        EXPECT_TRUE(device.statusBit11());
        EXPECT_FALSE(device.statusBit12());
    }
}

TEST(ReceiveMidi, StatusCodeRules) {
    RecordingDevice device;
    Bytes fifteen{0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x20, 0x00, 0x01, 0x05, 0x00, 0x01, 0x7F | 0x00, 0xF7};
    fifteen[13] = 0x45;
    device.feed(fifteen);
    device.feed(status14(1, 0x01, 0x05));          // byte 8 not 0: no high bit
    device.feed(status14(0, 0x00, 40));            // 40 is not greater than 40
    device.feed(status14(0, 0x78 | 0x07, 0x7F));   // every code bit
    std::vector<std::string> expected{
        "status " + std::to_string(0x105 | 0x01000000) + " " + std::to_string(0x45) + " 0",
        "status " + std::to_string(0x105) + " 0 1",
        "status 40 0 1",
        "status " + std::to_string(((0x78 << 13) | (0x07 << 8) | 0x7F) | 0x01000000) + " 0 1",
    };
    EXPECT_EQ(device.calls, expected);
    EXPECT_EQ(device.statusExtra(), 0);
}

TEST(ReceiveMidi, ValueMessageJoinsSevenBitGroups) {
    RecordingDevice device;
    Bytes message(19, 0);
    message[0] = 0xF0;
    message[18] = 0xF7;
    message[7] = 10;
    message[11] = 0x85;  // only 7 bits count
    message[12] = 0x02;
    message[13] = 0x01;
    message[14] = 0x02;
    message[15] = 0x03;
    message[16] = 0x04;
    message[17] = 0x05;
    device.feed(message);
    uint32_t value = (((((1u << 7) | 2u) << 7 | 3u) << 7 | 4u) << 7) | 5u;
    ASSERT_EQ(device.calls.size(), 1u);
    EXPECT_EQ(device.calls[0], "value " + std::to_string(static_cast<int32_t>(value)) + " 5 2 1");

    message[7] = 1;  // type 1 needs flag 0x02
    device.calls.clear();
    DebugCapture capture;
    device.feed(message);
    EXPECT_TRUE(device.calls.empty());
    EXPECT_TRUE(capture.contains("Ignoring unknown Sysex msg"));
    message[8] = 0x02;
    device.feed(message);
    ASSERT_EQ(device.calls.size(), 1u);
    EXPECT_EQ(device.calls[0].substr(device.calls[0].size() - 2), " 0");
}

TEST(ReceiveMidi, DumpKeepsItsTextAndReportsOnlyFlaggedOnes) {
    RecordingDevice device;
    Bytes dump(526, 0x01);
    dump[0] = 0xF0;
    dump[525] = 0xF7;
    dump[7] = 0x81;  // type 1 after masking
    dump[8] = 0x20;
    const char name[] = "Warm Pad";
    for (size_t i = 0; i < sizeof name - 1; ++i) dump[15 + i] = static_cast<uint8_t>(name[i]);
    dump[15 + 8] = 0;
    device.feed(dump);
    EXPECT_STREQ(device.dumpText(), "Warm Pad");
    ASSERT_EQ(device.calls, std::vector<std::string>{"dump 526 flag 0"});  // the flag is cleared first

    dump[8] = 0x00;  // no report flag: text kept, no call
    for (int i = 15; i <= 30; ++i) dump[static_cast<size_t>(i)] = 'A';
    device.calls.clear();
    device.feed(dump);
    EXPECT_STREQ(device.dumpText(), "AAAAAAAAAAAAAAAA");  // at most 16 characters
    EXPECT_TRUE(device.calls.empty());
}

TEST(ReceiveMidi, UnknownMessageIsShownInHex) {
    DebugCapture capture;
    RecordingDevice device;
    Bytes message(20, 0x0A);
    message[0] = 0xF0;
    message[19] = 0xF7;
    device.feed(message);
    std::string hex;
    for (uint8_t b : message) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x ", b);
        hex += pair;
    }
    ASSERT_EQ(hex.size(), 60u);
    EXPECT_EQ(capture.text(), "RIR: Ignoring unknown Sysex msg >" + hex + "<[20]\n");
}

TEST(ReceiveMidi, GrowsUpToTheLimitThenSkipsToF7) {
    RecordingDevice device;
    Bytes big(100000, 0x11);
    big.front() = 0xF0;
    big.back() = 0xF7;
    DebugCapture capture;
    device.feedInChunks(big, 4096);
    EXPECT_GE(device.sysexCapacity(), 100000);
    EXPECT_TRUE(device.calls.empty());  // no buffer error
    EXPECT_TRUE(capture.contains("Ignoring unknown Sysex msg >f0 11 11 "));
    EXPECT_LE(capture.text().size(), 8191u);  // the line is cut to fit

    RecordingDevice limited;
    Bytes huge(300000, 0x22);
    huge.front() = 0xF0;
    huge.back() = 0xF7;
    Bytes after = status14(0, 0, 1);
    huge.insert(huge.end(), after.begin(), after.end());
    limited.feedInChunks(huge, 12);
    EXPECT_EQ(limited.sysexCapacity(), 262144);
    ASSERT_EQ(limited.calls.size(), 2u);
    EXPECT_EQ(limited.calls[0], "error Maximum size for sysex buffer exceeded");
    EXPECT_EQ(limited.calls[1], "status 1 0 1");  // parsing resumes after the skipped F7
}

// One delivery may hold far more than the buffer's limit in small messages, and real-time
// bytes that are never stored: only the message in progress counts toward the limit, so
// every message is dispatched and the status answer after them is kept.
int g_smallMessages = 0;
void countSmallMessage(const char* line) {
    if (std::strstr(line, "Ignoring unknown Sysex msg >f0 01 f7 <[3]")) ++g_smallMessages;
}

TEST(ReceiveMidi, GrowthLimitCountsEachMessageNotTheChunk) {
    struct Case {
        const char* name;
        Bytes chunk;
        int smallMessages;
        std::vector<std::string> calls;
        int capacity;  // small messages never grow the buffer
    };
    Bytes small;
    for (int i = 0; i < 100000; ++i) small.insert(small.end(), {0xF0, 0x01, 0xF7});  // 300,000 bytes
    Bytes atTheLimit;  // 262,144 stored bytes with a clock byte after every 50
    for (int i = 0; i < BaseDevice::kMaxSysexCapacity; ++i) {
        atTheLimit.push_back(i == 0 ? 0xF0 : i == BaseDevice::kMaxSysexCapacity - 1 ? 0xF7 : 0x33);
        if (i % 50 == 0) atTheLimit.push_back(0xF8);
    }
    Bytes overTheLimit(BaseDevice::kMaxSysexCapacity + 1, 0x44);
    overTheLimit.front() = 0xF0;
    overTheLimit.back() = 0xF7;
    const Bytes answer = status14(0, 0, 7);
    auto then = [&](Bytes first) {
        first.insert(first.end(), answer.begin(), answer.end());
        return first;
    };
    const Case cases[] = {
        {"100,000 small messages", then(small), 100000, {"status 7 0 1"}, BaseDevice::kInitialSysexCapacity},
        {"a message at the limit with clock bytes", then(atTheLimit), 0, {"status 7 0 1"},
         BaseDevice::kMaxSysexCapacity},
        {"a message over the limit", then(overTheLimit), 0,
         {"error Maximum size for sysex buffer exceeded", "status 7 0 1"}, BaseDevice::kMaxSysexCapacity},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t chunk : {c.chunk.size(), size_t(4096)}) {
            SCOPED_TRACE(chunk);
            RecordingDevice device;
            g_smallMessages = 0;
            setDiagnosticTap(countSmallMessage);
            device.feedInChunks(c.chunk, chunk);
            setDiagnosticTap(nullptr);
            EXPECT_EQ(c.smallMessages, g_smallMessages);
            EXPECT_EQ(c.calls, device.calls);
            EXPECT_EQ(c.capacity, device.sysexCapacity());
        }
    }
}

// A library may cut its deliveries anywhere and mix real-time bytes (clock, active
// sensing) into them, even inside a SysEx: every message still gives the hooks it gives
// when it arrives whole and clean.
TEST(ReceiveMidi, RealTimeBytesAndRandomCutsChangeNothing) {
    Bytes value(19, 0x01);
    value[0] = 0xF0;
    value[7] = 10;
    value[18] = 0xF7;
    Bytes dump(526, 0x41);
    dump[0] = 0xF0;
    dump[7] = 0x01;
    dump[8] = 0x20;
    dump[525] = 0xF7;
    Bytes fifteen{0xF0, 0x00, 0x7A, 0x51, 0x03, 0x01, 0x7F, 0x20, 0x00, 0x01, 0x05, 0x01, 0x00, 0x33, 0xF7};
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t below) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % below;
    };
    // Short messages too: a real-time byte may come between a status byte and its data.
    const Bytes shortMessages{0xC3, 0x05, 0xB0, 99, 63, 0xB0, 6, 5, 0xB1, 0x20, 0x07};
    const uint8_t realTime[] = {0xF8, 0xFA, 0xFB, 0xFC, 0xFE, 0xFF};
    for (const Bytes& clean : {status14(0, 0x01, 0x05), fifteen, value, dump, shortMessages}) {
        RecordingDevice whole;
        whole.feed(clean);
        ASSERT_EQ(whole.calls.size(), clean == shortMessages ? 3u : 1u);
        for (int round = 0; round < 50; ++round) {
            Bytes noisy;
            for (uint8_t b : clean) {
                while (next(4) == 0) noisy.push_back(realTime[next(sizeof realTime)]);
                noisy.push_back(b);
            }
            RecordingDevice cut;
            for (size_t at = 0; at < noisy.size();) {
                size_t n = std::min<size_t>(1 + next(64), noisy.size() - at);
                cut.receiveMidi(noisy.data() + at, static_cast<int>(n));
                at += n;
            }
            ASSERT_EQ(cut.calls, whole.calls) << "round " << round << ", message of " << clean.size() << " bytes";
        }
    }
}

TEST(ReceiveMidi, BytesAfterF7StartTheNextMessageAtOnce) {
    RecordingDevice device;
    Bytes two = status14(0, 0, 2);
    Bytes second = status14(0, 0, 3);
    two.insert(two.end(), second.begin(), second.end());
    device.feed(two);
    EXPECT_EQ(device.calls, (std::vector<std::string>{"status 2 0 1", "status 3 0 1"}));
}

TEST(ParseShortMessages, ProgramAndBankChanges) {
    RecordingDevice device;
    device.feed({0xC3, 0x05});
    device.feed({0xB0, 0x20, 0x07});        // bank select LSB
    device.feed({0xB0, 99, 63, 0xB0, 6, 5});  // NRPN bank
    device.feed({0xB0, 6, 9});               // not armed any more
    device.feed({0xB0, 98, 1, 0xB2, 38, 4});  // NRPN program, channel ignored
    EXPECT_EQ(device.calls, (std::vector<std::string>{"program 5", "bank 7", "bank 5", "program 4"}));
}

TEST(ParseShortMessages, SplitMessageWaitsForItsDataByte) {
    RecordingDevice device;
    device.feed({0xC0});
    EXPECT_TRUE(device.calls.empty());
    device.feed({0x09});
    EXPECT_EQ(device.calls, std::vector<std::string>{"program 9"});
}

TEST(ParseShortMessages, BadMessagesResynchronise) {
    DebugCapture capture;
    RecordingDevice device;
    device.feed({0xB5, 0x90, 0x01});  // controller byte with bit 7
    device.feed({0xC1, 0x81});
    device.feed({0xB0, 0x07, 0x80});
    EXPECT_TRUE(device.calls.empty());
    EXPECT_EQ(capture.text(),
              "RIR: psa: got bad midi: b0,90\n"
              "RIR: psa: got bad midi: c081\n"
              "RIR: psa: got bad midi: b0,0780\n");
}

TEST(ParseShortMessages, BankDiagnosticNamesTheValue) {
    DebugCapture capture;
    RecordingDevice device;
    device.feed({0xB0, 99, 63, 0xB0, 6, 5});
    EXPECT_EQ(capture.text(), "RIR: bank -> 5\n");
}

TEST(ParseShortMessages, OverlongRunNeverOverwritesUnreadBytes) {
    DebugCapture capture;
    RecordingDevice device;
    // A program change waits for its data byte; a flood of real-time bytes is parsed
    // away, so no byte is lost or mixed up.
    Bytes flood(10000, 0xF8);
    device.feed(flood);
    device.feed({0xC0, 0x11});
    EXPECT_EQ(device.calls, std::vector<std::string>{"program 17"});
    EXPECT_FALSE(capture.contains("dropped"));
}

}  // namespace
