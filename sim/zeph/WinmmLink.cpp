#include "sim/zeph/WinmmLink.h"

#include <windows.h>

#include <thread>

void announceInstrument(const std::string& name, int delayMs) {
    std::thread([name, delayMs] {
        Sleep(static_cast<DWORD>(delayMs));
        // The simulated WinMM of this prefix; absent when the test runs without it.
        HMODULE winmm = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!winmm) return;
        typedef int (*AddOutputFn)(const char*);
        AddOutputFn add = reinterpret_cast<AddOutputFn>(GetProcAddress(winmm, "SimWinmm_AddOutput"));
        if (add) add(name.c_str());
    }).detach();
}
