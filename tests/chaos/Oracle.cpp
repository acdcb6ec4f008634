#include "tests/chaos/Oracle.h"

#include <algorithm>

namespace chaos {

namespace {

uint32_t longCount(SimWinmmControl& sim) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < sim.sentCount(); ++i) {
        SimWinmmSent r = {};
        if (sim.getSent(i, &r, nullptr, 0) && r.kind == SimWinmmSentLong) ++n;
    }
    return n;
}

// A message whose completion had not come within the wait a message in flight is allowed,
// when the result came only after that wait, is a stall as the program sees it, whatever
// made it (a stand-in's thread starved on a loaded machine among others): ending the update
// with 2 is then honest. Giving up sooner is not.
bool completionLate(const std::vector<Sent>& sent, uint64_t resultQpc) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const uint64_t perMs = static_cast<uint64_t>(frequency.QuadPart) / 1000;
    // A wait's time-out may end a timer tick early.
    const uint64_t tickMs = 20;
    for (const Sent& s : sent) {
        const uint64_t allowed = s.record.acceptedQpc + (inFlightWaitMs(s.record.length) - tickMs) * perMs;
        const bool notInTime = !s.record.completedQpc || s.record.completedQpc > allowed;
        if (notInTime && resultQpc >= allowed) return true;
    }
    return false;
}

bool isStartWrite(const World& w, const Bytes& write) {
    return w.startSendable && write.size() == 15 && std::equal(write.begin(), write.end(), w.file.begin());
}

}  // namespace

std::vector<Sent> longMessages(SimWinmmControl& sim) {
    std::vector<Sent> all;
    for (uint32_t i = 0; i < sim.sentCount(); ++i) {
        Sent s = {};
        s.bytes.resize(kPortBuffer + 0x1000);
        if (!sim.getSent(i, &s.record, s.bytes.data(), static_cast<uint32_t>(s.bytes.size()))) break;
        if (s.record.kind != SimWinmmSentLong) continue;
        s.bytes.resize(std::min<size_t>(s.record.length, s.bytes.size()));
        all.push_back(s);
    }
    return all;
}

std::vector<std::pair<std::string, std::string>> zephSettings(const World& w) {
    const ZephFaults& z = w.zeph;
    return {{"CARROWICK_SIMZEPH_VERSION", std::to_string(z.version)},
            {"CARROWICK_SIMZEPH_NO_DEVICE", std::to_string(z.noDevice)},
            {"CARROWICK_SIMZEPH_CREATE_NULL", std::to_string(z.createNull)},
            {"CARROWICK_SIMZEPH_CALLBACK_IN_CREATE", std::to_string(z.callbackInCreate)},
            {"CARROWICK_SIMZEPH_CALLBACK_IN_DESTROY", std::to_string(z.callbackInDestroy)},
            {"CARROWICK_SIMZEPH_REBIND_ON_START", std::to_string(z.rebindOnStart)},
            {"CARROWICK_SIMZEPH_BACK_MS", std::to_string(z.backMs)},
            {"CARROWICK_SIMZEPH_WRITE_MS", std::to_string(z.writeMs)},
            {"CARROWICK_SIMZEPH_LUMETRA_DELAY_MS", w.secondArrives ? "0" : "-1"},
            {"CARROWICK_SIMZEPH_LUMETRA_NAME", w.secondArrives ? kSecondArrival : "Lumetra"}};
}

Staged stageWinmm(const World& w, SimWinmmControl& sim) {
    const uint32_t openHandles = sim.openHandleCount();
    sim.reset();
    sim.holdCompletions(0);
    sim.setCompletionDelay(w.completionDelayMs);
    uint32_t instrument = 0;
    std::vector<uint32_t> others;
    for (int i = 0; i <= w.otherDevices; ++i) {
        if (i == w.instrumentAt) {
            if (w.arrival == Arrival::Present) instrument = sim.addDevice(0, "Lumetra");
            continue;
        }
        others.push_back(sim.addDevice(0, ("Other Synth " + std::to_string(i)).c_str()));
    }
    if (w.arrival == Arrival::DuringSearch) {
        // Where it belongs: before the device that follows it, else before the last one.
        const bool last = w.instrumentAt >= static_cast<int>(others.size());
        instrument = sim.scheduleChange(SimWinmmAtNumDevs, w.arrivalCall, 0,
                                        last ? others.back() : others[w.instrumentAt], "Lumetra");
    }
    if (w.arrival == Arrival::Present) {
        sim.setWireSpeed(instrument, w.wireSpeed);
        sim.setCompleteInCall(instrument, w.completeInCall);
        sim.unplugAtByte(instrument, w.unplugAtByte);
        sim.unplugDuring(instrument, w.unplugDuring, w.unplugPlayed);
        sim.failCaps(instrument, w.capsFail);
        if (w.secondBefore) sim.addDevice(0, kSecondBefore);
        if (w.leaveDuringSearch) sim.scheduleChange(SimWinmmAtNumDevs, w.leaveCall, 1, others.front(), "");
        if (w.openChange == OpenChange::InsertBefore)
            sim.scheduleChange(SimWinmmAtOpen, 1, 0, instrument, "Intruder");
        else if (w.openChange == OpenChange::RemoveBefore)
            sim.scheduleChange(SimWinmmAtOpen, 1, 1, others[w.instrumentAt - 1], "");
    }
    if (w.openFailures) sim.failNext(SimWinmmFailOpen, w.openFailures);
    if (w.refusals) sim.failNext(w.refusalKind, w.refusals);
    if (w.stall == Stall::AtStartForAWhile) sim.holdCompletions(1);
    return Staged{instrument, others.front(), openHandles};
}

FaultThreads::FaultThreads(const World& w, const Staged& staged, SimWinmmControl& sim) : started_(GetTickCount64()) {
    if (w.stall != Stall::None) {
        add(std::thread([this, &w, &sim] {
            ULONGLONG held = started_;
            if (w.stall != Stall::AtStartForAWhile) {
                if (!until([&] { return longCount(sim) >= w.stallAfter; })) return;
                sim.holdCompletions(1);
                if (w.stall == Stall::MidTransferForever) return;
                held = GetTickCount64();
            }
            until([&] { return GetTickCount64() - held >= static_cast<ULONGLONG>(w.stallMs); });
            sim.holdCompletions(0);
        }));
    }
    if (w.renameDuringTransfer) {
        const uint32_t renamed = w.renameInstrument ? staged.instrument : staged.firstOther;
        add(std::thread([this, &w, &sim, renamed] {
            if (until([&] { return longCount(sim) >= w.renameAfter; })) sim.renameDevice(renamed, "Renamed Synth");
        }));
    }
    if (w.shiftDuringTransfer) {
        // The first other device leaves once the transfer has begun: the indices shift.
        const uint32_t first = staged.firstOther;
        add(std::thread([this, &w, &sim, first] {
            if (until([&] { return longCount(sim) >= std::max<uint32_t>(1, w.shiftAfter); })) sim.removeDevice(first);
        }));
    }
}

void FaultThreads::stop() {
    over_.store(true);
    for (std::thread& t : threads_) t.join();
    threads_.clear();
}

std::vector<std::string> judge(const World& w, const Observed& o, uint32_t boundMs) {
    std::vector<std::string> bad;
    auto fail = [&](const std::string& text) { bad.push_back(text); };
    // A failed allocation or a throwing progress sink may end the update at any step as not
    // completed.
    const bool allocationStop = o.result == 2 && o.updateThrew;
    if (!w.allowed.count(o.result) && !(o.result == 2 && completionLate(o.atResult, o.resultQpc)) && !allocationStop)
        fail("result " + std::to_string(o.result) + " is not one this world may give");
    // A port comes back with every result but 1; an update stopped by an exception comes back
    // without the one it had opened (released, as the handle count shows).
    const bool port = o.portReturned == 1;
    if (o.portReturned >= 0 && (o.result == 1 ? port : !port && !allocationStop))
        fail("result " + std::to_string(o.result) + " and whether a port was returned disagree");
    if (!o.resultBoxRight) fail("the result box does not say the result");
    if (o.result == 1 && !o.atResult.empty())
        fail("no port was found, yet " + std::to_string(o.atResult.size()) + " messages were sent");
    // The update goes to the output that the start message brought when both are named like
    // the instrument at the look; a look before it arrives sees the instrument alone and
    // rightly takes it. Either way, every message goes to the same one.
    const bool toArrival = w.secondArrivesNew() && !o.atResult.empty() &&
                           std::string(o.atResult.front().record.deviceName) == kSecondArrival;
    for (size_t i = 0; i < o.atResult.size(); ++i) {
        const Sent& s = o.atResult[i];
        const std::string which = "message " + std::to_string(i);
        if (toArrival ? std::string(s.record.deviceName) != kSecondArrival : s.record.deviceId != o.instrument) {
            fail(which + " went to \"" + s.record.deviceName + "\", not the instrument being updated");
            continue;
        }
        if (i >= w.fitting) {
            fail(which + " is more than the file's sendable messages");
            break;
        }
        if (s.record.length != w.messages[i].size())
            fail(which + " has " + std::to_string(s.record.length) + " bytes, the file's " +
                 std::to_string(w.messages[i].size()));
        else if (s.record.outcome == SimWinmmOutcomePlayed && s.bytes != w.messages[i])
            fail(which + " arrived with other bytes than the file's");
    }
    if (o.result == 0) {
        if (o.atResult.size() != w.messages.size())
            fail("completed with " + std::to_string(o.atResult.size()) + " of " + std::to_string(w.messages.size()) +
                 " messages handed over");
        for (size_t i = 0; i < o.atResult.size(); ++i)
            if (o.atResult[i].record.outcome != SimWinmmOutcomePlayed) {
                fail("completed while message " + std::to_string(i) + " had not arrived");
                break;
            }
    }
    if (o.sentAfterStop) fail(std::to_string(o.sentAfterStop) + " messages sent after the transfer stopped");
    int starts = 0;
    for (const Bytes& write : o.zephWrites) {
        const bool statusRequest = write.size() == 14 && write[5] == 0x01;
        if (isStartWrite(w, write)) {
            ++starts;
            if (!w.libraryUsable()) fail("the start message went to a library that is not usable");
        } else if (!statusRequest) {
            fail("the library was sent " + std::to_string(write.size()) + " bytes that are no start message");
        }
    }
    // Sent once where it can be; an allocation that failed before it may stop the update first.
    const bool startDue = w.startSendable && w.libraryUsable();
    if (starts > 1 || (startDue && starts == 0 && !o.updateThrew))
        fail("the start message was sent " + std::to_string(starts) + " times" + (startDue ? ", not once" : ""));
    if (o.winmmHandles) fail(std::to_string(o.winmmHandles) + " WinMM handles were left open");
    if (o.hiddenWrites) fail(std::to_string(o.hiddenWrites) + " writes reached the maker's hidden ports");
    if (o.hiddenHandles) fail(std::to_string(o.hiddenHandles) + " handles on the hidden driver were left open");
    if (!o.zephViolations.empty()) fail("the library saw misuse: " + o.zephViolations);
    if (o.ms > boundMs) fail("took " + std::to_string(o.ms) + " ms, over its bound");
    return bad;
}

}  // namespace chaos
