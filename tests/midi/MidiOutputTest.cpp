#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "midi/MidiOutput.h"
#include "midi/PortIdHash.h"
#include "midi/PortNaming.h"
#include "midi/VeltroDeviceList.h"
#include "support/Diagnostics.h"
#include "tests/common/DebugCapture.h"
#include "tests/midi/SimWinmmFixture.h"

namespace {

using Bytes = std::vector<uint8_t>;

MIDI::SysexMessage sysex(const Bytes& bytes) {
    MIDI::SysexMessage message;
    message.bytes = bytes;
    return message;
}

Bytes pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + seed) & 0x7F);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

// Releases the port's one reference at scope exit.
struct Port {
    explicit Port(uint32_t index) : out(new MidiOutput(index)) {}
    ~Port() { if (out) out->release(); }
    MidiOutput* operator->() { return out; }
    void release() { out->release(); out = nullptr; }
    MidiOutput* out;
};

class MidiOutputTest : public SimWinmmTest {
protected:
    void SetUp() override {
        SimWinmmTest::SetUp();
        sim.addDevice(0, "Other");
        device = sim.addDevice(0, "2- Lumetra");
    }
    uint32_t device = 0;
};

TEST_F(MidiOutputTest, BytesSentEqualBytesGiven) {
    Port port(1);
    const std::vector<Bytes> messages = {pattern(4352, 1), {0xF0, 0xF7}, pattern(15, 2), pattern(300, 3)};
    for (const Bytes& m : messages) {
        MIDI::SysexMessage message = sysex(m);
        EXPECT_TRUE(port->sendSysex(message));
    }
    // The driver reads the bytes as it plays them.
    ASSERT_TRUE(port->flush());
    ASSERT_EQ(sim.sentCount(), messages.size());
    for (uint32_t i = 0; i < messages.size(); ++i) {
        SimWinmmSent record = {};
        EXPECT_EQ(sentBytes(i, &record), messages[i]) << i;
        EXPECT_EQ(record.kind, SimWinmmSentLong);
        EXPECT_EQ(record.deviceId, device);
    }
}

TEST_F(MidiOutputTest, TooLongMessageIsRefusedBeforeAnything) {
    sim.holdCompletions(1);
    Port port(1);
    MIDI::SysexMessage tooLong = sysex(pattern(4353, 4));
    Stopwatch watch;
    EXPECT_FALSE(port->sendSysex(tooLong));
    EXPECT_EQ(sim.sentCount(), 0u);
    // The refusal took nothing: the next message still goes at once.
    MIDI::SysexMessage ok = sysex(pattern(10, 5));
    EXPECT_TRUE(port->sendSysex(ok));
    EXPECT_LT(watch.ms(), 500);
    EXPECT_EQ(sim.sentCount(), 1u);
    sim.holdCompletions(0);
}

TEST_F(MidiOutputTest, SecondSendWaitsForFirstCompletion) {
    sim.setCompletionDelay(300);
    Port port(1);
    MIDI::SysexMessage first = sysex(pattern(20, 6));
    MIDI::SysexMessage second = sysex(pattern(30, 7));
    Stopwatch watch;
    EXPECT_TRUE(port->sendSysex(first));
    EXPECT_LT(watch.ms(), 200);  // the open signal lets the first one through
    EXPECT_TRUE(port->sendSysex(second));
    const long long waited = watch.ms();
    EXPECT_GE(waited, 250);
    EXPECT_LT(waited, 1000);
    ASSERT_EQ(sim.sentCount(), 2u);
    const SimWinmmSent a = sentRecord(0), b = sentRecord(1);
    EXPECT_EQ(a.outcome, SimWinmmOutcomePlayed);
    EXPECT_GE(b.timeMs - a.timeMs, 250u);
}

TEST_F(MidiOutputTest, HeldCompletionTimesOutAndNothingIsSent) {
    sim.holdCompletions(1);
    Port port(1);
    MIDI::SysexMessage m = sysex(pattern(20, 8));
    EXPECT_TRUE(port->sendSysex(m));
    Stopwatch watch;
    EXPECT_FALSE(port->sendSysex(m));
    const long long waited = watch.ms();
    EXPECT_GE(waited, 950);
    EXPECT_LT(waited, 2000);
    EXPECT_EQ(sim.sentCount(), 1u);
    // Still held: a timed-out wait gives nothing back, so the next call waits again.
    Stopwatch again;
    EXPECT_FALSE(port->sendSysex(m));
    EXPECT_GE(again.ms(), 950);
    // Once the driver completes, sending goes on without a wait.
    sim.holdCompletions(0);
    ASSERT_TRUE(waitFor([&] { return sentRecord(0).outcome == SimWinmmOutcomePlayed; }, 2000));
    Stopwatch after;
    EXPECT_TRUE(port->sendSysex(m));
    EXPECT_LT(after.ms(), 500);
    EXPECT_EQ(sim.sentCount(), 2u);
}

TEST_F(MidiOutputTest, FailureAfterTheWaitGivesTheSignalBack) {
    Port port(1);
    MIDI::SysexMessage m = sysex(pattern(40, 9));
    for (SimWinmmFailure failure : {SimWinmmFailPrepare, SimWinmmFailLongMsg, SimWinmmFailUnprepare}) {
        SCOPED_TRACE(failure);
        ASSERT_TRUE(waitFor([&] { return port->flush(); }, 2000));
        const uint32_t before = sim.sentCount();
        sim.failNext(failure, 1);
        Stopwatch watch;
        EXPECT_FALSE(port->sendSysex(m));
        EXPECT_EQ(sim.sentCount(), before);
        EXPECT_TRUE(port->sendSysex(m));
        EXPECT_LT(watch.ms(), 500);
        EXPECT_EQ(sim.sentCount(), before + 1);
    }
}

TEST_F(MidiOutputTest, SendShortPacksLowBytes) {
    Port port(1);
    MIDI::ShortMessage m;
    m.status = 0xB0;
    m.data1 = 7;
    m.data2 = 100;
    m.timestamp = 123456;
    EXPECT_TRUE(port->sendShort(m));
    m.status = 0x90;
    m.data1 = 0x13C;  // only the low 8 bits go out
    m.data2 = -1;
    EXPECT_TRUE(port->sendShort(m));
    sim.failNext(SimWinmmFailShortMsg, 1);
    EXPECT_FALSE(port->sendShort(m));
    ASSERT_EQ(sim.sentCount(), 2u);
    EXPECT_EQ(sentRecord(0).kind, SimWinmmSentShort);
    EXPECT_EQ(sentRecord(0).shortMessage, 0x006407B0u);
    EXPECT_EQ(sentRecord(1).shortMessage, 0x00FF3C90u);
}

TEST_F(MidiOutputTest, IdsFromNamesAndPresenceAfterRemoval) {
    Port port(1);
    EXPECT_EQ(port->getPortId(), portIdHash("2- Lumetra: Port 1"));
    EXPECT_EQ(port->getDeviceId(), portIdHash("2- Lumetra"));
    EXPECT_TRUE(port->isPresent());
    // Removing the device before this one renumbers WinMM; the open port is unaffected.
    sim.removeDevice(1);
    EXPECT_TRUE(port->isPresent());
    sim.removeDevice(device);
    EXPECT_FALSE(port->isPresent());
    EXPECT_EQ(port->getPortId(), portIdHash("2- Lumetra: Port 1"));
    EXPECT_EQ(port->getDeviceId(), portIdHash("2- Lumetra"));
    MIDI::SysexMessage m = sysex(pattern(10, 10));
    EXPECT_FALSE(port->sendSysex(m));
    MIDI::ShortMessage s;
    s.status = 0xF8;
    EXPECT_FALSE(port->sendShort(s));
}

TEST_F(MidiOutputTest, OpenFailureThrowsAndLeavesNothingOpen) {
    sim.failNext(SimWinmmFailOpen, 1);
    try {
        MidiOutput port(1);
        FAIL() << "opened";
    } catch (const GeneralError& e) {
        EXPECT_EQ(std::string(e.what()), "midiOutOpen failed");
    }
    EXPECT_EQ(sim.openHandleCount(), 0u);
    EXPECT_THROW(MidiOutput port(7), GeneralError);
    {
        Port held(1);
        EXPECT_EQ(sim.openHandleCount(), 1u);
        // A port that is already open elsewhere is refused.
        EXPECT_THROW(MidiOutput second(1), GeneralError);
        EXPECT_EQ(sim.openHandleCount(), 1u);
    }
    EXPECT_EQ(sim.openHandleCount(), 0u);
}

TEST_F(MidiOutputTest, FlushWaitsForMessageInFlight) {
    sim.setCompletionDelay(300);
    Port port(1);
    EXPECT_TRUE(port->flush());  // nothing in flight
    MIDI::SysexMessage m = sysex(pattern(64, 11));
    ASSERT_TRUE(port->sendSysex(m));
    Stopwatch watch;
    EXPECT_TRUE(port->flush());
    EXPECT_GE(watch.ms(), 250);
    EXPECT_EQ(sentRecord(0).outcome, SimWinmmOutcomePlayed);
    // flush gives the signal back: the next send does not wait.
    Stopwatch next;
    EXPECT_TRUE(port->sendSysex(m));
    EXPECT_LT(next.ms(), 200);

    ASSERT_TRUE(port->flush());
    sim.holdCompletions(1);
    ASSERT_TRUE(port->sendSysex(m));
    Stopwatch held;
    EXPECT_FALSE(port->flush());
    EXPECT_GE(held.ms(), 950);
    sim.holdCompletions(0);
}

TEST_F(MidiOutputTest, ReleaseDoesNotCutOffMessageInFlight) {
    sim.setCompletionDelay(300);
    Port port(1);
    MIDI::SysexMessage m = sysex(pattern(64, 12));
    ASSERT_TRUE(port->sendSysex(m));
    port.release();
    EXPECT_EQ(sentRecord(0).outcome, SimWinmmOutcomePlayed);
    EXPECT_EQ(sentRecord(1).kind, SimWinmmSentReset);
    EXPECT_EQ(sim.openHandleCount(), 0u);

    // A driver that never completes is cut off after the bounded wait.
    sim.holdCompletions(1);
    Port stuck(1);
    ASSERT_TRUE(stuck->sendSysex(m));
    Stopwatch watch;
    stuck.release();
    EXPECT_GE(watch.ms(), 950);
    EXPECT_LT(watch.ms(), 2000);
    EXPECT_EQ(sentRecord(2).outcome, SimWinmmOutcomeReturned);
    EXPECT_EQ(sim.openHandleCount(), 0u);
}

// The handle values the next kernel objects get: a handle left open in between takes one
// of them. (Wine's GetProcessHandleCount answers 0.) The stand-in's own handles (its
// completion thread and wake event) must already exist: an earlier open made them.
std::vector<HANDLE> freeHandleSlots() {
    std::vector<HANDLE> slots;
    for (int i = 0; i < 8; ++i) slots.push_back(CreateEventA(NULL, FALSE, FALSE, NULL));
    for (HANDLE slot : slots) CloseHandle(slot);
    return slots;
}

// A manager whose ports have all gone: naming one throws, as a vanished device does.
class VanishedManager : public VeltroDeviceList {
public:
    std::string getPortName(uint32_t) override { throw GeneralError("Device type not found for index"); }
    uint32_t getPortCount() override { return 0; }
    std::string getTypeName(uint32_t) override { throw GeneralError("Device type not found for index"); }
    MIDI::Output* openOutput(uint32_t) override { return nullptr; }
    MIDI::Input* openInput(uint32_t) override { return nullptr; }
};

// Whole buffers on a slow link, and a driver that completes inside the call: every message
// goes, none is cut off when the port is released.
TEST_F(MidiOutputTest, WaitsFitTheMessageInFlight) {
    const struct {
        uint32_t rate;
        bool inCall;
    } cases[] = {{3125, false}, {100000, false}, {0, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        sim.reset();
        sim.addDevice(0, "Other");
        device = sim.addDevice(0, "2- Lumetra");
        sim.setWireSpeed(device, c.rate);
        sim.setCompleteInCall(device, c.inCall);
        const std::vector<Bytes> messages = {pattern(4352, 21), pattern(4352, 22), pattern(4352, 23)};
        {
            Port port(1);
            for (const Bytes& m : messages) {
                MIDI::SysexMessage message = sysex(m);
                EXPECT_TRUE(port->sendSysex(message));
            }
            EXPECT_TRUE(port->flush());
            MIDI::SysexMessage last = sysex(pattern(4352, 24));
            EXPECT_TRUE(port->sendSysex(last));
        }
        ASSERT_EQ(sim.sentCount(), messages.size() + 2);
        for (uint32_t i = 0; i <= messages.size(); ++i) {
            EXPECT_EQ(sentRecord(i).outcome, SimWinmmOutcomePlayed) << i;
            EXPECT_EQ(sentBytes(i), i < messages.size() ? messages[i] : pattern(4352, 24)) << i;
        }
        EXPECT_EQ(sentRecord(static_cast<uint32_t>(messages.size()) + 1).kind, SimWinmmSentReset);
    }
}

TEST_F(MidiOutputTest, OpenThatThrowsLeaksNoEvent) {
    { Port warmUp(1); }
    VanishedManager vanished;
    const std::vector<HANDLE> before = freeHandleSlots();
    // A look-up of a device that went between the count and the name, then a refused open.
    setDeviceManager(&vanished);
    EXPECT_THROW(MidiOutput port(5), GeneralError);
    setDeviceManager(nullptr);
    sim.failNext(SimWinmmFailOpen, 1);
    EXPECT_THROW(MidiOutput port(1), GeneralError);
    EXPECT_EQ(freeHandleSlots(), before);
    EXPECT_EQ(sim.openHandleCount(), 0u);
}

// How many of the free handle slots seen before are taken now.
size_t slotsTakenSince(const std::vector<HANDLE>& before) {
    const std::vector<HANDLE> now = freeHandleSlots();
    return static_cast<size_t>(std::count_if(before.begin(), before.end(), [&](HANDLE slot) {
        return std::find(now.begin(), now.end(), slot) == now.end();
    }));
}

// The first reset is refused, so the close finds the header still queued.
TEST_F(MidiOutputTest, CloseRefusedWhilePlayingIsRetriedWithoutLeaks) {
    { Port warmUp(1); }
    const std::vector<HANDLE> before = freeHandleSlots();
    DebugCapture debug;
    const int kRounds = 3;
    for (int round = 0; round < kRounds; ++round) {
        const uint32_t sent = sim.sentCount();
        sim.holdCompletions(1);
        Port port(1);
        MIDI::SysexMessage m = sysex(pattern(64, 25));
        ASSERT_TRUE(port->sendSysex(m));
        sim.failNext(SimWinmmFailReset, 1);
        port.release();
        EXPECT_EQ(sim.openHandleCount(), 0u);
        EXPECT_EQ(sentRecord(sent).outcome, SimWinmmOutcomeReturned);
    }
    // A leak takes a slot every round. One slot may go to what the process makes once, on its
    // own time (the wait object of a lock first contended under load).
    EXPECT_TRUE(waitFor([&] { return slotsTakenSince(before) <= 1; }, 2000))
        << slotsTakenSince(before) << " handle slots taken after " << kRounds << " closes";
    EXPECT_TRUE(debug.contains("midiOutReset failed: MMSYSERR_ERROR (1)")) << debug.text();
    EXPECT_TRUE(debug.contains("midiOutClose failed: MIDIERR_STILLPLAYING (65)")) << debug.text();
}

// A driver that never hands the header back keeps the buffer: what it plays later is still
// the message, not whatever the heap put there after the port was gone.
TEST_F(MidiOutputTest, BufferADriverStillHoldsIsNotFreed) {
    sim.holdCompletions(1);
    Port port(1);
    const Bytes message = pattern(4352, 26);
    MIDI::SysexMessage m = sysex(message);
    ASSERT_TRUE(port->sendSysex(m));
    sim.failNext(SimWinmmFailReset, 2);
    const unsigned abandonedBefore = AbandonedInFlightBlocks();
    port.release();
    EXPECT_EQ(sim.openHandleCount(), 1u) << "the handle was closed although the driver held the buffer";
    EXPECT_EQ(AbandonedInFlightBlocks(), abandonedBefore + 1) << "the block was not left to the driver";
    // Blocks the size of the port's header and buffer, where a freed one would be reused; and
    // events, one of which would take the slot of a closed completion event.
    std::vector<std::vector<uint8_t>> scribble;
    for (int i = 0; i < 64; ++i) scribble.emplace_back(InFlightBlock<MIDIHDR>::bytesFor(MidiOutput::kSysexBufferSize), 0xAA);
    std::vector<HANDLE> events;
    for (int i = 0; i < 64; ++i) events.push_back(CreateEventA(NULL, TRUE, FALSE, NULL));
    sim.holdCompletions(0);
    ASSERT_TRUE(waitFor([&] { return sentRecord(0).outcome == SimWinmmOutcomePlayed; }, 5000));
    EXPECT_EQ(sentBytes(0), message);
    // The driver signals after it marks the message played; a signal that must not come is
    // waited for a while.
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, 1000), WAIT_TIMEOUT)
        << "the driver signalled an event the port had closed";
    for (HANDLE event : events) CloseHandle(event);
}

// A close refused for want of memory is tried again: a kept handle would refuse every later
// open of the exclusive port.
TEST_F(MidiOutputTest, CloseShortOfMemoryIsTriedAgain) {
    DebugCapture debug;
    const uint32_t open = sim.openHandleCount();  // a handle an earlier test left to its driver stays counted
    {
        Port port(1);
        sim.failNext(SimWinmmFailClose, 2);
    }
    EXPECT_EQ(sim.openHandleCount(), open);
    EXPECT_TRUE(debug.contains("midiOutClose failed: MMSYSERR_NOMEM")) << debug.text();
    Port again(1);
    EXPECT_EQ(sim.openHandleCount(), open + 1);
}

TEST_F(MidiOutputTest, FailedCallsAreNamedInTheDiagnostics) {
    Port port(1);
    DebugCapture debug;
    MIDI::SysexMessage m = sysex(pattern(20, 27));
    sim.failNext(SimWinmmFailLongMsg, 1);
    EXPECT_FALSE(port->sendSysex(m));
    sim.failNext(SimWinmmFailPrepare, 1);
    EXPECT_FALSE(port->sendSysex(m));
    EXPECT_TRUE(debug.contains("midiOutLongMsg failed: MIDIERR_NOTREADY (67)")) << debug.text();
    EXPECT_TRUE(debug.contains("midiOutPrepareHeader failed: MMSYSERR_NOMEM (7)")) << debug.text();
    sim.failNext(SimWinmmFailOpen, 1);
    EXPECT_THROW(MidiOutput refused(0), GeneralError);
    EXPECT_TRUE(debug.contains("midiOutOpen failed: MMSYSERR_ALLOCATED (4)")) << debug.text();
}

// The name behind the handle, not behind the index, which another device may hold by now.
TEST_F(MidiOutputTest, DeviceShortNameFollowsTheHandle) {
    Port port(1);
    EXPECT_EQ(port->deviceShortName(), "2- Lumetra");
    sim.scheduleChange(SimWinmmAtNumDevs, 1, 0, device, "Intruder");
    EXPECT_EQ(getOutputPortName(1, false, false), "Intruder");
    EXPECT_EQ(port->deviceShortName(), "2- Lumetra");
    sim.renameDevice(device, "Gridlet");
    EXPECT_EQ(port->deviceShortName(), "Gridlet");
    sim.removeDevice(device);
    EXPECT_EQ(port->deviceShortName(), "");
}

}  // namespace

namespace {

TEST(WinMMTableTest, LoadedOnceFromSystemFolder) {
    std::vector<const WinMM*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = &winmm(); });
    for (std::thread& t : threads) t.join();
    for (const WinMM* table : seen) EXPECT_EQ(table, &winmm());
    ASSERT_NE(winmm().module, nullptr);
    char folder[MAX_PATH] = {}, file[MAX_PATH] = {};
    ASSERT_NE(GetSystemDirectoryA(folder, MAX_PATH), 0u);
    ASSERT_NE(GetModuleFileNameA(winmm().module, file, MAX_PATH), 0u);
    EXPECT_EQ(lstrcmpiA(file, (std::string(folder) + "\\winmm.dll").c_str()), 0) << file;
}

}  // namespace
