#pragma once
// The maker's devices as the simulated USB MIDI driver offers them, for the device tests and
// the randomized worlds.

#include <string>

#include "devices/DeviceMatching.h"
#include "devices/UsbIds.h"
#include "ks/KsWin.h"
#include "sim/ksdriver/SimKsDriver.h"

namespace devtest {

// A device interface path as the maker's driver registers it.
inline std::string UsbPath(uint16_t productId, const std::string& instance) {
    return "\\\\?\\usb#" + usbIdentityText(usbids::kVendor, productId) + "#" + instance +
           "#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\midi";
}

// A device with inSinks pins to write to and outSinks pins to read from, all hidden.
inline simks::SimDevice& AddHiddenDevice(simks::SimKsDriver& driver, const std::string& path, int inSinks,
                                         int outSinks, const std::string& friendlyName = std::string()) {
    simks::SimDevice& device = driver.addDevice(path, friendlyName);
    for (int i = 0; i < inSinks; ++i) device.addHiddenMidiPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
    for (int i = 0; i < outSinks; ++i) device.addHiddenMidiPin(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK);
    return device;
}

}  // namespace devtest
