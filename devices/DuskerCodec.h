#pragma once
// The Dusker controller's own MIDI dialect.
// Byte-level code: no Windows headers, so it can be fuzzed on its own.

#include <cstddef>
#include <cstdint>
#include <vector>

struct DuskerControlChange {
    int32_t controller;
    int32_t value;  // 0 to 255 for controller 0x48, which carries a high-resolution value
};

// Decodes one report: (controller, value) pairs, optionally led by B0. 0x48 sets the
// held high part of controller 0x48 (kept across reports in held), 0x49 completes it.
std::vector<DuskerControlChange> decodeDuskerReport(const uint8_t* bytes, int32_t count, int32_t& held);

// The start-up packets the controller expects, sent in this order with a 50 ms pause
// before the last.
extern const uint8_t kDuskerStartReset[3];
extern const uint8_t kDuskerStartMode[8];
extern const uint8_t kDuskerStartLeds[6];
constexpr unsigned kDuskerStartPauseMs = 50;
