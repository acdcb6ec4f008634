#include "device/UpdateProtocol.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "device/FirmwareImage.h"
#include "device/UpdaterDev.h"
#include "midi/DeviceNotification.h"
#include "midi/MidiOutput.h"
#include "midi/PortNaming.h"
#include "midi/VeltroDeviceList.h"
#include "midi/WinMM.h"
#include "support/Diagnostics.h"

const char kInstrumentName[] = "Lumetra";

namespace {

const size_t kStartMessageLength = 15;

uint32_t winmmOutputCount() { return winmm().midiOutGetNumDevs(); }

std::string shortNameOf(int32_t index) {
    try {
        return getOutputPortName(index, false, false);
    } catch (const std::exception&) {
        return std::string();
    }
}

// The device manager's ports by short name, from one enumeration; devices may change
// meanwhile: a failure counts as no ports.
std::vector<std::string> managerTypeNames(VeltroDeviceList* manager) {
    if (!manager) return {};
    try {
        return manager->getTypeNames();
    } catch (const std::exception&) {
        return {};
    }
}

// An output named like the instrument: a WinMM device index, or the device manager's own
// port index from the same enumeration whose names matched.
struct PortMatch {
    bool manager;
    uint32_t index;
    std::string name;  // as the scan saw it
};

bool namedLikeInstrument(const std::string& name) { return name.find(kInstrumentName) != std::string::npos; }

// The WinMM outputs' short names in index order, counted afresh after every index, so ports
// that come and go during the reading are seen.
std::vector<std::string> winmmOutputNames() {
    std::vector<std::string> names;
    for (uint32_t index = 0; index < winmmOutputCount(); ++index) names.push_back(shortNameOf(static_cast<int32_t>(index)));
    return names;
}

// A list that changed while it was read may have moved an output past the reading (a
// device that leaves shifts the later ones down), and one instrument missed makes another
// look like the only one: the list is read until two readings agree. False when it never
// settled; names then holds the last reading.
const int kListReadings = 4;
bool settledWinmmOutputNames(std::vector<std::string>& names) {
    names = winmmOutputNames();
    for (int reading = 1; reading < kListReadings; ++reading) {
        std::vector<std::string> again = winmmOutputNames();
        if (again == names) return true;
        names.swap(again);
    }
    diagnosticPrint("rvoVirize: the list of outputs kept changing while it was read\n");
    return false;
}

// The combined output list's outputs named like the instrument: the WinMM outputs (only the
// first match is wanted when firstOnly is set, and the list is then read once); then the
// device manager's ports, all named by one enumeration of the driver's filters (asking for
// the count and each name in turn enumerated twice per port: seconds with many devices). A
// manager port is kept by its own index, so the WinMM count plays no part in opening it.
// False when the WinMM list did not settle.
bool instrumentOutputs(VeltroDeviceList* manager, bool firstOnly, std::vector<PortMatch>& found) {
    found.clear();
    std::vector<std::string> winmmNames;
    bool settled = true;
    if (firstOnly) {
        for (uint32_t index = 0; index < winmmOutputCount(); ++index) {
            const std::string name = shortNameOf(static_cast<int32_t>(index));
            if (!namedLikeInstrument(name)) continue;
            found.push_back(PortMatch{false, index, name});
            return true;
        }
    } else {
        settled = settledWinmmOutputNames(winmmNames);
    }
    for (size_t index = 0; index < winmmNames.size(); ++index)
        if (namedLikeInstrument(winmmNames[index]))
            found.push_back(PortMatch{false, static_cast<uint32_t>(index), winmmNames[index]});
    const std::vector<std::string> names = managerTypeNames(manager);
    for (size_t i = 0; i < names.size(); ++i) {
        if (!namedLikeInstrument(names[i])) continue;
        found.push_back(PortMatch{true, static_cast<uint32_t>(i), names[i]});
        if (firstOnly) return true;
    }
    return settled;
}

std::vector<std::string> namesOf(const std::vector<PortMatch>& outputs) {
    std::vector<std::string> names;
    for (const PortMatch& output : outputs) names.push_back(output.name);
    return names;
}

std::string describe(const std::vector<PortMatch>& outputs) {
    std::string text;
    for (const PortMatch& output : outputs)
        text += (text.empty() ? "\"" : ", \"") + output.name + "\" (" + (output.manager ? "manager " : "WinMM ") +
                std::to_string(output.index) + ")";
    return text;
}

// The update goes to one instrument or to none. Of several outputs named like it, the one
// to take is the one the start message brought: the only output whose name is there more
// often now than before it. Two instruments with nothing to tell them apart get nothing.
bool chooseInstrument(const std::vector<PortMatch>& outputs, const std::vector<std::string>& before,
                      PortMatch& chosen) {
    if (outputs.size() == 1) {
        chosen = outputs.front();
        return true;
    }
    if (outputs.empty()) return false;
    const std::vector<std::string> now = namesOf(outputs);
    std::vector<const PortMatch*> fresh;
    for (const PortMatch& output : outputs) {
        if (std::count(now.begin(), now.end(), output.name) > std::count(before.begin(), before.end(), output.name))
            fresh.push_back(&output);
    }
    if (fresh.size() == 1) {
        chosen = *fresh.front();
        return true;
    }
    diagnosticPrint("rvoVirize: %u outputs are named like the instrument and %u of them are new since the start "
                    "message, so none is taken: %s\n",
                    static_cast<unsigned>(outputs.size()), static_cast<unsigned>(fresh.size()),
                    describe(outputs).c_str());
    return false;
}

struct PortRelease {
    void operator()(MIDI::Output* port) const { port->release(); }
};
// A port is released on every path that does not hand it on, an exception's included:
// WinMM ports are exclusive, so a lost one would refuse every later open.
using PortHold = std::unique_ptr<MIDI::Output, PortRelease>;

// The port the update goes through, with what it takes to tell that the instrument is
// still behind it.
struct OpenedInstrument {
    PortHold port;
    MidiOutput* winmm = nullptr;  // the same port, when it is a WinMM one
    PortMatch match;

    // Asked through the open port: an index names whatever device holds it now, and a
    // removed device's driver hands its queued messages back as done.
    bool stillThere() const {
        if (!winmm) return port->isPresent();
        const std::string name = winmm->deviceShortName();
        if (name == match.name) return true;
        if (!name.empty())
            diagnosticPrint("rvoVirize: WinMM output %u is now \"%s\", not the instrument\n", match.index, name.c_str());
        return false;
    }
};

// Opens the matched port; an empty hold when it cannot be opened. With checkName set, the
// device behind the open handle must still carry the name the scan saw, or the port is
// closed again.
OpenedInstrument openPort(const PortMatch& match, VeltroDeviceList* manager, bool checkName) {
    OpenedInstrument opened;
    opened.match = match;
    try {
        if (match.manager) {
            if (manager) opened.port.reset(manager->openOutput(match.index));
            return opened;
        }
        opened.winmm = new MidiOutput(match.index);
        opened.port.reset(opened.winmm);
        if (!checkName || opened.stillThere()) return opened;
        diagnosticPrint("rvoVirize: WinMM output %u is no longer \"%s\"\n", match.index, match.name.c_str());
    } catch (const std::exception& e) {
        diagnosticPrint("rvoVirize: output %s%u did not open: %s\n", match.manager ? "manager " : "WinMM ",
                        match.index, e.what());
    }
    return OpenedInstrument();
}

// One look for the instrument after the pause; a list that did not settle counts as no port.
OpenedInstrument lookForInstrument(VeltroDeviceList* manager, const std::vector<std::string>& before) {
    std::vector<PortMatch> outputs;
    PortMatch match;
    if (!instrumentOutputs(manager, false, outputs) || !chooseInstrument(outputs, before, match))
        return OpenedInstrument();
    OpenedInstrument opened = openPort(match, manager, true);
    // Support's log shows which port the update went to.
    if (opened.port)
        diagnosticPrint("rvoVirize: %soutput %u opened (%s)\n", match.manager ? "manager " : "", match.index,
                        match.name.c_str());
    return opened;
}

// Hands one data message to the port. A refusal (nothing handed over) is offered again
// for a bounded time; a port that is gone, can never take the message, or threw (part of
// it may have gone out, so it is not repeated) ends the transfer.
bool deliverMessage(MIDI::Output& port, MIDI::SysexMessage& message, const ProtocolTiming& timing) {
    ULONGLONG first = GetTickCount64();
    for (;;) {
        try {
            if (port.sendSysex(message)) return true;
            if (!port.isPresent()) {
                diagnosticPrint("rvoVirize: the port's device is gone\n");
                return false;
            }
        } catch (const std::exception& e) {
            diagnosticPrint("rvoVirize: send failed: %s\n", e.what());
            return false;
        }
        if (GetTickCount64() - first >= timing.refusedRetryMs) {
            diagnosticPrint("rvoVirize: a message was refused for %u ms\n", static_cast<unsigned>(timing.refusedRetryMs));
            return false;
        }
        Sleep(10);  // a port that refuses at once is not asked again in a tight loop
    }
}

// The bytes the SysEx record rebuilt from a run keeps (its F0, data bytes and F7), counted
// without copying: a run of hundreds of megabytes is judged before any of it is copied.
size_t sysexLengthOf(const uint8_t* run, size_t length) {
    const uint8_t* f0 = static_cast<const uint8_t*>(std::memchr(run, 0xF0, length));
    if (!f0) return 0;
    size_t kept = 1;
    for (const uint8_t* p = f0 + 1; p < run + length; ++p)
        if (*p < 0x80 || *p == 0xF7) ++kept;
    return kept;
}

// A WinMM port takes a message only whole, through its one buffer.
bool portCanTake(MIDI::Output& port, size_t sysexBytes) {
    if (sysexBytes <= port.sysexCapacity()) return true;
    diagnosticPrint("rvoVirize: a message of %u bytes does not fit the port\n", static_cast<unsigned>(sysexBytes));
    return false;
}

// Rebuilds the run as a SysEx record and hands it over. A copy that does not fit memory
// ends the transfer like any other message that cannot be sent.
bool deliverRun(MIDI::Output& port, const uint8_t* run, uint32_t length, const ProtocolTiming& timing) {
    MIDI::SysexMessage sysex;
    try {
        sysex = MIDI::SysexMessage::fromBuffer(run, length);
    } catch (const std::bad_alloc&) {
        diagnosticPrint("rvoVirize: no memory to copy a message of %u bytes\n", static_cast<unsigned>(length));
        return false;
    }
    return deliverMessage(port, sysex, timing);
}

bool flushPort(MIDI::Output& port) {
    try {
        return port.flush();
    } catch (const std::exception& e) {
        diagnosticPrint("rvoVirize: flush failed: %s\n", e.what());
        return false;
    }
}

}  // namespace

bool outputNamedLikeInstrumentExists() {
    std::vector<PortMatch> outputs;
    instrumentOutputs(deviceManager(), true, outputs);
    return !outputs.empty();
}

MIDI::Output* openOutputAt(int32_t index, VeltroDeviceList* manager) {
    if (index < 0) return nullptr;
    const uint32_t winmmCount = winmmOutputCount();
    const uint32_t at = static_cast<uint32_t>(index);
    return openPort(at < winmmCount ? PortMatch{false, at, ""} : PortMatch{true, at - winmmCount, ""}, manager, false)
        .port.release();
}

MIDI::Output* rvoVirize(FirmwareImage& image, UpdaterDev& device, ProgressSink& progress, VeltroDeviceList* manager,
                        int32_t* result, const ProtocolTiming& timing) {
    const uint32_t total = image.total();
    progress.setProgress(0, total, 0, 0);

    // Which outputs carry the instrument's name before the start message brings it back.
    std::vector<PortMatch> outputsBefore;
    instrumentOutputs(manager, false, outputsBefore);
    const std::vector<std::string> before = namesOf(outputsBefore);
    std::vector<uint8_t> message;
    message.reserve(64);
    // Support's log tells whether the start message went out.
    const bool hasStart = image.takeStartMessage(message);
    if (!hasStart) {
        diagnosticPrint("rvoVirize: start message: none in the file\n");
    } else if (!device.hasOutput()) {
        diagnosticPrint("rvoVirize: start message: not sent, the device has no output of its own\n");
    } else {
        if (message.size() >= kStartMessageLength) {
            const bool sent = device.writeSysex(message.data(), static_cast<int>(kStartMessageLength));
            diagnosticPrint(sent ? "rvoVirize: start message: sent through the device's own output\n"
                                 : "rvoVirize: start message: not sent, the device's output did not take it\n");
        } else {
            // A shorter message has no byte 14 to show as its end.
            diagnosticPrint("WriteSysex - invalid packet. len = %d, (start=%02x, end=none)\n",
                            static_cast<int>(kStartMessageLength), message.front());
        }
    }
    Sleep(timing.startPauseMs);

    OpenedInstrument instrument;
    for (int attempt = 0; attempt < timing.searchTries && !instrument.port; ++attempt) {
        Sleep(timing.searchPauseMs);
        instrument = lookForInstrument(manager, before);
    }
    if (!instrument.port) {
        *result = kUpdateNoPort;
        return nullptr;
    }
    MIDI::Output* port = instrument.port.get();
    const unsigned removalsBefore = deviceRemovalCount();
    unsigned removalsSeen = removalsBefore;

    int32_t outcome = kUpdateCompleted;
    uint32_t counter = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    while (image.takeNextMessageExtent(offset, length)) {
        const uint8_t* run = image.data() + offset;
        const size_t sysexBytes = sysexLengthOf(run, length);
        // A message without F0 carries nothing to send.
        if (sysexBytes != 0 && (!portCanTake(*port, sysexBytes) || !deliverRun(*port, run, length, timing))) {
            outcome = kUpdateIncomplete;
            break;
        }
        ++counter;
        progress.setProgress(counter, total, 0, 0);
        // A device left meanwhile: if it was the instrument, nothing more can arrive.
        const unsigned removals = deviceRemovalCount();
        if (removals != removalsSeen) {
            removalsSeen = removals;
            if (!instrument.stillThere()) {
                diagnosticPrint("rvoVirize: the instrument's port went away during the transfer\n");
                outcome = kUpdateIncomplete;
                break;
            }
        }
    }
    if (outcome == kUpdateCompleted && image.droppedTailHadStart()) {
        diagnosticPrint("rvoVirize: the file ends inside a message\n");
        outcome = kUpdateIncomplete;
    }
    // Completed means the last message arrived, not only that it was handed over: a removed
    // device hands its queued messages back as done whatever was played, so the instrument
    // must still be behind the port after the last completion.
    if (outcome == kUpdateCompleted && !flushPort(*port)) outcome = kUpdateIncomplete;
    if (outcome == kUpdateCompleted && !instrument.stillThere()) {
        diagnosticPrint("rvoVirize: the instrument's port went away during the last message%s\n",
                        deviceRemovalCount() != removalsBefore ? " (a device was removed during the transfer)" : "");
        outcome = kUpdateIncomplete;
    }
    *result = outcome;
    return instrument.port.release();
}
