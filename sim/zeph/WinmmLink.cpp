#include "sim/zeph/WinmmLink.h"

#include <windows.h>

#include <cstdint>
#include <thread>

void announceInstrument(const std::string& name, int delayMs) {
    std::thread([name, delayMs] {
        Sleep(static_cast<DWORD>(delayMs));
        // The simulated WinMM of this prefix; absent when the test runs without it.
        HMODULE winmm = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!winmm) return;
        typedef uint32_t (*AddDeviceFn)(int input, const char* name);
        AddDeviceFn add = reinterpret_cast<AddDeviceFn>(GetProcAddress(winmm, "SimWinmm_AddDevice"));
        if (add) add(0, name.c_str());
    }).detach();
}
