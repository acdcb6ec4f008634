#pragma once
// The device manager as the port model sees it, and the process-wide pointer to the one
// manager the check flow creates. Without a manager there are no hidden ports.

#include <cstdint>
#include <string>

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
};

VeltroDeviceList* deviceManager();
void setDeviceManager(VeltroDeviceList* manager);
