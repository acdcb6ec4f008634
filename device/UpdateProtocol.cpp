#include "device/UpdateProtocol.h"

#include <windows.h>

#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "device/FirmwareImage.h"
#include "device/UpdaterDev.h"
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

// Where the scan found the instrument: a WinMM device index, or the device manager's own
// port index from the same enumeration whose names matched.
struct PortMatch {
    bool manager;
    uint32_t index;
    std::string name;  // as the scan saw it
};

// One scan of the combined output list: the WinMM outputs, counted afresh after every
// index that does not match, so ports that come and go during the scan are seen; then the
// device manager's ports, all named by one enumeration of the driver's filters (asking for
// the count and each name in turn enumerated twice per port: seconds with many devices).
// A manager port is kept by its own index, so the WinMM count plays no part in opening it.
bool findInstrument(VeltroDeviceList* manager, PortMatch& match) {
    for (uint32_t index = 0; index < winmmOutputCount(); ++index) {
        const std::string name = shortNameOf(static_cast<int32_t>(index));
        if (name.find(kInstrumentName) != std::string::npos) {
            match = PortMatch{false, index, name};
            return true;
        }
    }
    const std::vector<std::string> names = managerTypeNames(manager);
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i].find(kInstrumentName) != std::string::npos) {
            match = PortMatch{true, static_cast<uint32_t>(i), names[i]};
            return true;
        }
    }
    return false;
}

// Opens the matched port; null when it cannot be opened. A WinMM index names whatever
// device holds it at the open, so when requiredName is given the device behind the open
// handle must still carry it, or the port is closed again.
MIDI::Output* openPort(const PortMatch& match, VeltroDeviceList* manager, const char* requiredName) {
    try {
        if (match.manager) return manager ? manager->openOutput(match.index) : nullptr;
        MidiOutput* port = new MidiOutput(match.index);
        if (!requiredName) return port;
        const std::string name = port->deviceShortName();
        if (name.find(requiredName) != std::string::npos) return port;
        diagnosticPrint("rvoVirize: WinMM output %u is now \"%s\", not the instrument\n", match.index, name.c_str());
        port->release();
    } catch (const std::exception& e) {
        diagnosticPrint("rvoVirize: output %s%u did not open: %s\n", match.manager ? "manager " : "WinMM ",
                        match.index, e.what());
    }
    return nullptr;
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
    PortMatch match;
    return findInstrument(deviceManager(), match);
}

MIDI::Output* openOutputAt(int32_t index, VeltroDeviceList* manager) {
    if (index < 0) return nullptr;
    const uint32_t winmmCount = winmmOutputCount();
    const uint32_t at = static_cast<uint32_t>(index);
    return openPort(at < winmmCount ? PortMatch{false, at, ""} : PortMatch{true, at - winmmCount, ""}, manager, nullptr);
}

MIDI::Output* rvoVirize(FirmwareImage& image, UpdaterDev& device, ProgressSink& progress, VeltroDeviceList* manager,
                        int32_t* result, const ProtocolTiming& timing) {
    const uint32_t total = image.total();
    progress.setProgress(0, total, 0, 0);

    std::vector<uint8_t> message;
    message.reserve(64);
    if (image.takeStartMessage(message) && device.hasOutput()) {
        if (message.size() >= kStartMessageLength) {
            device.writeSysex(message.data(), static_cast<int>(kStartMessageLength));
        } else {
            // A shorter message has no byte 14 to show as its end.
            diagnosticPrint("WriteSysex - invalid packet. len = %d, (start=%02x, end=none)\n",
                            static_cast<int>(kStartMessageLength), message.front());
        }
    }
    Sleep(timing.startPauseMs);

    MIDI::Output* port = nullptr;
    for (int attempt = 0; attempt < timing.searchTries && !port; ++attempt) {
        Sleep(timing.searchPauseMs);
        PortMatch match;
        if (findInstrument(manager, match)) port = openPort(match, manager, kInstrumentName);
        // Support's log shows which port the update went to.
        if (port)
            diagnosticPrint("rvoVirize: %soutput %u opened (%s)\n", match.manager ? "manager " : "", match.index,
                            match.name.c_str());
    }
    if (!port) {
        *result = kUpdateNoPort;
        return nullptr;
    }

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
    }
    if (outcome == kUpdateCompleted && image.droppedTailHadStart()) {
        diagnosticPrint("rvoVirize: the file ends inside a message\n");
        outcome = kUpdateIncomplete;
    }
    // Completed means the last message arrived, not only that it was handed over.
    if (outcome == kUpdateCompleted && !flushPort(*port)) outcome = kUpdateIncomplete;
    *result = outcome;
    return port;
}
