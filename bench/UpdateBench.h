#pragma once
// A whole update of the real program against the simulated Lumetra, driven like a user,
// its WinMM port running at the speed of a link.

#include <cstdint>

// program: the exe to run; messages of 44 bytes follow the start message. Prints its
// figures (keys ending in _<bytesPerSecond>); returns the process exit code for the bench.
int benchUpdate(const char* program, uint32_t bytesPerSecond, uint32_t messages);
