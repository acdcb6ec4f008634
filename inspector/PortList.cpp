#include "inspector/PortList.h"

#include <exception>

#include "device/UpdateProtocol.h"
#include "inspector/FirmwareReport.h"
#include "midi/PortNaming.h"
#include "midi/VeltroDeviceList.h"
#include "midi/WinMM.h"

namespace {

void add(PortListing& listing, bool hidden, uint32_t ownIndex, const std::string& name) {
    const bool carries = name.find(kInstrumentName) != std::string::npos;
    if (carries && listing.chosen < 0) listing.chosen = static_cast<int>(listing.outputs.size());
    listing.outputs.push_back(OutputSeen{static_cast<uint32_t>(listing.outputs.size()), hidden, ownIndex, name, carries});
}

}  // namespace

// Names are read as the search reads them; a name that cannot be read is empty, and a
// manager that cannot be asked has no ports, as for the search.
PortListing listOutputPorts(VeltroDeviceList* manager) {
    PortListing listing;
    const uint32_t winmmCount = winmm().midiOutGetNumDevs();
    for (uint32_t i = 0; i < winmmCount; ++i) {
        std::string name;
        try {
            name = getOutputPortName(static_cast<int32_t>(i), false, false);
        } catch (const std::exception&) {
        }
        add(listing, false, i, name);
    }
    std::vector<std::string> hidden;
    if (manager) {
        try {
            hidden = manager->getTypeNames();
        } catch (const std::exception&) {
        }
    }
    for (size_t i = 0; i < hidden.size(); ++i) add(listing, true, static_cast<uint32_t>(i), hidden[i]);
    return listing;
}

std::string formatPortsText(const PortListing& listing) {
    std::string text = "outputs in the order the updater's search sees them (WinMM first, then hidden ports):\n";
    if (listing.outputs.empty()) text += "  (none)\n";
    for (const OutputSeen& output : listing.outputs) {
        text += "  " + std::to_string(output.index) + "  " + (output.hidden ? "hidden " : "WinMM ") +
                std::to_string(output.ownIndex) + "  \"" + output.shortName + "\"";
        if (output.carriesInstrument) text += std::string("  carries \"") + kInstrumentName + "\"";
        text += "\n";
    }
    if (listing.chosen < 0) {
        text += std::string("no output carries \"") + kInstrumentName + "\": the search would find no port\n";
    } else {
        const OutputSeen& chosen = listing.outputs[static_cast<size_t>(listing.chosen)];
        text += "the search would choose output " + std::to_string(chosen.index) + " (\"" + chosen.shortName + "\")\n";
    }
    return text;
}

std::string formatPortsJson(const PortListing& listing) {
    std::string json = std::string("{\"instrument\":\"") + jsonEscape(kInstrumentName) + "\",\"outputs\":[";
    for (const OutputSeen& output : listing.outputs) {
        if (output.index) json += ",";
        json += "{\"index\":" + std::to_string(output.index) + ",\"kind\":\"" + (output.hidden ? "hidden" : "winmm") +
                "\",\"ownIndex\":" + std::to_string(output.ownIndex) + ",\"shortName\":\"" +
                jsonEscape(output.shortName) + "\",\"carriesInstrument\":" +
                (output.carriesInstrument ? "true" : "false") + "}";
    }
    json += "],\"chosen\":";
    json += listing.chosen < 0 ? "null" : std::to_string(listing.outputs[static_cast<size_t>(listing.chosen)].index);
    return json + "}\n";
}
