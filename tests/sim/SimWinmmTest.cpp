// The simulated winmm.dll against what WinMM does for MIDI output, which the program relies
// on. Reaches the stand-in through its exports only, declared by the platform headers.

#include <windows.h>
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "sim/winmm/SimWinmmControl.h"

namespace {

struct Mm {
    decltype(&midiOutGetNumDevs) numDevs;
    decltype(&midiOutGetDevCapsA) caps;
    decltype(&midiOutOpen) open;
    decltype(&midiOutClose) close;
    decltype(&midiOutReset) reset;
    decltype(&midiOutPrepareHeader) prepare;
    decltype(&midiOutUnprepareHeader) unprepare;
    decltype(&midiOutLongMsg) longMsg;
    decltype(&midiOutShortMsg) shortMsg;
};

template <typename F>
void bind(HMODULE module, const char* name, F& slot) {
    slot = reinterpret_cast<F>(GetProcAddress(module, name));
    ASSERT_NE(slot, nullptr) << name;
}

long long msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

class SimWinmmBehaviour : public ::testing::Test {
protected:
    void SetUp() override {
        module = LoadLibraryExA("winmm.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
        ASSERT_NE(module, nullptr);
        ASSERT_TRUE(sim.load(module)) << "not the stand-in (WINEDLLOVERRIDES=winmm=n,b?)";
        bind(module, "midiOutGetNumDevs", mm.numDevs);
        bind(module, "midiOutGetDevCapsA", mm.caps);
        bind(module, "midiOutOpen", mm.open);
        bind(module, "midiOutClose", mm.close);
        bind(module, "midiOutReset", mm.reset);
        bind(module, "midiOutPrepareHeader", mm.prepare);
        bind(module, "midiOutUnprepareHeader", mm.unprepare);
        bind(module, "midiOutLongMsg", mm.longMsg);
        bind(module, "midiOutShortMsg", mm.shortMsg);
        sim.reset();
        device = sim.addDevice(0, "Lumetra");
        event = CreateEventA(NULL, FALSE, FALSE, NULL);
    }
    void TearDown() override {
        if (sim.reset) sim.reset();
        if (event) CloseHandle(event);
    }

    HMIDIOUT openDevice(UINT index = 0) {
        HMIDIOUT out = NULL;
        EXPECT_EQ(mm.open(&out, index, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT), MMSYSERR_NOERROR);
        EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0) << "no signal on open";
        return out;
    }
    MMRESULT send(HMIDIOUT out, MIDIHDR& header, std::vector<char>& bytes) {
        header = MIDIHDR{};
        header.lpData = bytes.data();
        header.dwBufferLength = static_cast<DWORD>(bytes.size());
        const MMRESULT prepared = mm.prepare(out, &header, sizeof(header));
        return prepared == MMSYSERR_NOERROR ? mm.longMsg(out, &header, sizeof(header)) : prepared;
    }
    SimWinmmSent record(uint32_t index, std::vector<char>* bytes = nullptr) {
        SimWinmmSent r = {};
        std::vector<char> local(0x10000);
        sim.getSent(index, &r, reinterpret_cast<uint8_t*>(local.data()), static_cast<uint32_t>(local.size()));
        if (bytes) bytes->assign(local.begin(), local.begin() + r.length);
        return r;
    }
    std::string nameAt(UINT index) {
        MIDIOUTCAPSA caps = {};
        return mm.caps(index, &caps, sizeof(caps)) == MMSYSERR_NOERROR ? caps.szPname : "(fails)";
    }

    HMODULE module = nullptr;
    SimWinmmControl sim;
    Mm mm = {};
    uint32_t device = 0;
    HANDLE event = NULL;
};

TEST_F(SimWinmmBehaviour, HeaderLifecycleAndResetAsWinmmHasThem) {
    HMIDIOUT out = openDevice();
    sim.holdCompletions(1);
    std::vector<char> bytes = {'\xF0', 1, 2, 3, '\xF7'};
    MIDIHDR header = {};
    header.lpData = bytes.data();
    header.dwBufferLength = 5;
    EXPECT_EQ(mm.longMsg(out, &header, sizeof(header)), MIDIERR_UNPREPARED);
    ASSERT_EQ(send(out, header, bytes), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags & (MHDR_PREPARED | MHDR_INQUEUE | MHDR_DONE), DWORD(MHDR_PREPARED | MHDR_INQUEUE));
    EXPECT_EQ(mm.unprepare(out, &header, sizeof(header)), MIDIERR_STILLPLAYING);
    EXPECT_EQ(mm.close(out), MIDIERR_STILLPLAYING);
    EXPECT_EQ(mm.shortMsg(out, 0x90), MMSYSERR_NOERROR) << "a refused close left the handle closed";
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    ASSERT_EQ(mm.reset(out), MMSYSERR_NOERROR);
    // Documented: the buffers come back through the callback path, which may be after the
    // call has returned.
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0) << "the returned header was not signalled";
    EXPECT_EQ(header.dwFlags & (MHDR_INQUEUE | MHDR_DONE), DWORD(MHDR_DONE));
    ASSERT_EQ(sim.sentCount(), 3u);
    EXPECT_EQ(record(0).outcome, SimWinmmOutcomeReturned);
    EXPECT_EQ(record(2).kind, SimWinmmSentReset);
    EXPECT_EQ(record(2).deviceId, device);

    EXPECT_EQ(mm.unprepare(out, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(mm.close(out), MMSYSERR_NOERROR);
    EXPECT_EQ(sim.openHandleCount(), 0u);
    EXPECT_EQ(mm.shortMsg(out, 0x90), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(mm.reset(out), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(mm.close(out), MMSYSERR_INVALHANDLE);
}

// Queued or completed inside the call: either way MHDR_DONE is set when the event wakes
// the sender.
TEST_F(SimWinmmBehaviour, DoneIsSetBeforeTheEventIsSignalled) {
    for (int inCall : {0, 1}) {
        SCOPED_TRACE(inCall);
        sim.setCompleteInCall(device, inCall);
        HMIDIOUT out = openDevice();
        std::vector<char> bytes(64, 0x11);
        MIDIHDR header = {};
        for (int i = 0; i < 30; ++i) {
            ASSERT_EQ(send(out, header, bytes), MMSYSERR_NOERROR);
            if (inCall) {
                EXPECT_EQ(header.dwFlags & (MHDR_INQUEUE | MHDR_DONE), DWORD(MHDR_DONE));
            }
            ASSERT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
            ASSERT_TRUE(header.dwFlags & MHDR_DONE) << "signalled before done, message " << i;
            ASSERT_EQ(mm.unprepare(out, &header, sizeof(header)), MMSYSERR_NOERROR);
        }
        EXPECT_EQ(mm.close(out), MMSYSERR_NOERROR);
    }
}

// Completion when the last byte has left at the device's rate; the bytes are those the
// buffer holds while it plays, so a buffer rewritten while queued shows in the capture.
TEST_F(SimWinmmBehaviour, WireSpeedPacesCompletionsAndBytesAreReadAsPlayed) {
    const struct {
        uint32_t rate;
        size_t length;
    } cases[] = {{3125, 625}, {31250, 3125}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        sim.reset();
        device = sim.addDevice(0, "Lumetra");
        sim.setWireSpeed(device, c.rate);
        const long long wireMs = static_cast<long long>(c.length * 1000 / c.rate);
        HMIDIOUT out = openDevice();
        std::vector<char> first(c.length, 0x01), second(c.length, 0x02);
        MIDIHDR a = {}, b = {};
        // Held, so that nothing plays before the rewrite however late this thread runs; the
        // wire times still count from the hand-over.
        sim.holdCompletions(1);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(send(out, a, first), MMSYSERR_NOERROR);
        ASSERT_EQ(send(out, b, second), MMSYSERR_NOERROR);
        first.assign(c.length, 0x55);  // rewritten while the driver owns it
        sim.holdCompletions(0);
        ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
        EXPECT_GE(msSince(start), wireMs - 20);
        EXPECT_TRUE(a.dwFlags & MHDR_DONE);
        while (!(b.dwFlags & MHDR_DONE) && msSince(start) < 5000) WaitForSingleObject(event, 100);
        EXPECT_GE(msSince(start), 2 * wireMs - 20) << "the second message did not wait for the first";
        std::vector<char> captured;
        EXPECT_EQ(record(0, &captured).playedLength, c.length);
        EXPECT_EQ(captured, first);
        EXPECT_EQ(mm.close(out), MMSYSERR_NOERROR);
    }
}

// A device that arrives, added or inserted into the list, has a USB MIDI link of its own:
// its messages take their time unless a test asks for them to play at once.
TEST_F(SimWinmmBehaviour, NewDevicesPlayAtUsbMidiSpeed) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const size_t length = 4800;  // 100 ms at 48,000 bytes/s
    for (bool inserted : {false, true}) {
        SCOPED_TRACE(inserted ? "inserted" : "added");
        sim.reset();
        if (inserted) {
            const uint32_t lumetra = sim.addDevice(0, "Lumetra");
            ASSERT_NE(sim.scheduleChange(SimWinmmAtNumDevs, 1, 0, lumetra, "Arrival"), 0u);
            ASSERT_EQ(mm.numDevs(), 2u);
        } else {
            sim.addDevice(0, "Arrival");
        }
        ASSERT_EQ(nameAt(0), "Arrival");
        HMIDIOUT out = openDevice(0);
        std::vector<char> bytes(length, 0x11);
        MIDIHDR header = {};
        ASSERT_EQ(send(out, header, bytes), MMSYSERR_NOERROR);
        const auto start = std::chrono::steady_clock::now();
        while (!(header.dwFlags & MHDR_DONE) && msSince(start) < 5000) WaitForSingleObject(event, 100);
        ASSERT_TRUE(header.dwFlags & MHDR_DONE);
        const SimWinmmSent r = record(0);
        const double playedMs = (r.completedQpc - r.acceptedQpc) * 1000.0 / frequency.QuadPart;
        EXPECT_GE(playedMs, 95.0) << "the message played at once";
        EXPECT_EQ(r.playedLength, length);
        EXPECT_EQ(mm.unprepare(out, &header, sizeof(header)), MMSYSERR_NOERROR);
        EXPECT_EQ(mm.close(out), MMSYSERR_NOERROR);
    }
}

TEST_F(SimWinmmBehaviour, ResetCutsTheMessagePlayingWhereItIs) {
    sim.setWireSpeed(device, 3125);
    HMIDIOUT out = openDevice();
    std::vector<char> bytes(0x8000, 0x33);  // 10 s on the wire
    MIDIHDR header = {};
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(send(out, header, bytes), MMSYSERR_NOERROR);
    Sleep(300);  // the check below measures what left meanwhile, however long this took
    const long long before = msSince(start);
    ASSERT_EQ(mm.reset(out), MMSYSERR_NOERROR);
    const long long after = msSince(start);
    std::vector<char> captured;
    SimWinmmSent cut = record(0, &captured);
    EXPECT_EQ(cut.outcome, SimWinmmOutcomeReturned);
    EXPECT_GE(cut.playedLength, (before - 20) * 3125 / 1000);
    EXPECT_LE(cut.playedLength, (after + 20) * 3125 / 1000);
    EXPECT_EQ(std::string(captured.begin(), captured.begin() + cut.playedLength), std::string(cut.playedLength, 0x33));
    EXPECT_EQ(mm.close(out), MMSYSERR_NOERROR);
}

// What a removed device's handle still answers, as WinMM has it after a USB device left:
// calls that talk to the device fail with MMSYSERR_NODRIVER, the rest work.
void expectRemovedHandle(const Mm& mm, HMIDIOUT out, MIDIHDR& header) {
    MIDIOUTCAPSA caps = {};
    EXPECT_EQ(mm.caps(reinterpret_cast<UINT_PTR>(out), &caps, sizeof(caps)), MMSYSERR_NODRIVER);
    EXPECT_EQ(mm.longMsg(out, &header, sizeof(header)), MMSYSERR_NODRIVER);
    EXPECT_EQ(mm.shortMsg(out, 0x90), MMSYSERR_NODRIVER);
    EXPECT_EQ(mm.reset(out), MMSYSERR_NOERROR);
    EXPECT_EQ(mm.unprepare(out, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(mm.close(out), MMSYSERR_NOERROR);
}

// Documented for USB drivers: on removal every buffer still queued comes back done, with
// its callback, whatever had been played. An instrument unplugged at a chosen byte: the
// message carrying it is accepted, then handed back unplayed, and the device is gone at once.
TEST_F(SimWinmmBehaviour, UnplugAtByteHandsTheMessageBackDoneAndUnplayed) {
    ASSERT_EQ(sim.unplugAtByte(device, 7), 1);
    HMIDIOUT out = openDevice();
    std::vector<char> first = {'\xF0', 1, 2, 3, '\xF7'}, second = {'\xF0', 4, 5, 6, '\xF7'};
    MIDIHDR a = {}, b = {};
    ASSERT_EQ(send(out, a, first), MMSYSERR_NOERROR);
    ASSERT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(mm.numDevs(), 1u);
    ASSERT_EQ(send(out, b, second), MMSYSERR_NOERROR);
    EXPECT_EQ(mm.numDevs(), 0u);
    ASSERT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0) << "the removed device kept the header";
    EXPECT_EQ(b.dwFlags & (MHDR_INQUEUE | MHDR_DONE), DWORD(MHDR_DONE));
    EXPECT_EQ(record(1).outcome, SimWinmmOutcomeUnplugged);
    EXPECT_EQ(record(1).playedLength, 0u);
    expectRemovedHandle(mm, out, b);
    EXPECT_EQ(sim.openHandleCount(), 0u);
}

// Assumed harsher than most drivers: the device goes while a chosen message plays, part of
// it out; the header still comes back done, and only the capture tells it was cut.
TEST_F(SimWinmmBehaviour, UnplugWhileAMessagePlaysCutsItWhereItWas) {
    sim.setWireSpeed(device, 3125);
    ASSERT_EQ(sim.unplugDuring(device, 2, 100), 1);
    HMIDIOUT out = openDevice();
    std::vector<char> first(50, 0x11), second(1000, 0x22);
    MIDIHDR a = {}, b = {};
    ASSERT_EQ(send(out, a, first), MMSYSERR_NOERROR);
    ASSERT_EQ(send(out, b, second), MMSYSERR_NOERROR);
    ASSERT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0) << "the cut message never came back";
    EXPECT_EQ(b.dwFlags & (MHDR_INQUEUE | MHDR_DONE), DWORD(MHDR_DONE));
    EXPECT_EQ(mm.numDevs(), 0u);
    EXPECT_EQ(record(0).outcome, SimWinmmOutcomePlayed);
    std::vector<char> captured;
    const SimWinmmSent cut = record(1, &captured);
    EXPECT_EQ(cut.outcome, SimWinmmOutcomeUnplugged);
    EXPECT_GE(cut.playedLength, 99u);
    EXPECT_LE(cut.playedLength, 100u);
    EXPECT_EQ(std::string(captured.begin(), captured.begin() + cut.playedLength), std::string(cut.playedLength, 0x22));
    expectRemovedHandle(mm, out, b);
}

// A device removed from another process, while its completions are held: the driver hands
// the queue back anyway; a close before that is refused as with any queued header.
TEST_F(SimWinmmBehaviour, RemovalHandsBackHeldMessagesAndCountsTheHandleTillClosed) {
    // A slow link and a long message: the removal comes long before its last byte.
    sim.setWireSpeed(device, 3125);
    HMIDIOUT out = openDevice();
    sim.holdCompletions(1);
    std::vector<char> bytes(1000, 0x11);
    MIDIHDR header = {};
    ASSERT_EQ(send(out, header, bytes), MMSYSERR_NOERROR);
    EXPECT_EQ(mm.close(out), MIDIERR_STILLPLAYING);
    ASSERT_EQ(sim.removeDevice(device), 1);
    ASSERT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0) << "the removed device kept the header";
    EXPECT_EQ(header.dwFlags & (MHDR_INQUEUE | MHDR_DONE), DWORD(MHDR_DONE));
    EXPECT_EQ(record(0).outcome, SimWinmmOutcomeUnplugged);
    // A reset of the stand-in forgets the devices, not a handle nobody closed.
    sim.reset();
    EXPECT_EQ(sim.openHandleCount(), 1u);
    expectRemovedHandle(mm, out, header);
    EXPECT_EQ(sim.openHandleCount(), 0u);
}

TEST_F(SimWinmmBehaviour, CapsQueryCanFailForAnIndexInRange) {
    const uint32_t broken = sim.addDevice(0, "Broken");
    sim.addDevice(0, "After");
    MIDIOUTCAPSA caps = {};
    // Assumed harsher: a device in the count may answer as if its index were out of range.
    for (int fail : {1, 2}) {
        sim.failCaps(broken, fail);
        EXPECT_EQ(mm.numDevs(), 3u);
        EXPECT_EQ(nameAt(0), "Lumetra");
        EXPECT_EQ(mm.caps(1, &caps, sizeof(caps)), fail == 1 ? MMSYSERR_ERROR : MMSYSERR_BADDEVICEID);
        EXPECT_EQ(nameAt(2), "After");
    }
}

// Assumed harsher than WinMM's checks: it keeps its own record of a prepared header, so a
// copy that carries the flag, or a header prepared on another handle, is not prepared.
TEST_F(SimWinmmBehaviour, OnlyAHeaderPreparedOnTheHandleIsTaken) {
    const uint32_t second = sim.addDevice(0, "Second");
    ASSERT_NE(second, 0u);
    HMIDIOUT out = openDevice(0), other = openDevice(1);
    std::vector<char> bytes = {'\xF0', 1, '\xF7'};
    MIDIHDR header = {};
    header.lpData = bytes.data();
    header.dwBufferLength = 3;
    ASSERT_EQ(mm.prepare(other, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(mm.longMsg(out, &header, sizeof(header)), MIDIERR_UNPREPARED);
    MIDIHDR copy = header;
    EXPECT_EQ(mm.longMsg(other, &copy, sizeof(copy)), MIDIERR_UNPREPARED);
    EXPECT_EQ(mm.unprepare(out, &header, sizeof(header)), MMSYSERR_INVALPARAM);
    EXPECT_EQ(mm.unprepare(other, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(sim.sentCount(), 0u);
    EXPECT_EQ(mm.close(out), MMSYSERR_NOERROR);
    EXPECT_EQ(mm.close(other), MMSYSERR_NOERROR);
}

// Documented: a reset turns notes off on every channel before it returns, which takes their
// time on a slow link; the queued header comes back afterwards through the callback path.
TEST_F(SimWinmmBehaviour, ResetTakesTheTimeOfItsNoteOffs) {
    sim.setWireSpeed(device, 3125);
    HMIDIOUT out = openDevice();
    sim.holdCompletions(1);
    std::vector<char> bytes = {'\xF0', 1, 2, 3, '\xF7'};
    MIDIHDR header = {};
    ASSERT_EQ(send(out, header, bytes), MMSYSERR_NOERROR);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(mm.reset(out), MMSYSERR_NOERROR);
    EXPECT_GE(msSince(start), 14) << "16 channels' note-offs take 48 bytes at 3125 bytes/s";
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(header.dwFlags & (MHDR_INQUEUE | MHDR_DONE), DWORD(MHDR_DONE));
    EXPECT_EQ(mm.unprepare(out, &header, sizeof(header)), MMSYSERR_NOERROR);
    EXPECT_EQ(mm.close(out), MMSYSERR_NOERROR);
}

// Assumed harsher: a close may fail for want of memory, the handle then staying open.
TEST_F(SimWinmmBehaviour, CloseCanFailWithNoMemory) {
    HMIDIOUT out = openDevice();
    sim.failNext(SimWinmmFailClose, 1);
    EXPECT_EQ(mm.close(out), MMSYSERR_NOMEM);
    EXPECT_EQ(sim.openHandleCount(), 1u);
    EXPECT_EQ(mm.close(out), MMSYSERR_NOERROR);
    EXPECT_EQ(sim.openHandleCount(), 0u);
}

// A device comes or goes at a chosen moment, shifting the indices of those after it.
TEST_F(SimWinmmBehaviour, DeviceListChangesAtTheChosenMoment) {
    const struct {
        SimWinmmMoment moment;
        uint32_t count;
        bool remove;
        std::vector<std::string> after;
    } cases[] = {
        {SimWinmmAtNumDevs, 2, false, {"Other", "Intruder", "Lumetra"}},
        {SimWinmmAtNumDevs, 1, true, {"Lumetra"}},
        {SimWinmmAtOpen, 1, false, {"Other", "Intruder", "Lumetra"}},
        {SimWinmmAtOpen, 1, true, {"Lumetra"}},
        // Between two capabilities queries of one scan, as a device unplugged mid-scan.
        {SimWinmmAtCaps, 2, false, {"Other", "Intruder", "Lumetra"}},
        {SimWinmmAtCaps, 2, true, {"Lumetra"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(&c - cases));
        sim.reset();
        const uint32_t other = sim.addDevice(0, "Other");
        const uint32_t lumetra = sim.addDevice(0, "Lumetra");
        const uint32_t id = sim.scheduleChange(c.moment, c.count, c.remove, c.remove ? other : lumetra, "Intruder");
        ASSERT_NE(id, 0u);
        EXPECT_EQ(nameAt(1), "Lumetra");
        if (c.moment == SimWinmmAtNumDevs) {
            if (c.count > 1) {
                EXPECT_EQ(mm.numDevs(), 2u) << "changed before its call";
            }
            mm.numDevs();
        } else if (c.moment == SimWinmmAtCaps) {
            EXPECT_EQ(mm.numDevs(), 2u);
            EXPECT_EQ(nameAt(1), c.after.size() > 1 ? c.after[1] : "(fails)") << "the second query sees the new list";
        } else {
            EXPECT_EQ(mm.numDevs(), 2u);
            HMIDIOUT out = openDevice(0);
            EXPECT_EQ(mm.close(out), MMSYSERR_NOERROR);
        }
        ASSERT_EQ(mm.numDevs(), c.after.size());
        for (UINT i = 0; i < c.after.size(); ++i) EXPECT_EQ(nameAt(i), c.after[i]) << i;
    }
}

}  // namespace
