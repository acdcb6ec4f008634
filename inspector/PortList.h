#pragma once
// The outputs the updater's port search sees, in the order it sees them: the WinMM outputs
// first, then the device manager's hidden ports, each by the short name the search reads.
// The first that carries the instrument's name is the one the search would choose.

#include <cstdint>
#include <string>
#include <vector>

class VeltroDeviceList;

struct OutputSeen {
    uint32_t index;        // combined index: WinMM outputs first
    bool hidden;           // a port of the device manager
    uint32_t ownIndex;     // the WinMM device index, or the manager's port index
    std::string shortName;
    bool carriesInstrument;
};

struct PortListing {
    std::vector<OutputSeen> outputs;
    int chosen = -1;  // position in outputs; -1 when none carries the name
};

// Reads the devices now; manager may be null (no hidden ports).
PortListing listOutputPorts(VeltroDeviceList* manager);

std::string formatPortsText(const PortListing& listing);
std::string formatPortsJson(const PortListing& listing);
