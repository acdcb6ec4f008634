// A DLL planted under the name of one the program uses. It does nothing but note, in the
// file CARROWICK_PLANT_LOG names, that a process loaded it.

#include <windows.h>

#include <cstdio>
#include <cstdlib>

// What the control program imports from winmm, so that the loader can bind it.
extern "C" __declspec(dllexport) UINT WINAPI midiOutGetNumDevs() { return 0; }

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        const char* log = std::getenv("CARROWICK_PLANT_LOG");
        if (log && *log) {
            char self[MAX_PATH] = {};
            char process[MAX_PATH] = {};
            GetModuleFileNameA(module, self, MAX_PATH);
            GetModuleFileNameA(nullptr, process, MAX_PATH);
            FILE* file = std::fopen(log, "a");
            if (file) {
                std::fprintf(file, "%s loaded by %s\n", self, process);
                std::fclose(file);
            }
        }
    }
    return TRUE;
}
