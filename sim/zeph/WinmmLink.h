#pragma once
// The simulated instrument's second life: after the start message it comes back as a
// WinMM output of the simulated WinMM.

#include <cstdint>
#include <string>

// Makes a WinMM output named name appear after delayMs, on a thread of its own (at once when
// delayMs is 0), playing at bytesPerSecond (0: every message at once).
void announceInstrument(const std::string& name, int delayMs, uint32_t bytesPerSecond);
