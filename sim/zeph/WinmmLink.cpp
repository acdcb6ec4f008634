#include "sim/zeph/WinmmLink.h"

#include <windows.h>

#include <cstdint>

#include "sim/zeph/LibraryThread.h"

namespace {

void addOutput(const std::string& name, uint32_t bytesPerSecond) {
    // The simulated WinMM of this prefix; absent when the test runs without it.
    HMODULE winmm = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!winmm) return;
    typedef uint32_t (*AddDeviceFn)(int input, const char* name);
    typedef int (*SetWireSpeedFn)(uint32_t id, uint32_t bytesPerSecond);
    AddDeviceFn add = reinterpret_cast<AddDeviceFn>(GetProcAddress(winmm, "SimWinmm_AddDevice"));
    SetWireSpeedFn setWireSpeed = reinterpret_cast<SetWireSpeedFn>(GetProcAddress(winmm, "SimWinmm_SetWireSpeed"));
    const uint32_t id = add ? add(0, name.c_str()) : 0;
    if (id && setWireSpeed) setWireSpeed(id, bytesPerSecond);
}

}  // namespace

void announceInstrument(const std::string& name, int delayMs, uint32_t bytesPerSecond) {
    // No delay: there before the write returns, so a test's look after it never races a
    // thread that a loaded machine has not run yet.
    if (delayMs == 0) {
        addOutput(name, bytesPerSecond);
        return;
    }
    const bool started = runDetached([name, delayMs, bytesPerSecond] {
        Sleep(static_cast<DWORD>(delayMs));
        addOutput(name, bytesPerSecond);
    });
    if (!started) OutputDebugStringA("SimZeph violation: no thread could be started to announce the instrument\n");
}
