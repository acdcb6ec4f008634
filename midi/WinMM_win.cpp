#include "midi/WinMM.h"

#include <cstdio>
#include <string>

namespace {

// Stand-ins used when winmm (or one of its functions) is missing.
UINT WINAPI noDevices() { return 0; }
MMRESULT WINAPI noOutCaps(UINT_PTR, LPMIDIOUTCAPSA, UINT) { return MMSYSERR_NODRIVER; }
MMRESULT WINAPI noOpen(LPHMIDIOUT, UINT, DWORD_PTR, DWORD_PTR, DWORD) { return MMSYSERR_NODRIVER; }
MMRESULT WINAPI noHandleCall(HMIDIOUT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI noHeaderCall(HMIDIOUT, LPMIDIHDR, UINT) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI noShortMsg(HMIDIOUT, DWORD) { return MMSYSERR_INVALHANDLE; }
MMRESULT WINAPI noInCaps(UINT_PTR, LPMIDIINCAPSA, UINT) { return MMSYSERR_NODRIVER; }
DWORD WINAPI tickCount() { return GetTickCount(); }

HMODULE loadFromSystemFolder() {
    HMODULE module = LoadLibraryExA("winmm.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    // The flag is refused where the search-path update is missing: name the file in full.
    char folder[MAX_PATH];
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return NULL;
    const std::string path = std::string(folder) + "\\winmm.dll";
    return LoadLibraryExA(path.c_str(), NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Function>
void resolve(HMODULE module, const char* name, Function& slot, Function fallback) {
    FARPROC found = module ? GetProcAddress(module, name) : NULL;
    slot = found ? reinterpret_cast<Function>(found) : fallback;
}

WinMM load() {
    WinMM table;
    table.module = loadFromSystemFolder();
    HMODULE m = table.module;
    resolve(m, "midiOutGetNumDevs", table.midiOutGetNumDevs, &noDevices);
    resolve(m, "midiOutGetDevCapsA", table.midiOutGetDevCapsA, &noOutCaps);
    resolve(m, "midiOutOpen", table.midiOutOpen, &noOpen);
    resolve(m, "midiOutClose", table.midiOutClose, &noHandleCall);
    resolve(m, "midiOutReset", table.midiOutReset, &noHandleCall);
    resolve(m, "midiOutPrepareHeader", table.midiOutPrepareHeader, &noHeaderCall);
    resolve(m, "midiOutUnprepareHeader", table.midiOutUnprepareHeader, &noHeaderCall);
    resolve(m, "midiOutLongMsg", table.midiOutLongMsg, &noHeaderCall);
    resolve(m, "midiOutShortMsg", table.midiOutShortMsg, &noShortMsg);
    resolve(m, "midiInGetNumDevs", table.midiInGetNumDevs, &noDevices);
    resolve(m, "midiInGetDevCapsA", table.midiInGetDevCapsA, &noInCaps);
    resolve(m, "timeGetTime", table.timeGetTime, &tickCount);
    return table;
}

}  // namespace

const WinMM& winmm() {
    // Initialised once; the compiler makes the first use thread-safe. The module stays
    // loaded for the life of the process.
    static const WinMM table = load();
    return table;
}

MmresultText mmresultName(MMRESULT result) {
    static const struct {
        MMRESULT code;
        const char* name;
    } kNames[] = {
        {MMSYSERR_NOERROR, "MMSYSERR_NOERROR"},         {MMSYSERR_ERROR, "MMSYSERR_ERROR"},
        {MMSYSERR_BADDEVICEID, "MMSYSERR_BADDEVICEID"}, {MMSYSERR_NOTENABLED, "MMSYSERR_NOTENABLED"},
        {MMSYSERR_ALLOCATED, "MMSYSERR_ALLOCATED"},     {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE"},
        {MMSYSERR_NODRIVER, "MMSYSERR_NODRIVER"},       {MMSYSERR_NOMEM, "MMSYSERR_NOMEM"},
        {MMSYSERR_NOTSUPPORTED, "MMSYSERR_NOTSUPPORTED"}, {MMSYSERR_INVALFLAG, "MMSYSERR_INVALFLAG"},
        {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM"},   {MMSYSERR_HANDLEBUSY, "MMSYSERR_HANDLEBUSY"},
        {MIDIERR_UNPREPARED, "MIDIERR_UNPREPARED"},     {MIDIERR_STILLPLAYING, "MIDIERR_STILLPLAYING"},
        {MIDIERR_NOTREADY, "MIDIERR_NOTREADY"},         {MIDIERR_NODEVICE, "MIDIERR_NODEVICE"},
        {MIDIERR_BADOPENMODE, "MIDIERR_BADOPENMODE"},
    };
    const char* name = "unknown";
    for (const auto& entry : kNames)
        if (entry.code == result) name = entry.name;
    MmresultText out;
    std::snprintf(out.text, sizeof out.text, "%s (%u)", name, static_cast<unsigned>(result));
    return out;
}
