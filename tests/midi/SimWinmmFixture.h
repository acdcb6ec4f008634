#pragma once
// Tests that run against the simulated winmm.dll: reaches its control interface through the
// module the library itself loaded, and starts every test from an empty device table.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "midi/WinMM.h"
#include "sim/winmm/SimWinmmControl.h"

class SimWinmmTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(winmm().module, nullptr) << "winmm.dll was not loaded";
        ASSERT_TRUE(sim.load(winmm().module))
            << "the loaded winmm.dll is not the stand-in (WINEDLLOVERRIDES=winmm=n,b?)";
        sim.reset();
    }
    void TearDown() override {
        if (sim.reset) sim.reset();
    }

    std::vector<uint8_t> sentBytes(uint32_t index, SimWinmmSent* record = nullptr) {
        SimWinmmSent local = {};
        std::vector<uint8_t> bytes(0x20000);
        if (!sim.getSent(index, &local, bytes.data(), static_cast<uint32_t>(bytes.size())))
            return {};
        bytes.resize(local.length);
        if (record) *record = local;
        return bytes;
    }

    SimWinmmSent sentRecord(uint32_t index) {
        SimWinmmSent record = {};
        sim.getSent(index, &record, nullptr, 0);
        return record;
    }

    SimWinmmControl sim;
};

// Milliseconds since construction, on the monotonic clock.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    long long ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

// Polls cond until it holds or the deadline passes.
template <typename Cond>
bool waitFor(Cond cond, int deadlineMs) {
    Stopwatch watch;
    while (!cond()) {
        if (watch.ms() > deadlineMs) return false;
        Sleep(2);
    }
    return true;
}
