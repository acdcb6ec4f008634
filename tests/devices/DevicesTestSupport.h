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
#include "tests/devices/HiddenDevices.h"

namespace devtest {

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
