#pragma once
// Shared set-up of the device manager tests: the simulated driver with the maker's
// devices on it, and deadline-bounded waits.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "devices/DeviceMatching.h"
#include "devices/UsbIds.h"
#include "devices/USBDeviceManager.h"
#include "ks/KsMidi.h"
#include "sim/ksdriver/SimKsDriver.h"
#include "support/Diagnostics.h"

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

// The first states a pin was asked for: the port's own transitions, before the filter
// closes the pin on its way out.
inline std::vector<uint32_t> FirstStates(const simks::SimPin& pin, size_t count) {
    std::vector<uint32_t> states = pin.stateRequests();
    if (states.size() > count) states.resize(count);
    return states;
}

inline long long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

// Polls cond until it holds or deadlineMs passes.
template <typename Cond>
bool WaitUntil(Cond cond, int deadlineMs) {
    const auto start = std::chrono::steady_clock::now();
    while (!cond()) {
        if (ElapsedMs(start) > deadlineMs) return false;
        Sleep(2);
    }
    return true;
}

// The message of a GeneralError thrown by f, or "" when nothing was thrown.
template <typename F>
std::string ErrorOf(F f) {
    try {
        f();
    } catch (const GeneralError& e) {
        return e.what();
    }
    return std::string();
}

class DevicesTest : public ::testing::Test {
protected:
    void SetUp() override { previous = IsMidiDataRange; }
    void TearDown() override { IsMidiDataRange = previous; }

    MidiDataRangePredicate previous = nullptr;
    simks::SimKsDriver driver;
};

}  // namespace devtest
