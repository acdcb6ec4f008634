#pragma once
// The device manager as the port model sees it, and the process-wide pointer to the one
// manager the check flow creates. Without a manager there are no hidden ports.

#include <cstdint>
#include <string>
#include <vector>

namespace MIDI {
class Input;
class Output;
}  // namespace MIDI

class VeltroDeviceList {
public:
    virtual std::string getPortName(uint32_t index) = 0;
    virtual ~VeltroDeviceList() {}
    virtual uint32_t getPortCount() = 0;
    virtual std::string getTypeName(uint32_t index) = 0;
    virtual MIDI::Output* openOutput(uint32_t index) = 0;
    virtual MIDI::Input* openInput(uint32_t index) = 0;
    // Every port's type name, in index order, from one look at the devices: a scan by name
    // that asked for the count and each name in turn would look at them twice per port.
    virtual std::vector<std::string> getTypeNames() {
        std::vector<std::string> names;
        const uint32_t count = getPortCount();
        for (uint32_t i = 0; i < count; ++i) names.push_back(getTypeName(i));
        return names;
    }
};

VeltroDeviceList* deviceManager();
void setDeviceManager(VeltroDeviceList* manager);
