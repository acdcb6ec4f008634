#pragma once
// The simulated Lumetra as a test sees it from outside the program: the simulated WinMM
// (shared memory named by CARROWICK_SIM_WINMM, the same for this test and the program it
// starts), the registry value that leads the program to the simulated Zeph library, and
// the file in which that library records what was written to it.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/winmm/SimWinmmControl.h"

using Bytes = std::vector<uint8_t>;

// Where the fixture installs the simulated Zeph library (system32 is syswow64 to x86 programs).
extern const char* const kSimZephPath;

// Writes or removes HKLM\Software\Veltro\Zeph "Location" in this process's registry view,
// which is the one the program of the same architecture reads. Empty on success.
std::string writeZephKey(const std::string& location = kSimZephPath);
std::string deleteZephKey();

// One message that went out through the simulated WinMM.
struct WinmmSent {
    SimWinmmSent record;
    Bytes bytes;
};

class SimWinmm {
public:
    // Loads the stand-in from the system folder; empty on success, else why not.
    std::string load();
    SimWinmmControl& control() { return control_; }
    // The messages sent, without the resets that closing a port sends.
    std::vector<WinmmSent> sent() const;
    // Entries "NAME=value" that put a started program on the same simulated WinMM.
    static std::vector<std::string> programEnvironment();

private:
    HMODULE module_ = nullptr;
    SimWinmmControl control_;
};

// One write that reached the simulated Zeph library's output.
struct ZephWrite {
    DWORD tick;  // GetTickCount when the library took it
    Bytes bytes;
};
// The capture file of CARROWICK_SIMZEPH_CAPTURE; empty when it does not exist.
std::vector<ZephWrite> readZephCapture(const std::string& path);

// One event of the simulated Zeph library's record ("create connection #2", "callback
// connection #1 (reboot)", "open output #2 of device 30", ...).
struct ZephEvent {
    DWORD tick;  // GetTickCount when it happened
    std::string text;
};
// The events of the same capture file, in order.
std::vector<ZephEvent> readZephEvents(const std::string& path);

// A firmware file and what the instrument must receive from it.
struct Firmware {
    Bytes file;
    Bytes startMessage;          // empty when the file has none
    std::vector<Bytes> expected;  // the data messages after the rebuild, in file order
};

// dataMessages messages of 8 to 44 bytes from the cursor: some carry status bytes that
// must be left out, some are led by bytes that belong to no message, one is F0 01 80 02 F7.
Firmware makeFirmware(int dataMessages, bool withStartMessage);

std::string hex(const Bytes& bytes);

// GetTickCount difference that stays right across a wrap.
inline int32_t ticksBetween(DWORD from, DWORD to) { return static_cast<int32_t>(to - from); }
