#pragma once
// The maker's USB MIDI devices that are present, as one numbered list of ports: every
// kernel-streaming MIDI filter is matched against the device type table, and each
// matching row is one port. Nothing is cached: every call enumerates afresh, so an index
// is only good while no device comes or goes. The manager must outlive its ports.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "devices/DevType.h"
#include "midi/VeltroDeviceList.h"

class USBDeviceManager : public VeltroDeviceList {
public:
    template <class InputPort, class OutputPort, uint16_t ProductId, unsigned PinIndex>
    class DevType;
    class HiddenMIDIType;

    // Names files are looked for at namesPrefix + type name + "Names.ini". Installs the
    // hidden-pin test for every later MIDI filter enumeration of the process.
    explicit USBDeviceManager(const std::string& namesPrefix);
    ~USBDeviceManager() override;
    USBDeviceManager(const USBDeviceManager&) = delete;
    USBDeviceManager& operator=(const USBDeviceManager&) = delete;

    std::string getPortName(uint32_t index) override;
    uint32_t getPortCount() override;
    std::string getTypeName(uint32_t index) override;
    std::vector<std::string> getTypeNames() override;
    MIDI::Output* openOutput(uint32_t index) override;
    MIDI::Input* openInput(uint32_t index) override;

    size_t rowCount() const { return types_.size(); }

private:
    template <typename Visit>
    void walkPorts(Visit visit);
    template <typename Action>
    auto withPort(uint32_t index, Action action) -> decltype(action(static_cast<IDevType*>(nullptr),
                                                                    static_cast<CKsMidiFilter*>(nullptr)));

    std::vector<std::unique_ptr<IDevType>> types_;
    std::string namesPrefix_;
};
