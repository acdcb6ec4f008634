// Hidden output ports against the simulated driver: packets, the write event, the
// time-out, and the Dusker's own form.

#include "tests/devices/DevicesTestSupport.h"

#include <chrono>
#include <vector>

namespace {

using devtest::AddHiddenDevice;
using devtest::DevicesTest;
using devtest::ElapsedMs;
using devtest::ErrorOf;
using devtest::FirstStates;
using devtest::UsbPath;
using Bytes = simks::Bytes;
using Clock = std::chrono::steady_clock;

class HiddenOut : public DevicesTest {
protected:
    // Opens the output of a single-port model on its own device.
    MIDI::Output* Open(uint16_t productId) {
        device = &AddHiddenDevice(driver, UsbPath(productId, "out"), 1, 1);
        port = manager.openOutput(0);
        return port;
    }
    void TearDown() override {
        if (port) port->release();
        DevicesTest::TearDown();
    }
    std::vector<Bytes> Written() {
        std::vector<Bytes> out;
        for (const simks::SimWrite& w : device->pin(0).writes()) out.push_back(w.midi);
        return out;
    }
    static MIDI::SysexMessage Sysex(const Bytes& bytes) {
        return MIDI::SysexMessage::fromBuffer(bytes.data(), bytes.size());
    }

    USBDeviceManager manager{""};
    simks::SimDevice* device = nullptr;
    MIDI::Output* port = nullptr;
};

TEST_F(HiddenOut, ThreeBytePacketsLeaveTheTailForFlush) {
    Open(usbids::kXrMkII);
    MIDI::SysexMessage message = Sysex({0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7});
    EXPECT_TRUE(port->sendSysex(message));
    EXPECT_EQ(Written(), (std::vector<Bytes>{{0xF0, 1, 2}, {3, 4, 5}, {6, 7, 8}}));
    EXPECT_TRUE(port->flush());
    EXPECT_EQ(Written(), (std::vector<Bytes>{{0xF0, 1, 2}, {3, 4, 5}, {6, 7, 8}, {0xF7}}));
    for (const simks::SimWrite& w : device->pin(0).writes()) {
        EXPECT_EQ(w.headerSize, sizeof(KSSTREAM_HEADER));
        EXPECT_EQ(w.frameExtent, 15u);
        EXPECT_EQ(w.dataUsed, 12u);
        EXPECT_EQ(w.timeDeltaMs, 0u);
    }
    EXPECT_EQ(device->pin(0).writes()[3].byteCount, 1u);
    // The pin was brought up on the way.
    EXPECT_EQ(device->pin(0).state(), uint32_t(KSSTATE_RUN));
}

TEST_F(HiddenOut, FlushWithNothingPendingNeitherWaitsNorWrites) {
    Open(usbids::kXrMkII);
    auto start = Clock::now();
    EXPECT_TRUE(port->flush());
    MIDI::ShortMessage note{0x90, 0x3C, 0x40, 0};
    EXPECT_TRUE(port->sendShort(note));
    EXPECT_TRUE(port->flush());
    EXPECT_TRUE(port->flush());
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(Written().size(), 1u);
}

TEST_F(HiddenOut, FlushWaitsForTheLastWriteInFlight) {
    Open(usbids::kXrMkII);
    device->pin(0).setWriteMode(simks::WriteMode::Later, 100);
    // Exactly one packet: nothing is left pending, but the write is still in flight.
    MIDI::ShortMessage note{0x90, 0x3C, 0x40, 0};
    port->sendShort(note);
    const auto start = Clock::now();
    EXPECT_TRUE(port->flush());
    EXPECT_GE(ElapsedMs(start), 50);
    EXPECT_EQ(device->pin(0).pendingWrites(), 0u);
    EXPECT_EQ(Written().size(), 1u);

    // A write that does not complete within 1000 ms makes flush report false.
    device->pin(0).setWriteMode(simks::WriteMode::Never);
    port->sendShort(note);
    EXPECT_FALSE(port->flush());
    device->pin(0).completePendingWrites();
    EXPECT_TRUE(port->flush());
}

TEST_F(HiddenOut, EightBytePacketsGatherShortMessages) {
    Open(usbids::kQuarvel);
    MIDI::ShortMessage a{0x90, 0x3C, 0x40, 0}, b{0x80, 0x3C, 0x00, 0}, c{0xB0, 0x07, 0x64, 0};
    port->sendShort(a);
    port->sendShort(b);
    EXPECT_TRUE(Written().empty());
    port->sendShort(c);
    EXPECT_EQ(Written(), (std::vector<Bytes>{{0x90, 0x3C, 0x40, 0x80, 0x3C, 0x00, 0xB0, 0x07}}));
    EXPECT_EQ(device->pin(0).writes()[0].frameExtent, 20u);
    EXPECT_EQ(device->pin(0).writes()[0].dataUsed, 12u);
    EXPECT_TRUE(port->flush());
    EXPECT_EQ(Written().back(), (Bytes{0x64}));
    // Only the low 8 bits of the data go out.
    MIDI::ShortMessage wide{0x90, 0x13C, 0x240, 0};
    port->sendShort(wide);
    port->flush();
    EXPECT_EQ(Written().back(), (Bytes{0x90, 0x3C, 0x40}));
}

TEST_F(HiddenOut, WritesCompletingLaterAreWaitedFor) {
    Open(usbids::kXrMkII);
    device->pin(0).setWriteMode(simks::WriteMode::Later, 15);
    Bytes bytes{0xF0};
    for (int i = 0; i < 28; ++i) bytes.push_back(static_cast<uint8_t>(i));
    bytes.push_back(0xF7);
    MIDI::SysexMessage message = Sysex(bytes);
    EXPECT_TRUE(port->sendSysex(message));
    EXPECT_TRUE(port->flush());
    Bytes all;
    for (const Bytes& w : Written()) all.insert(all.end(), w.begin(), w.end());
    EXPECT_EQ(all, bytes);
    EXPECT_EQ(Written().size(), 10u);
    EXPECT_EQ(device->pin(0).pendingWrites(), 0u);
}

TEST_F(HiddenOut, WriteNeverCompletedTimesOut) {
    Open(usbids::kXrMkII);
    device->pin(0).setWriteMode(simks::WriteMode::Never);
    MIDI::SysexMessage message = Sysex({0xF0, 1, 2, 3, 4, 0xF7});
    auto start = Clock::now();
    EXPECT_EQ(ErrorOf([&] { port->sendSysex(message); }), "Sysex output timeout");
    const long long waited = ElapsedMs(start);
    EXPECT_GE(waited, 900);
    EXPECT_LT(waited, 3000);
    // The first packet went out; the second was dropped with the time-out.
    EXPECT_EQ(Written(), (std::vector<Bytes>{{0xF0, 1, 2}}));
    // Nothing pending any more; the stuck write makes flush report false.
    EXPECT_FALSE(port->flush());
    // Destruction gives the write its time, then stops the pin, which ends it.
    start = Clock::now();
    port->release();
    port = nullptr;
    EXPECT_GE(ElapsedMs(start), 900);
    EXPECT_EQ(device->pin(0).pendingWrites(), 0u);
    EXPECT_EQ(driver.openHandles(), 0);
}

TEST_F(HiddenOut, WriteRefusedAtOnceIsAFailedWrite) {
    Open(usbids::kXrMkII);
    device->pin(0).setWriteMode(simks::WriteMode::Refuse);
    MIDI::ShortMessage note{0x90, 0x3C, 0x40, 0};
    EXPECT_TRUE(port->sendShort(note));
    auto start = Clock::now();
    EXPECT_FALSE(port->flush());
    EXPECT_LT(ElapsedMs(start), 500);
    // Reported once; the next write is tried again.
    MIDI::SysexMessage message = Sysex({0xF0, 0x7F, 0xF7});
    EXPECT_TRUE(port->sendSysex(message));
    EXPECT_FALSE(port->flush());
}

// Each write's result is read: a failure anywhere reaches flush, and sendSysex takes
// nothing more once it is known.
TEST_F(HiddenOut, AFailedWriteAnywhereMakesFlushFalse) {
    for (size_t failing : {size_t(0), size_t(1), size_t(3)}) {
        Open(usbids::kXrMkII);
        device->pin(0).setWriteMode(simks::WriteMode::Later, 5);
        device->pin(0).failWrite(failing);
        MIDI::SysexMessage first = Sysex({0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7});
        EXPECT_TRUE(port->sendSysex(first)) << failing;
        if (failing < 2) {
            // Known once the next write needed the block.
            MIDI::SysexMessage second = Sysex({0xF0, 9, 0xF7});
            EXPECT_FALSE(port->sendSysex(second)) << failing;
        }
        EXPECT_FALSE(port->flush()) << failing;
        EXPECT_EQ(Written().size(), 4u) << failing;
        // Reported, then cleared.
        EXPECT_TRUE(port->flush()) << failing;
        port->release();
        port = nullptr;
        driver.removeDevice(device->path());
    }
}

// A kept failure is reported by sendShort too, for both packet sizes, until flush has
// reported and cleared it.
TEST_F(HiddenOut, AKeptFailureRefusesShortMessages) {
    const struct {
        uint16_t model;
        size_t sysexBytes;  // enough for two packets: the second learns the first failed
    } cases[] = {{usbids::kXrMkII, 10}, {usbids::kDusker, 17}};
    for (const auto& c : cases) {
        Open(c.model);
        device->pin(0).setWriteMode(simks::WriteMode::Later, 5);
        device->pin(0).failWrite(0);
        Bytes bytes(c.sysexBytes, 0x11);
        bytes.front() = 0xF0;
        bytes.back() = 0xF7;
        MIDI::SysexMessage sysex = Sysex(bytes);
        EXPECT_TRUE(port->sendSysex(sysex)) << c.model;
        MIDI::ShortMessage change{0xB0, 7, 100, 0};
        EXPECT_FALSE(port->sendShort(change)) << c.model;
        EXPECT_FALSE(port->flush()) << c.model;
        EXPECT_TRUE(port->sendShort(change)) << c.model;
        port->release();
        port = nullptr;
        driver.removeDevice(device->path());
    }
}

// The write header as the program sends it: DataUsed stays 12 for both packet sizes,
// so for 8-byte packets it covers only 4 of the entry's MIDI bytes.
TEST_F(HiddenOut, WriteHeaderOfBothPacketSizes) {
    const struct {
        uint16_t productId;
        uint32_t size;
        size_t used;
    } models[] = {{usbids::kXrMkII, 3, 3}, {usbids::kQuarvel, 8, 4}};
    for (const auto& m : models) {
        Open(m.productId);
        Bytes bytes{0xF0, 1, 2, 3, 4, 5, 6, 0xF7};
        bytes.resize(m.size);
        MIDI::SysexMessage message = Sysex(bytes);
        port->sendSysex(message);
        ASSERT_EQ(device->pin(0).writes().size(), 1u) << m.size;
        const simks::SimWrite w = device->pin(0).writes()[0];
        EXPECT_EQ(w.dataUsed, 12u);
        EXPECT_EQ(w.frameExtent, m.size + 12);
        EXPECT_EQ(w.byteCount, m.size);
        EXPECT_EQ(w.midi, bytes);
        EXPECT_EQ(w.used.size(), m.used);
        port->release();
        port = nullptr;
        driver.removeDevice(device->path());
    }
}

// A driver that never gives back a cancelled write keeps the block and its event.
TEST_F(HiddenOut, TeardownLeavesAWriteTheDriverKeepsAllocated) {
    Open(usbids::kXrMkII);
    device->pin(0).setWriteMode(simks::WriteMode::Never);
    driver.setCancelDelay(10 * 60 * 1000);
    MIDI::ShortMessage note{0x90, 0x3C, 0x40, 0};
    port->sendShort(note);
    const auto start = Clock::now();
    port->release();
    port = nullptr;
    EXPECT_LT(ElapsedMs(start), 4000);
    EXPECT_EQ(driver.openHandles(), 0);
    ASSERT_EQ(driver.liveRequests(), 1u);
    driver.completeAllNow();
    EXPECT_EQ(driver.completionsWithoutEvent(), 0);
}

TEST_F(HiddenOut, DestroyingStopsThePinAndDropsTheFilter) {
    Open(usbids::kXrMkII);
    MIDI::ShortMessage note{0x90, 0x3C, 0x40, 0};
    port->sendShort(note);
    port->release();
    port = nullptr;
    EXPECT_EQ(FirstStates(device->pin(0), 6),
              (std::vector<uint32_t>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_ACQUIRE,
                                     KSSTATE_STOP}));
    EXPECT_EQ(driver.openHandles(), 0);
}

TEST_F(HiddenOut, DuskerStartUpSequence) {
    Open(usbids::kDusker);
    const auto start = Clock::now();
    port->initialise();
    EXPECT_GE(ElapsedMs(start), 45);
    EXPECT_EQ(Written(), (std::vector<Bytes>{{0xB0, 0x00, 0x00},
                                            {0x28, 0x00, 0x2B, 0x4A, 0x2C, 0x00, 0x2E, 0x35},
                                            {0x2A, 0x02, 0x2C, 0x72, 0x2E, 0x30}}));
    EXPECT_EQ(device->pin(0).writes()[0].frameExtent, 20u);
}

TEST_F(HiddenOut, DuskerStartUpAfterPendingBytes) {
    Open(usbids::kDusker);
    MIDI::SysexMessage few = Sysex({0xF0, 1, 2, 3, 0xF7});
    port->sendSysex(few);
    port->initialise();
    // Up to five pending bytes share the first packet.
    EXPECT_EQ(Written().front(), (Bytes{0xF0, 1, 2, 3, 0xF7, 0xB0, 0x00, 0x00}));
    EXPECT_EQ(Written().size(), 3u);

    MIDI::SysexMessage more = Sysex({0xF0, 1, 2, 3, 4, 5, 0xF7});
    port->sendSysex(more);
    port->initialise();
    // More than five go out on their own first.
    ASSERT_EQ(Written().size(), 7u);
    EXPECT_EQ(Written()[3], (Bytes{0xF0, 1, 2, 3, 4, 5, 0xF7}));
    EXPECT_EQ(Written()[4], (Bytes{0xB0, 0x00, 0x00}));
}

TEST_F(HiddenOut, DuskerSendsControllerChangesOnlyWhenTheyChange) {
    Open(usbids::kDusker);
    MIDI::ShortMessage volume{0xB0, 7, 100, 0};
    EXPECT_TRUE(port->sendShort(volume));
    EXPECT_TRUE(port->sendShort(volume));
    port->flush();
    EXPECT_EQ(Written(), (std::vector<Bytes>{{7, 100}}));

    // The status is not looked at; -1 equals the initial value.
    MIDI::ShortMessage unset{0x90, 8, -1, 0};
    EXPECT_TRUE(port->sendShort(unset));
    MIDI::ShortMessage outOfRange{0xB0, 128, 1, 0};
    EXPECT_FALSE(port->sendShort(outOfRange));
    MIDI::ShortMessage negative{0xB0, -1, 1, 0};
    EXPECT_FALSE(port->sendShort(negative));
    MIDI::ShortMessage last{0x80, 127, 0x1FF, 0};
    EXPECT_TRUE(port->sendShort(last));
    port->flush();
    EXPECT_EQ(Written().back(), (Bytes{127, 0xFF}));
    EXPECT_EQ(Written().size(), 2u);
}

TEST_F(HiddenOut, DuskerFlushesFirstWhenThePacketHasNoRoom) {
    Open(usbids::kDusker);
    MIDI::SysexMessage seven = Sysex({0xF0, 1, 2, 3, 4, 5, 0xF7});
    port->sendSysex(seven);
    MIDI::ShortMessage volume{0xB0, 7, 100, 0};
    port->sendShort(volume);
    EXPECT_EQ(Written(), (std::vector<Bytes>{{0xF0, 1, 2, 3, 4, 5, 0xF7}}));
    port->flush();
    EXPECT_EQ(Written().back(), (Bytes{7, 100}));
}

TEST_F(HiddenOut, DuskerValueLostToATimeOutIsSentAgain) {
    Open(usbids::kDusker);
    device->pin(0).setWriteMode(simks::WriteMode::Never);
    MIDI::SysexMessage eight = Sysex({0xF0, 1, 2, 3, 4, 5, 6, 0xF7});
    port->sendSysex(eight);  // one write, now stuck
    MIDI::SysexMessage seven = Sysex({0xF0, 1, 2, 3, 4, 5, 0xF7});
    port->sendSysex(seven);
    MIDI::ShortMessage volume{0xB0, 7, 100, 0};
    EXPECT_EQ(ErrorOf([&] { port->sendShort(volume); }), "Sysex output timeout");
    device->pin(0).setWriteMode(simks::WriteMode::Now);
    device->pin(0).completePendingWrites();
    EXPECT_TRUE(port->sendShort(volume));
    EXPECT_TRUE(port->flush());
    EXPECT_EQ(Written().back(), (Bytes{7, 100}));
}

}  // namespace
