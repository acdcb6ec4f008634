// Hidden input ports against the simulated driver: the reader thread, what reaches the
// queues, and how the port ends.

#include "tests/devices/DevicesTestSupport.h"

#include <chrono>
#include <stdexcept>
#include <vector>

#include "devices/HiddenInput.h"
#include "midi/WinMM.h"
#include "tests/common/DebugCapture.h"

namespace {

using devtest::AddHiddenDevice;
using devtest::DevicesTest;
using devtest::ElapsedMs;
using devtest::UsbPath;
using devtest::WaitUntil;
using Bytes = simks::Bytes;
using Clock = std::chrono::steady_clock;

class HiddenIn : public DevicesTest {
protected:
    // The input of a model on its own device; its out-sink pin is the device's pin 1.
    HiddenInput* Open(uint16_t productId, int outSinks = 1) {
        device = &AddHiddenDevice(driver, UsbPath(productId, "in"), 1, outSinks);
        port = dynamic_cast<HiddenInput*>(manager.openInput(0));
        return port;
    }
    void TearDown() override {
        if (port) port->release();
        DevicesTest::TearDown();
    }
    simks::SimPin& ReadPin() { return device->pin(1); }
    bool NextShort(MIDI::ShortMessage* message, int deadlineMs = 2000) {
        if (!WaitUntil([&] { return port->hasShortMessage(); }, deadlineMs)) return false;
        *message = port->getShortMessage();
        return true;
    }
    // The reader's exit code once it has ended.
    DWORD ReaderEnd() {
        DWORD code = STILL_ACTIVE;
        WaitUntil([&] { return port->readerExitCode(&code) && code != STILL_ACTIVE; }, 2000);
        return code;
    }

    USBDeviceManager manager{""};
    simks::SimDevice* device = nullptr;
    HiddenInput* port = nullptr;
};

TEST_F(HiddenIn, DeliversTheDriversBytesWithTimerStamps) {
    ASSERT_NE(Open(usbids::kXrMkII), nullptr);
    ASSERT_TRUE(ReadPin().waitForPendingReads(1, 2000));
    EXPECT_EQ(ReadPin().state(), uint32_t(KSSTATE_RUN));
    const uint64_t before = winmm().timeGetTime();
    ReadPin().queueInput({0x90, 0x3C, 0x40});
    MIDI::ShortMessage message;
    ASSERT_TRUE(NextShort(&message));
    const uint64_t after = winmm().timeGetTime();
    EXPECT_EQ(message.status, 0x90);
    EXPECT_EQ(message.data1, 0x3C);
    EXPECT_EQ(message.data2, 0x40);
    EXPECT_EQ(message.timestamp % 1000000u, 0u);
    EXPECT_GE(message.timestamp, before * 1000000u);
    EXPECT_LE(message.timestamp, after * 1000000u);

    // A SysEx message longer than one read's 12 bytes arrives whole.
    Bytes sysex{0xF0, 0x00, 0x7A, 0x51};
    for (uint8_t i = 0; i < 20; ++i) sysex.push_back(i);
    sysex.push_back(0xF7);
    ReadPin().queueInput(sysex);
    ASSERT_TRUE(WaitUntil([&] { return port->hasSysex(); }, 2000));
    EXPECT_EQ(port->getSysex().bytes, sysex);
    EXPECT_FALSE(port->hasShortMessage());
}

TEST_F(HiddenIn, AFailedReadDeliversNothingAndReadingGoesOn) {
    Open(usbids::kXrMkII);
    ReadPin().queueInput({0x90, 0x3C, 0x40});
    MIDI::ShortMessage message;
    ASSERT_TRUE(NextShort(&message));
    ASSERT_TRUE(ReadPin().waitForPendingReads(1, 2000));
    // The driver fills the buffer, then fails the read.
    ReadPin().failNextRead({0x90, 0x3D, 0x40});
    EXPECT_FALSE(NextShort(&message, 300));
    ReadPin().queueInput({0x80, 0x3C, 0x00});
    ASSERT_TRUE(NextShort(&message));
    EXPECT_EQ(message.status, 0x80);
    EXPECT_FALSE(port->hasShortMessage());
}

TEST_F(HiddenIn, ACountBeyondTheFrameIsCutToTheBytesItHolds) {
    Open(usbids::kXrMkII);
    ASSERT_TRUE(ReadPin().waitForPendingReads(1, 2000));
    // Twelve bytes, four messages; the entry claims 32 (zeros beyond would be running
    // status data).
    ReadPin().queueFrame(32, {0x90, 0x3C, 0x40, 0x90, 0x3D, 0x40, 0x90, 0x3E, 0x40, 0x80, 0x3C, 0x00});
    std::vector<MIDI::ShortMessage> got;
    MIDI::ShortMessage message;
    while (got.size() < 4 && NextShort(&message)) got.push_back(message);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[3].status, 0x80);
    ASSERT_TRUE(ReadPin().waitForPendingReads(1, 2000));
    EXPECT_FALSE(port->hasShortMessage());
}

TEST_F(HiddenIn, DuskerReportsBecomeControlChanges) {
    Open(usbids::kDusker);
    ReadPin().queueInput({0xB0, 0x10, 0x40, 0x48, 0x20, 0x49, 0x40, 0x07});
    ReadPin().queueInput({0x48, 0x7F, 0x49, 0x7F});
    std::vector<MIDI::ShortMessage> got;
    MIDI::ShortMessage message;
    while (got.size() < 3 && NextShort(&message)) got.push_back(message);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].status, 0xB0);
    EXPECT_EQ(got[0].data1, 0x10);
    EXPECT_EQ(got[0].data2, 0x40);
    EXPECT_EQ(got[1].data1, 0x48);
    EXPECT_EQ(got[1].data2, 0x41);
    EXPECT_EQ(got[2].data1, 0x48);
    EXPECT_EQ(got[2].data2, 255);
    EXPECT_EQ(got[2].timestamp % 1000000u, 0u);
}

TEST_F(HiddenIn, PortWithoutItsPinIsSilentAndEndsQuickly) {
    // The Encoders row reads pin index 1, which this device lacks.
    AddHiddenDevice(driver, UsbPath(usbids::kStroma25, "one"), 1, 1);
    MIDI::Input* in = manager.openInput(0);
    ASSERT_NE(in, nullptr);
    DWORD code = 0;
    EXPECT_FALSE(dynamic_cast<HiddenInput*>(in)->readerExitCode(&code));
    EXPECT_FALSE(in->hasShortMessage());
    EXPECT_TRUE(in->isPresent());
    const auto start = Clock::now();
    in->release();
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(driver.openHandles(), 0);
}

TEST_F(HiddenIn, ReaderEndsWithTheCodeOfTheFailedStep) {
    struct Case {
        DWORD createError;
        KSSTATE refused;
        DWORD code;
    } cases[] = {{ERROR_NO_SYSTEM_RESOURCES, KSSTATE_STOP, HiddenInput::kExitInstantiate},
                 {0, KSSTATE_ACQUIRE, HiddenInput::kExitAcquire},
                 {0, KSSTATE_PAUSE, HiddenInput::kExitPause},
                 {0, KSSTATE_RUN, HiddenInput::kExitRun}};
    int n = 0;
    for (const Case& c : cases) {
        simks::SimDevice& d = AddHiddenDevice(driver, UsbPath(usbids::kOmniMkII, "f" + std::to_string(n++)), 0, 1);
        if (c.createError) d.pin(0).setCreateError(c.createError);
        if (c.refused != KSSTATE_STOP) d.pin(0).refuseState(c.refused);
        port = dynamic_cast<HiddenInput*>(manager.openInput(0));
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(ReaderEnd(), c.code);
        EXPECT_FALSE(port->hasShortMessage());
        port->release();
        port = nullptr;
        driver.removeDevice(d.path());
    }
    EXPECT_EQ(driver.openHandles(), 0);
}

TEST_F(HiddenIn, DestroyingWithAReadOutstandingStopsThePin) {
    Open(usbids::kXrMkII);
    ASSERT_TRUE(ReadPin().waitForPendingReads(1, 2000));
    const auto start = Clock::now();
    port->release();
    port = nullptr;
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(ReadPin().pendingReads(), 0u);
    EXPECT_EQ(devtest::FirstStates(ReadPin(), 6),
              (std::vector<uint32_t>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_ACQUIRE,
                                     KSSTATE_STOP}));
    EXPECT_EQ(driver.openHandles(), 0);
}

// The stop can come after the reader's last look at it and before its read resets the
// event: the read then waits on a quiet device, and only the reader's own cancellation
// ends it.
TEST_F(HiddenIn, DestroyingWhileAReadStartsReturnsInBoundedTime) {
    Open(usbids::kDusker);
    ASSERT_TRUE(ReadPin().waitForPendingReads(1, 2000));
    ReadPin().setReadStartDelay(300);
    ReadPin().queueInput({0x10, 0x20});
    ASSERT_TRUE(WaitUntil([&] { return ReadPin().readsStarted() >= 2; }, 2000));
    const auto start = Clock::now();
    port->release();
    port = nullptr;
    EXPECT_LT(ElapsedMs(start), 3000);
    EXPECT_EQ(driver.liveRequests(), 0u);
    EXPECT_EQ(driver.openHandles(), 0);
}

// A driver that never gives back the cancelled read keeps its block; destruction still ends.
TEST_F(HiddenIn, ReadTheDriverKeepsStaysAllocated) {
    Open(usbids::kXrMkII);
    ASSERT_TRUE(ReadPin().waitForPendingReads(1, 2000));
    driver.setCancelDelay(10 * 60 * 1000);
    const auto start = Clock::now();
    port->release();
    port = nullptr;
    EXPECT_LT(ElapsedMs(start), 3000);
    ASSERT_EQ(driver.liveRequests(), 1u);
    driver.completeAllNow();
    EXPECT_EQ(driver.completionsWithoutEvent(), 0);
}

// Reads that keep failing are tried again after a growing pause, and the reader gives up
// after a bound instead of spinning on the device.
TEST_F(HiddenIn, FailingReadsBackOffAndGiveUp) {
    device = &AddHiddenDevice(driver, UsbPath(usbids::kXrMkII, "failing"), 1, 1);
    ReadPin().failReads(ERROR_GEN_FAILURE);
    port = dynamic_cast<HiddenInput*>(manager.openInput(0));
    ASSERT_NE(port, nullptr);
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(WaitUntil([&] { return port->readerExitCode(&code) && code != STILL_ACTIVE; }, 15000))
        << ReadPin().readsStarted() << " reads";
    EXPECT_EQ(code, HiddenInput::kExitReadsFailing);
    EXPECT_EQ(ReadPin().readsStarted(), HiddenInput::kMaxFailedReads);
    EXPECT_FALSE(port->hasShortMessage());
}

// A reader the driver holds in pin creation does not hold up the port's destruction past
// its bound: it is left behind, and takes its pin down itself once the driver lets go.
TEST_F(HiddenIn, DestroyingWhileTheDriverHoldsPinCreationReturnsInBoundedTime) {
    DebugCapture debug;
    const DWORD holdMs = HiddenInput::kStopTimeoutMs + 3000;
    driver.setCreatePinDelay(holdMs);
    Open(usbids::kXrMkII);
    const auto start = Clock::now();
    port->release();
    port = nullptr;
    EXPECT_LT(ElapsedMs(start), HiddenInput::kStopTimeoutMs + 1500);
    EXPECT_TRUE(debug.contains("HiddenInput::stopReader: the reader did not stop within")) << debug.text();
    EXPECT_TRUE(WaitUntil([&] { return ReadPin().createCount() == 1 && ReadPin().openInstances() == 0; },
                          static_cast<int>(holdMs) + 5000));
    EXPECT_EQ(ReadPin().pendingReads(), 0u);
}

// A port whose decoding throws: the reader ends with its own code and says why, and the
// process goes on.
class ThrowingInput : public HiddenInput {
public:
    ThrowingInput(CKsMidiFilter* filter) : HiddenInput(filter, 0, nullptr, DeferredStart{}) { startReader(); }
    ~ThrowingInput() override { stopReader(); }
    void decodeReceived(const uint8_t*, int32_t, uint64_t) override { throw std::runtime_error("scripted"); }
};

TEST_F(HiddenIn, AnExceptionOnTheReaderEndsItWithItsCode) {
    DebugCapture debug;
    device = &AddHiddenDevice(driver, UsbPath(usbids::kXrMkII, "throwing"), 1, 1);
    IsMidiDataRange = [](const KSDATARANGE* range) {
        return isHiddenMidiRange(reinterpret_cast<const uint8_t*>(range));
    };
    TKsFilterList<CKsMidiFilter> filters(simks::kCategoryAudio);
    filters.EnumerateDevices();
    ASSERT_EQ(filters.GetFilterCount(), 1u);
    ThrowingInput* input = new ThrowingInput(filters.GetFilter(0));
    ASSERT_TRUE(ReadPin().waitForPendingReads(1, 2000));
    ReadPin().queueInput({0x90, 0x3C, 0x40});
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(WaitUntil([&] { return input->readerExitCode(&code) && code != STILL_ACTIVE; }, 2000));
    EXPECT_EQ(code, HiddenInput::kExitException);
    EXPECT_TRUE(debug.contains("HiddenInput::readerMain: the reader ended on an exception: scripted")) << debug.text();
    input->release();
}

}  // namespace
