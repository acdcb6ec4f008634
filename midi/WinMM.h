#pragma once
// Every WinMM call of the library goes through this table. winmm.dll is not on the
// KnownDLLs list, so it is never imported (a copy planted beside an updater in a downloads
// folder would be loaded); it is loaded once, from the system folder only. When it cannot
// be loaded the table holds stand-ins: no devices, and every call fails cleanly.

#include <windows.h>
#include <mmsystem.h>

#include <string>

struct WinMM {
    UINT(WINAPI* midiOutGetNumDevs)();
    MMRESULT(WINAPI* midiOutGetDevCapsA)(UINT_PTR, LPMIDIOUTCAPSA, UINT);
    MMRESULT(WINAPI* midiOutOpen)(LPHMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD);
    MMRESULT(WINAPI* midiOutClose)(HMIDIOUT);
    MMRESULT(WINAPI* midiOutReset)(HMIDIOUT);
    MMRESULT(WINAPI* midiOutPrepareHeader)(HMIDIOUT, LPMIDIHDR, UINT);
    MMRESULT(WINAPI* midiOutUnprepareHeader)(HMIDIOUT, LPMIDIHDR, UINT);
    MMRESULT(WINAPI* midiOutLongMsg)(HMIDIOUT, LPMIDIHDR, UINT);
    MMRESULT(WINAPI* midiOutShortMsg)(HMIDIOUT, DWORD);
    UINT(WINAPI* midiInGetNumDevs)();
    MMRESULT(WINAPI* midiInGetDevCapsA)(UINT_PTR, LPMIDIINCAPSA, UINT);
    DWORD(WINAPI* timeGetTime)();
    HMODULE module;  // null when winmm could not be loaded
};

// Loaded on first use; safe to call from any thread.
const WinMM& winmm();

// The name of a WinMM result for diagnostics, such as "MIDIERR_STILLPLAYING (65)", in a
// fixed buffer: it is written from a port's destructor, where nothing may allocate.
struct MmresultText {
    char text[40];
    const char* c_str() const { return text; }
};
MmresultText mmresultName(MMRESULT result);
