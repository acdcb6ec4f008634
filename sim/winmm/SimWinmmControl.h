#pragma once
// Control interface of the simulated winmm.dll: extra exports that tests (and the other
// stand-ins) use to set up devices and to read back what was sent. Callers resolve them
// with GetProcAddress on the loaded winmm module, so nothing imports the stand-in.
//
// The devices and the capture live in shared memory named after CARROWICK_SIM_WINMM
// ("CarrowickSimWinmm" when unset), so a controller in another process drives the same
// devices as the program under test. Completions are signalled by a thread of the process
// that owns the open handle.

#include <windows.h>

#include <cstdint>

enum SimWinmmFailure : int {
    SimWinmmFailOpen = 0,       // midiOutOpen: MMSYSERR_ALLOCATED
    SimWinmmFailPrepare = 1,    // midiOutPrepareHeader: MMSYSERR_NOMEM
    SimWinmmFailUnprepare = 2,  // midiOutUnprepareHeader: MMSYSERR_ERROR
    SimWinmmFailLongMsg = 3,    // midiOutLongMsg: MIDIERR_NOTREADY
    SimWinmmFailShortMsg = 4,   // midiOutShortMsg: MIDIERR_NOTREADY
    SimWinmmFailReset = 5,      // midiOutReset: MMSYSERR_ERROR, nothing handed back
    SimWinmmFailClose = 6,      // midiOutClose: MMSYSERR_NOMEM, the handle stays open
    SimWinmmFailureKinds = 7
};

// A reset record: WinMM turned every note off on every channel of the device.
enum SimWinmmSentKind : uint32_t { SimWinmmSentLong = 1, SimWinmmSentShort = 2, SimWinmmSentReset = 3 };

// When a scheduled change of the device list happens.
enum SimWinmmMoment : int {
    SimWinmmAtOpen = 0,     // at the start of the next midiOutOpen
    SimWinmmAtNumDevs = 1,  // at the start of the count-th midiOutGetNumDevs from now
    SimWinmmAtCaps = 2,     // at the start of the count-th midiOutGetDevCaps of an index from now
};

// What became of a long message: still queued, played out by the driver, handed back
// unplayed by midiOutReset (cut off), or handed back done when its device was removed
// (playedLength says how much had really left).
enum SimWinmmOutcome : uint32_t {
    SimWinmmOutcomeQueued = 0,
    SimWinmmOutcomePlayed = 1,
    SimWinmmOutcomeReturned = 2,
    SimWinmmOutcomeUnplugged = 3
};

constexpr uint32_t kSimWinmmNameSize = 64;

struct SimWinmmSent {
    uint32_t kind;          // SimWinmmSentKind
    uint32_t deviceId;      // as SimWinmm_AddDevice returned it
    uint32_t timeMs;        // timeGetTime() when WinMM accepted the message
    uint32_t shortMessage;  // the packed value of a short message
    uint32_t length;        // bytes of a long message as handed over
    uint32_t playedLength;  // of those, how many left the port (the rest of a reset one never did)
    uint32_t outcome;       // SimWinmmOutcome of a long message
    char deviceName[kSimWinmmNameSize];
    // QueryPerformanceCounter at acceptance and when the completion was signalled (0 until
    // then): timeMs is too coarse to see the gap between one message and the next.
    uint64_t acceptedQpc;
    uint64_t completedQpc;
};

extern "C" {
typedef void (*SimWinmm_ResetFn)();
// Returns the new device's id (never 0), or 0 when the table is full.
typedef uint32_t (*SimWinmm_AddDeviceFn)(int input, const char* name);
typedef int (*SimWinmm_RenameDeviceFn)(uint32_t id, const char* name);
// As a USB device's driver does on removal: every header still queued on the device is
// handed back done (with the event), whatever had been played; calls on its open handles
// that talk to the device fail with MMSYSERR_NODRIVER, while unprepare, reset and close work.
typedef int (*SimWinmm_RemoveDeviceFn)(uint32_t id);
// Held completions stay pending until the hold ends.
typedef void (*SimWinmm_HoldCompletionsFn)(int hold);
typedef void (*SimWinmm_SetCompletionDelayFn)(uint32_t ms);
typedef void (*SimWinmm_FailNextFn)(int failure, uint32_t count);
typedef uint32_t (*SimWinmm_SentCountFn)();
// Bytes per second of an output device's link: 48,000 (USB MIDI at full speed) for a new
// device; 0 plays every message at once.
// A message completes when its last byte has left: after length / rate.
typedef int (*SimWinmm_SetWireSpeedFn)(uint32_t id, uint32_t bytesPerSecond);
// The device completes a message inside midiOutLongMsg when nothing is queued before it
// (as a software synthesizer does).
typedef int (*SimWinmm_SetCompleteInCallFn)(uint32_t id, int on);
// midiOutGetDevCaps fails for the device (its index stays counted): 1 with MMSYSERR_ERROR,
// 2 with MMSYSERR_BADDEVICEID, 0 not at all.
typedef int (*SimWinmm_FailCapsFn)(uint32_t id, int fail);
// At the moment, inserts an output device named name before device id, or (remove set)
// removes device id. One change is pending at a time; a new one replaces it. Returns the
// inserted device's id (or id for a removal), 0 when there is no such device.
typedef uint32_t (*SimWinmm_ScheduleChangeFn)(int moment, uint32_t count, int remove, uint32_t id,
                                              const char* name);
// The device is removed inside the midiOutLongMsg that brings the long messages it has
// accepted to at least byte bytes (that message is captured and handed back unplayed); 0: never.
typedef int (*SimWinmm_UnplugAtByteFn)(uint32_t id, uint32_t byte);
// The device is removed while its message-th long message (counted from 1 since it was
// added) plays, once `played` of its bytes have left (at most all but one); 0: never.
typedef int (*SimWinmm_UnplugDuringFn)(uint32_t id, uint32_t message, uint32_t played);
// Copies record index and up to capacity bytes of it (what left the port; the rest of a
// message cut off by a reset stays 0); returns 0 when there is no such record.
typedef int (*SimWinmm_GetSentFn)(uint32_t index, SimWinmmSent* record, uint8_t* bytes,
                                  uint32_t capacity);
// Output handles open, in every process, on present and removed devices alike: a reset of
// the stand-in does not forget a handle nobody closed.
typedef uint32_t (*SimWinmm_OpenHandleCountFn)();
}

// The control exports of a loaded stand-in; load() fails on the real winmm.
struct SimWinmmControl {
    SimWinmm_ResetFn reset = nullptr;
    SimWinmm_AddDeviceFn addDevice = nullptr;
    SimWinmm_RenameDeviceFn renameDevice = nullptr;
    SimWinmm_RemoveDeviceFn removeDevice = nullptr;
    SimWinmm_HoldCompletionsFn holdCompletions = nullptr;
    SimWinmm_SetCompletionDelayFn setCompletionDelay = nullptr;
    SimWinmm_FailNextFn failNext = nullptr;
    SimWinmm_SentCountFn sentCount = nullptr;
    SimWinmm_GetSentFn getSent = nullptr;
    SimWinmm_OpenHandleCountFn openHandleCount = nullptr;
    SimWinmm_SetWireSpeedFn setWireSpeed = nullptr;
    SimWinmm_SetCompleteInCallFn setCompleteInCall = nullptr;
    SimWinmm_FailCapsFn failCaps = nullptr;
    SimWinmm_ScheduleChangeFn scheduleChange = nullptr;
    SimWinmm_UnplugAtByteFn unplugAtByte = nullptr;
    SimWinmm_UnplugDuringFn unplugDuring = nullptr;

    bool load(HMODULE module) {
        return get(module, "SimWinmm_Reset", reset) && get(module, "SimWinmm_AddDevice", addDevice) &&
               get(module, "SimWinmm_RenameDevice", renameDevice) &&
               get(module, "SimWinmm_RemoveDevice", removeDevice) &&
               get(module, "SimWinmm_HoldCompletions", holdCompletions) &&
               get(module, "SimWinmm_SetCompletionDelay", setCompletionDelay) &&
               get(module, "SimWinmm_FailNext", failNext) &&
               get(module, "SimWinmm_SentCount", sentCount) &&
               get(module, "SimWinmm_GetSent", getSent) &&
               get(module, "SimWinmm_OpenHandleCount", openHandleCount) &&
               get(module, "SimWinmm_SetWireSpeed", setWireSpeed) &&
               get(module, "SimWinmm_SetCompleteInCall", setCompleteInCall) &&
               get(module, "SimWinmm_FailCaps", failCaps) &&
               get(module, "SimWinmm_ScheduleChange", scheduleChange) &&
               get(module, "SimWinmm_UnplugAtByte", unplugAtByte) &&
               get(module, "SimWinmm_UnplugDuring", unplugDuring);
    }

private:
    template <typename Function>
    static bool get(HMODULE module, const char* name, Function& slot) {
        slot = reinterpret_cast<Function>(GetProcAddress(module, name));
        return slot != nullptr;
    }
};
