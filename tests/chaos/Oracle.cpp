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

// A completion later than the wait for a message in flight allows, or none by the result,
// is a stall as the program sees it, whatever made it (a stand-in's thread starved on a
// loaded machine among others): ending the update with 2 is then honest.
bool completionLate(const std::vector<Sent>& sent) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (const Sent& s : sent) {
        const uint64_t allowedMs = inFlightWaitMs(s.record.length);
        if (!s.record.completedQpc ||
            s.record.completedQpc - s.record.acceptedQpc > allowedMs * static_cast<uint64_t>(frequency.QuadPart) / 1000)
            return true;
    }
    return false;
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

Staged stageWinmm(const World& w, SimWinmmControl& sim) {
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
        if (w.openChange == OpenChange::InsertBefore)
            sim.scheduleChange(SimWinmmAtOpen, 1, 0, instrument, "Intruder");
        else if (w.openChange == OpenChange::RemoveBefore)
            sim.scheduleChange(SimWinmmAtOpen, 1, 1, others[w.instrumentAt - 1], "");
    }
    if (w.openFailures) sim.failNext(SimWinmmFailOpen, w.openFailures);
    if (w.refusals) sim.failNext(w.refusalKind, w.refusals);
    if (w.stall == Stall::AtStartForAWhile) sim.holdCompletions(1);
    return Staged{instrument, others.front()};
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
    if (!w.allowed.count(o.result) && !(o.result == 2 && completionLate(o.atResult)))
        fail("result " + std::to_string(o.result) + " is not one this world may give");
    // A port comes back with every result but 1; an update stopped by a failed allocation
    // may come back without the one it had opened.
    const bool port = o.portReturned == 1;
    if (o.portReturned >= 0 && (o.result == 1 ? port : !port && !(o.result == 2 && w.failAllocation)))
        fail("result " + std::to_string(o.result) + " and whether a port was returned disagree");
    if (!o.resultBoxRight) fail("the result box does not say the result");
    for (size_t i = 0; i < o.atResult.size(); ++i) {
        const Sent& s = o.atResult[i];
        const std::string which = "message " + std::to_string(i);
        if (s.record.deviceId != o.instrument) {
            fail(which + " went to \"" + s.record.deviceName + "\", not the instrument");
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
    const Bytes start(w.file.begin(), w.file.begin() + (w.hasStart ? 15 : 0));
    const bool usable = !w.zeph.absent && w.zeph.version == 1 && !w.zeph.createNull && !w.zeph.noDevice;
    for (const Bytes& write : o.zephWrites) {
        const bool statusRequest = write.size() == 14 && write[5] == 0x01;
        if (w.hasStart && write == start) {
            if (!usable) fail("the start message went to a library that is not usable");
        } else if (!statusRequest) {
            fail("the library was sent " + std::to_string(write.size()) + " bytes that are no start message");
        }
    }
    if (o.hiddenWrites) fail(std::to_string(o.hiddenWrites) + " writes reached the maker's hidden ports");
    if (o.hiddenHandles) fail(std::to_string(o.hiddenHandles) + " handles on the hidden driver were left open");
    if (!o.zephViolations.empty()) fail("the library saw misuse: " + o.zephViolations);
    if (o.ms > boundMs) fail("took " + std::to_string(o.ms) + " ms, over its bound");
    return bad;
}

}  // namespace chaos
