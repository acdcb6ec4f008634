#include "tests/chaos/World.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "device/FirmwareImage.h"

namespace chaos {

const char kSecondBefore[] = "Lumetra B";
const char kSecondArrival[] = "Lumetra 2";

namespace {

const uint8_t kStart[] = {0xF0, 0x00, 0x7A, 0x51, 0x03, 0x71, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xF7};

class Draw {
public:
    explicit Draw(uint64_t seed) : rng_(seed) {}
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    uint32_t between(uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng_); }
    uint8_t dataByte() { return static_cast<uint8_t>(between(0, 0x7F)); }
    // A status byte that is neither a message's start nor its end.
    uint8_t statusByte() {
        for (;;) {
            uint8_t b = static_cast<uint8_t>(between(0x80, 0xFF));
            if (b != 0xF0 && b != 0xF7) return b;
        }
    }

private:
    std::mt19937_64 rng_;
};

void drawFile(World& w, Draw& d) {
    Bytes& f = w.file;
    // Junk before the first message: data and status bytes, now and then an F7.
    if (d.chance(0.04))
        for (uint32_t j = d.between(1, 8); j > 0; --j)
            f.push_back(d.chance(0.1) ? 0xF7 : d.chance(0.5) ? d.statusByte() : d.dataByte());
    if (f.empty() && d.chance(0.5)) f.assign(kStart, kStart + sizeof kStart);
    uint32_t count;
    if (d.chance(0.08))
        count = 0;
    else if (d.chance(0.65))
        count = d.between(1, 20);
    else if (d.chance(0.85))
        count = d.between(21, 300);
    else
        count = d.between(301, 3000);
    const bool oversized = d.chance(0.03);
    const uint32_t oversizedAt = d.between(0, count);
    for (uint32_t i = 0; i < count + (oversized ? 1 : 0); ++i) {
        // Between messages: nothing, data bytes, status bytes, a stray F7.
        if (!f.empty() && d.chance(0.15)) {
            for (uint32_t j = d.between(1, 6); j > 0; --j)
                f.push_back(d.chance(0.1) ? 0xF7 : d.chance(0.5) ? d.statusByte() : d.dataByte());
        }
        uint32_t length;
        if (oversized && i == oversizedAt)
            length = d.between(kPortBuffer - 1, kPortBuffer + 600);  // data bytes: F0 and F7 come on top
        else if (count > 300 || d.chance(0.85))
            length = d.between(1, 40);
        else if (d.chance(0.8))
            length = d.between(41, 1000);
        else
            length = d.between(1001, kPortBuffer - 2);
        if (d.chance(0.01)) length = 0;  // F0 F7
        f.push_back(0xF0);
        const bool withStatus = d.chance(0.08);
        const bool withF0 = d.chance(0.02);  // a second F0 inside: dropped like any status byte
        for (uint32_t j = 0; j < length; ++j) {
            if (withStatus && d.chance(0.05)) f.push_back(d.statusByte());
            if (withF0 && d.chance(0.05)) f.push_back(0xF0);
            f.push_back(d.dataByte());
        }
        f.push_back(0xF7);
    }
    if (d.chance(0.06)) {
        // A tail after the last F7: a cut-off message, or bytes that are no message.
        const bool cut = d.chance(0.6);
        if (cut) f.push_back(0xF0);
        for (uint32_t j = d.between(0, 30); j > 0; --j) f.push_back(d.dataByte());
    }
}

uint64_t handedOver(const World& w) {
    uint64_t n = 0;
    for (size_t i = 0; i < w.fitting; ++i) n += w.messages[i].size();
    return n;
}

}  // namespace

void readFile(World& w) {
    const Bytes& f = w.file;
    w.messages.clear();
    // What counts as a start message is the program's own rule, in one place.
    FirmwareImage image;
    image.assign(f.data(), static_cast<uint32_t>(f.size()));
    std::vector<uint8_t> start;
    w.hasStart = image.takeStartMessage(start);
    w.startSendable = w.hasStart && start.size() >= 15 && start[0] == 0xF0 && start[14] == 0xF7;
    size_t at = w.hasStart ? image.cursor() : 0;
    w.unterminated = false;
    for (;;) {
        auto end = std::find(f.begin() + static_cast<long>(at), f.end(), 0xF7);
        auto start = std::find(f.begin() + static_cast<long>(at), end, 0xF0);
        if (end == f.end()) {
            w.unterminated = start != f.end();
            break;
        }
        if (start != end) {
            Bytes m{0xF0};
            for (auto p = start + 1; p != end; ++p)
                if (*p < 0x80) m.push_back(*p);
            m.push_back(0xF7);
            w.messages.push_back(m);
        }
        at = static_cast<size_t>(end - f.begin()) + 1;
    }
    w.fitting = 0;
    while (w.fitting < w.messages.size() && w.messages[w.fitting].size() <= kPortBuffer) ++w.fitting;
}

uint64_t World::bytesHandedOver() const { return handedOver(*this); }

bool World::libraryUsable() const { return !zeph.absent && zeph.version == 1 && !zeph.createNull && !zeph.noDevice; }

World makeWorld(uint64_t seed, const Pace& pace) {
    World w;
    w.seed = seed;
    Draw d(seed);
    drawFile(w, d);
    readFile(w);
    const uint64_t bytes = handedOver(w);

    // The link: at once, fast, or a MIDI cable (kept for small files, and now and then one
    // whole buffer at cable speed).
    if (d.chance(0.25))
        w.wireSpeed = 0;
    else if ((bytes <= 600 && d.chance(0.15)) || (bytes <= 5000 && d.chance(0.01)))
        w.wireSpeed = 3125;
    else
        w.wireSpeed = static_cast<uint32_t>(std::max<uint64_t>(31250, bytes * 20));
    w.completeInCall = d.chance(0.1);

    w.otherDevices = static_cast<int>(d.between(1, 3));
    w.instrumentAt = static_cast<int>(d.between(0, static_cast<uint32_t>(w.otherDevices)));
    if (d.chance(0.05)) {
        w.arrival = Arrival::Never;
    } else if (d.chance(0.2)) {
        w.arrival = Arrival::DuringSearch;
        w.arrivalCall = d.between(1, 4);
    } else if (d.chance(0.15)) {
        w.openChange = w.instrumentAt > 0 && d.chance(0.5) ? OpenChange::RemoveBefore : OpenChange::InsertBefore;
    }
    if (w.arrival == Arrival::DuringSearch) {
        // A device that arrives has the stand-in's defaults: a link that plays at once.
        w.wireSpeed = 0;
        w.completeInCall = false;
    }
    if (d.chance(0.08)) w.openFailures = d.chance(0.7) ? d.between(1, 2) : 1000;
    if (w.arrival == Arrival::Present && d.chance(0.02))
        w.unplugAtByte = d.between(1, static_cast<uint32_t>(bytes + bytes / 4 + 1));
    if (d.chance(0.12)) {
        const uint32_t kind = d.between(0, 19);
        w.stall = kind < 10   ? Stall::AtStartForAWhile
                  : kind < 19 ? Stall::MidTransferForAWhile
                              : Stall::MidTransferForever;
        w.stallAfter = d.between(0, static_cast<uint32_t>(w.fitting));
        w.stallMs = static_cast<int>(d.between(5, 250));
    }
    if (w.messages.size() <= 20 && d.chance(0.1)) w.completionDelayMs = d.between(1, 20);
    if (d.chance(0.12)) {
        // Mostly midiOutLongMsg or midiOutPrepareHeader; any call may refuse.
        const uint32_t kind = d.between(0, 9);
        w.refusalKind = kind < 5 ? 3 : kind < 7 ? 1 : kind < 8 ? 2 : kind < 9 ? 4 : 5;
        // A reset refused for good would leave a stalled port open on purpose.
        w.refusals = d.chance(0.8) || w.refusalKind == 5 ? d.between(1, 4) : 100000;
        // Nor may it meet a driver that never hands a message back: the port would stay open.
        if (w.refusalKind == 5 && w.stall == Stall::MidTransferForever) w.stall = Stall::MidTransferForAWhile;
    }
    if (d.chance(0.1)) {
        w.shiftDuringTransfer = true;
        w.shiftAfter = d.between(0, static_cast<uint32_t>(w.fitting));
    }

    ZephFaults& z = w.zeph;
    z.absent = d.chance(0.08);
    if (d.chance(0.05)) z.version = d.chance(0.5) ? 2 : 0;
    z.noDevice = d.chance(0.05);
    z.createNull = d.chance(0.04);
    z.callbackInCreate = d.chance(0.1);
    z.callbackInDestroy = d.chance(0.1);
    z.rebindOnStart = d.chance(0.04);
    z.backMs = d.chance(0.2) ? -1 : static_cast<int>(d.between(0, 30));
    if (d.chance(0.1)) z.writeMs = static_cast<int>(d.between(1, 20));
    if (d.chance(0.3))
        for (uint32_t i = d.between(1, 3); i > 0; --i) z.rebindAtMs.push_back(static_cast<int>(d.between(0, 150)));

    // Drawn last, so that the worlds of a seed drawn before them stay as they were.
    HiddenFaults& h = w.hidden;
    if (d.chance(0.5)) {
        h.devices = static_cast<int>(d.between(1, 3));
        if (d.chance(0.1)) h.answerMs = d.between(1, 4);
        h.writesRefused = d.chance(0.1);
        h.cancelsKept = d.chance(0.1);
        h.hangOnce = d.chance(0.02);
    }
    if (d.chance(0.08))
        w.failAllocation = d.chance(0.5) ? d.between(1, 3) : d.between(4, 300);

    // Drawn after all of the above (older seeds keep their draws up to here).
    if (h.devices > 0 && d.chance(0.1)) {
        const uint32_t kind = d.between(0, 3);
        if (kind < 3) h.property = kind == 0 ? HiddenProperty::Refused : kind == 1 ? HiddenProperty::Oversize
                                                                               : HiddenProperty::Grows;
        else
            h.pinRefused = true;
    }
    const bool present = w.arrival == Arrival::Present;
    if (present && w.fitting > 0 && d.chance(0.04)) {
        // Mostly while the last message plays: the last completion then comes from the removal.
        w.unplugDuring = d.chance(0.7) ? static_cast<uint32_t>(w.fitting) : d.between(1, static_cast<uint32_t>(w.fitting));
        w.unplugPlayed = d.between(0, static_cast<uint32_t>(w.messages[w.unplugDuring - 1].size()));
        w.unplugAtByte = 0;
    }
    if (present && w.openChange == OpenChange::None && d.chance(0.03)) {
        w.leaveDuringSearch = true;
        w.leaveCall = d.between(1, 6);
    }
    if (present && w.fitting > 0 && d.chance(0.04)) {
        w.renameDuringTransfer = true;
        w.renameInstrument = d.chance(0.5);
        w.renameAfter = d.between(1, static_cast<uint32_t>(w.fitting));
    }
    if (present && d.chance(0.08)) {
        const uint32_t kind = d.between(0, 2);
        w.secondBefore = kind != 1;
        w.secondArrives = kind != 0;
        if (w.secondArrives) {
            // The update may go to the output that arrives: the instrument's own link and
            // faults stay with the instrument, so they are left out here.
            w.wireSpeed = 0;
            w.completeInCall = false;
            w.unplugAtByte = 0;
            w.unplugDuring = 0;
            w.openChange = OpenChange::None;
            w.renameDuringTransfer = false;
        }
    } else if (present && d.chance(0.02)) {
        w.capsFail = true;
    }
    if (w.fitting > 0 && d.chance(0.03)) w.progressThrowsAt = d.between(1, static_cast<uint32_t>(w.fitting));
    expect(w, pace);
    return w;
}

void expect(World& w, const Pace& pace) {
    const uint64_t bytes = handedOver(w);
    // What the program may answer, from its promises: 1 when no port named like the
    // instrument can be opened within the search; else 0 only for a whole transfer.
    // Two outputs named like the instrument and none new since the start message: no port.
    const bool twoAlike = w.secondBefore && !w.secondArrivesNew();
    const bool neverOpens = w.arrival == Arrival::Never || w.openFailures >= static_cast<uint32_t>(pace.searchTries) ||
                            twoAlike || (w.capsFail && !w.secondArrivesNew());
    const bool hole = w.fitting < w.messages.size() || w.unterminated;
    // An unprepare is asked for only before a message that follows another.
    const size_t refusableFrom = w.refusalKind == 2 ? 1 : 0;
    const bool refusedForGood = w.refusals > 1000 && w.fitting > refusableFrom &&
                                (w.refusalKind == 1 || w.refusalKind == 2 || w.refusalKind == 3);
    const bool unplugged = (w.unplugAtByte != 0 && w.unplugAtByte <= bytes) || w.unplugDuring != 0;
    if (neverOpens)
        w.allowed = {1};
    else if (hole || refusedForGood || unplugged)
        w.allowed = {2};
    else if (w.stall == Stall::MidTransferForever && w.fitting > 0)
        w.allowed = {0, 2};  // the stall may begin before or after the last completion
    else
        w.allowed = {0};
    // The instrument renamed while the transfer runs: before the last look at it, that is
    // no longer the instrument.
    if (!neverOpens && w.renameDuringTransfer && w.renameInstrument) w.allowed.insert(2);
    // A failed allocation may end the update at any step, the search too, as not completed;
    // it takes at most one of the search's tries, so it never makes a world end with 1.
    if (w.failAllocation) w.allowed.insert(2);
}

uint32_t boundMs(const World& w, const Pace& pace) {
    // Search, then each message its time on the slowest link plus the margin of a wait,
    // once for a stall or an unplug, plus a refusal window, plus room for a loaded machine.
    uint64_t ms = pace.startPauseMs + pace.searchTries * (pace.searchPauseMs + 50);
    ms += w.bytesHandedOver() * 1000 / 3125 + w.fitting * (w.completionDelayMs + 2);
    ms += 2 * inFlightWaitMs(kPortBuffer) + pace.refusedRetryMs + 200 * (w.zeph.rebindOnStart ? 1 : 0);
    ms += static_cast<uint64_t>(w.zeph.writeMs) * 4 + 10000;
    // Each look at the hidden driver (the snapshot before the start message, every look of
    // the search, the check flow's) asks every device about 50 properties; a slow driver's
    // answers come from its worker, some ms late besides (about 8 ms each at 1 ms under
    // Wine), and twice that on a crowded machine, where the worker waits for a core too. A
    // hung one is given up after the layer's request and cancellation limits.
    ms += 2 * static_cast<uint64_t>(pace.searchTries + 2) * static_cast<uint64_t>(w.hidden.devices) *
          (w.hidden.answerMs ? 60 * (w.hidden.answerMs + 15) : 100);
    if (w.hidden.hangOnce) ms += 7000;
    return static_cast<uint32_t>(ms);
}

std::vector<std::string> World::faultNames() const {
    std::vector<std::string> n;
    auto add = [&](bool on, const char* name) {
        if (on) n.push_back(name);
    };
    add(hasStart, "start message");
    add(messages.empty(), "no message");
    add(messages.size() > 300, "thousands of messages");
    add(fitting < messages.size(), "message longer than the buffer");
    add(unterminated, "unterminated tail");
    add(wireSpeed == 3125, "cable-speed link");
    add(completeInCall, "completion inside the call");
    add(arrival == Arrival::DuringSearch, "instrument arrives during the search");
    add(arrival == Arrival::Never, "instrument never comes back");
    add(openChange == OpenChange::InsertBefore, "device inserted before the open");
    add(openChange == OpenChange::RemoveBefore, "device removed before the open");
    add(openFailures > 0, "opens refused");
    add(unplugAtByte > 0, "unplug at a byte");
    add(stall == Stall::AtStartForAWhile || stall == Stall::MidTransferForAWhile, "completions stall a while");
    add(stall == Stall::MidTransferForever, "completions stall forever");
    add(completionDelayMs > 0, "slow completions");
    add(refusals > 0 && refusals <= 1000, "a few sends refused");
    add(refusals > 1000, "sends refused for good");
    add(shiftDuringTransfer, "device leaves during the transfer");
    add(zeph.absent, "library absent");
    add(zeph.version != 1, "library of another version");
    add(zeph.noDevice, "library offers no device");
    add(zeph.createNull, "library gives no connection");
    add(zeph.callbackInCreate, "rebind inside create");
    add(zeph.callbackInDestroy, "rebind inside destroy");
    add(zeph.rebindOnStart, "rebind during the start message");
    add(zeph.backMs < 0, "library never offers it again");
    add(zeph.writeMs > 0, "slow library writes");
    add(!zeph.rebindAtMs.empty(), "rebinds at random moments");
    add(hidden.devices > 0, "maker's devices on the hidden driver");
    add(hidden.answerMs > 0, "slow hidden driver");
    add(hidden.writesRefused, "hidden driver refuses writes");
    add(hidden.cancelsKept, "hidden driver keeps cancelled requests");
    add(hidden.hangOnce, "a hidden request hangs once");
    add(failAllocation > 0, "an allocation of the update fails");
    add(progressThrowsAt > 0, "the progress sink throws");
    add(hidden.property != HiddenProperty::Fine, "a hidden property refused or oversized");
    add(hidden.pinRefused, "hidden driver refuses a pin instance");
    add(unplugDuring > 0 && unplugDuring == fitting, "unplug while the last message plays");
    add(unplugDuring > 0 && unplugDuring < fitting, "unplug while a message plays");
    add(capsFail, "the instrument's caps query fails");
    add(leaveDuringSearch, "device leaves during the search");
    add(renameDuringTransfer && !renameInstrument, "another device renamed");
    add(renameDuringTransfer && renameInstrument, "the instrument renamed");
    add(secondBefore, "second output named like it before the start");
    add(secondArrives, "second output named like it after the start");
    add(secondArrivesNew(), "the update goes to the output the start brought");
    add(hasStart && !startSendable, "start message that cannot be sent");
    add(refusalKind == 2 && refusals, "unprepare refused");
    add(refusalKind == 4 && refusals, "short message refused");
    add(refusalKind == 5 && refusals, "reset refused");
    return n;
}

std::string World::describe() const {
    std::string text;
    char line[200];
    std::snprintf(line, sizeof line, "file %zu bytes, %zu data messages (%zu fit), link %u B/s, may end with",
                  file.size(), messages.size(), fitting, wireSpeed);
    text = line;
    for (int code : allowed) text += " " + std::to_string(code);
    for (const std::string& name : faultNames()) text += "; " + name;
    return text;
}

}  // namespace chaos
