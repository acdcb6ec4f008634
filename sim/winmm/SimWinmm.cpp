// Simulated winmm.dll: MIDI output and input devices for tests and rehearsals.
//
// Shared state (devices, failure counters, hold/delay settings, the capture of everything
// sent) lives in a named file mapping guarded by a lock word inside it, so several processes see
// the same devices. It holds fixed-size records and no pointers. Open handles, their
// events and their queued headers belong to the process that opened them: a completion
// thread of that process finishes queued long messages (flags, then the event), as
// WinMM's own callback thread does.
//
// As harsh as a real driver: a message takes length / wire speed to play, and its bytes are
// read from the caller's buffer when they leave the port, not when it is handed over; a
// close with a header queued is refused; a reset turns notes off on every channel, which
// takes their time on the link and which the capture records, and hands every queued
// header back through the completion thread, as WinMM's callback path does; only a header
// prepared on the handle itself is taken; the device list may change between two calls; a
// removed device's queued headers come back done, however much of them had been played.
#define _WINMM_
#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sim/winmm/SimWinmmControl.h"

namespace {

constexpr uint32_t kMaxDevices = 32;
constexpr uint32_t kMaxSent = 32768;  // a whole firmware of 13,000 messages fits
constexpr uint32_t kPoolBytes = 8u << 20;
constexpr uint32_t kMagic = 0x4D4D4957;  // "WIMM"
// How often held completions and queued messages are looked at again; a hold may end, and
// a device may be removed, in another process.
constexpr DWORD kPollMs = 5;
constexpr uint32_t kRemovalsKept = 16;
// A new device's link, as a USB MIDI device at full speed moves SysEx (48 bytes per 1 ms
// frame); a test that wants messages played at once asks for a speed of 0.
constexpr uint32_t kUsbMidiBytesPerSecond = 48000;

struct SharedDevice {
    uint32_t id;
    uint32_t input;
    uint32_t openCount;
    uint32_t bytesPerSecond;  // 0: every message plays at once
    uint32_t completeInCall;
    uint32_t failCaps;
    uint32_t acceptedBytes;  // of long messages, since the device was added
    uint32_t unplugAtByte;   // 0: never; else it goes once this many bytes were accepted
    uint32_t acceptedMessages;
    uint32_t unplugMessage;  // 0: never; else it goes while this long message plays
    uint32_t unplugPlayed;   // after this many of its bytes
    char name[kSimWinmmNameSize];
};

// When a device went: what had been played of its queued messages is judged at that moment.
struct SharedRemoval {
    uint32_t id;
    uint64_t qpc;
};

// A change of the device list waiting for its moment.
struct SharedChange {
    uint32_t active;
    uint32_t moment;  // SimWinmmMoment
    uint32_t count;   // midiOutGetNumDevs calls left, the last one included
    uint32_t remove;
    uint32_t targetId;
    uint32_t newId;
    char name[kSimWinmmNameSize];
};

struct SharedSent {
    SimWinmmSent record;
    uint32_t offset;  // into the byte pool
};

struct SharedState {
    // The lock of the state itself (see Shared::lock): the thread id of its holder, 0 when
    // free, and how often that thread has taken it. A fresh mapping is a free lock.
    volatile LONG lockOwner;
    uint32_t lockDepth;
    uint32_t magic;
    uint32_t nextId;
    uint32_t holdCompletions;
    uint32_t delayMs;
    uint32_t failNext[SimWinmmFailureKinds];
    uint32_t deviceCount;
    SharedDevice devices[kMaxDevices];
    SharedChange change;
    uint32_t openHandles;  // in every process, on present and removed devices; kept by a reset
    uint32_t removalNext;
    SharedRemoval removals[kRemovalsKept];
    uint32_t sentCount;
    uint32_t poolUsed;
    SharedSent sent[kMaxSent];
    uint8_t pool[kPoolBytes];
};

// A named mutex costs two wineserver round trips per use, and every WinMM call takes the
// lock: a whole firmware took longer in the stand-in than in the program. The lock is a word
// in the shared memory instead, taken with an interlocked exchange; its holds are short
// copies, so a waiter spins and yields. Like the abandoned mutex before it, a lock whose
// holder thread is gone (a killed program) is taken over.
class Shared {
public:
    Shared() {
        const char* base = std::getenv("CARROWICK_SIM_WINMM");
        const std::string name = base && *base ? base : "CarrowickSimWinmm";
        mapping_ = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0,
                                      sizeof(SharedState), (name + "State").c_str());
        if (mapping_)
            state_ = static_cast<SharedState*>(
                MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedState)));
        // A fresh mapping is all zeros.
        if (state_) {
            lock();
            if (state_->magic != kMagic) {
                state_->magic = kMagic;
                state_->nextId = 1;
            }
            unlock();
        }
    }
    bool ok() const { return state_ != nullptr; }
    void lock() {
        const LONG self = static_cast<LONG>(GetCurrentThreadId());
        if (state_->lockOwner == self) {
            ++state_->lockDepth;
            return;
        }
        for (uint32_t spins = 1;; ++spins) {
            const LONG owner = InterlockedCompareExchange(&state_->lockOwner, self, 0);
            if (owner == 0) break;
            if (spins % 4096 == 0 && holderGone(owner) &&
                InterlockedCompareExchange(&state_->lockOwner, self, owner) == owner)
                break;
            if (spins < 64)
                YieldProcessor();
            else
                SwitchToThread();
        }
        state_->lockDepth = 1;
    }
    void unlock() {
        if (--state_->lockDepth == 0) InterlockedExchange(&state_->lockOwner, 0);
    }
    SharedState& state() { return *state_; }

private:
    static bool holderGone(LONG owner) {
        HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, static_cast<DWORD>(owner));
        if (!thread) return true;
        const bool ended = WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
        CloseHandle(thread);
        return ended;
    }

    HANDLE mapping_ = NULL;
    SharedState* state_ = nullptr;
};

Shared& shared() {
    static Shared instance;
    return instance;
}

// Holds the shared lock for a scope; state is null when the shared memory is missing.
class SharedLock {
public:
    SharedLock() : shared_(shared()) {
        if (shared_.ok()) {
            shared_.lock();
            state = &shared_.state();
        }
    }
    ~SharedLock() {
        if (state) shared_.unlock();
    }
    SharedState* state = nullptr;

private:
    Shared& shared_;
};

SharedDevice* deviceById(SharedState& s, uint32_t id) {
    for (uint32_t i = 0; i < s.deviceCount; ++i)
        if (s.devices[i].id == id) return &s.devices[i];
    return nullptr;
}

void copyName(char* to, const char* from) {
    const size_t length = from ? strnlen(from, kSimWinmmNameSize - 1) : 0;
    std::memset(to, 0, kSimWinmmNameSize);
    if (length) std::memcpy(to, from, length);
}

uint64_t qpcNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

// Later devices move up one index, as WinMM renumbers after an unplug. The moment is kept
// for the completion thread of whichever process has the device open.
bool removeDevice(SharedState& s, uint32_t id, uint64_t when) {
    for (uint32_t i = 0; i < s.deviceCount; ++i) {
        if (s.devices[i].id != id) continue;
        std::memmove(&s.devices[i], &s.devices[i + 1], (s.deviceCount - i - 1) * sizeof(SharedDevice));
        --s.deviceCount;
        s.removals[s.removalNext++ % kRemovalsKept] = SharedRemoval{id, when};
        return true;
    }
    return false;
}

bool removeDevice(SharedState& s, uint32_t id) { return removeDevice(s, id, qpcNow()); }

// When the device went; `fallback` when it is no longer remembered.
uint64_t removedAt(const SharedState& s, uint32_t id, uint64_t fallback) {
    for (uint32_t i = 0; i < kRemovalsKept; ++i)
        if (s.removals[i].id == id && s.removals[i].qpc) return s.removals[i].qpc;
    return fallback;
}

// Inserts a new output device at position `at` of the table; later devices move down.
void insertDevice(SharedState& s, uint32_t at, uint32_t id, const char* name) {
    if (s.deviceCount >= kMaxDevices) return;
    std::memmove(&s.devices[at + 1], &s.devices[at], (s.deviceCount - at) * sizeof(SharedDevice));
    ++s.deviceCount;
    SharedDevice& device = s.devices[at];
    std::memset(&device, 0, sizeof(device));
    device.id = id;
    device.bytesPerSecond = kUsbMidiBytesPerSecond;
    copyName(device.name, name);
}

// Makes the scheduled change when its moment has come.
void changeAt(SharedState& s, SimWinmmMoment moment) {
    SharedChange& c = s.change;
    if (!c.active || c.moment != static_cast<uint32_t>(moment)) return;
    if (moment != SimWinmmAtOpen && --c.count > 0) return;
    c.active = 0;
    if (c.remove) {
        removeDevice(s, c.targetId);
        return;
    }
    for (uint32_t i = 0; i < s.deviceCount; ++i)
        if (s.devices[i].id == c.targetId) return insertDevice(s, i, c.newId, c.name);
}

uint32_t countDevices(SharedState& s, bool input) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < s.deviceCount; ++i)
        if ((s.devices[i].input != 0) == input) ++n;
    return n;
}

SharedDevice* deviceByIndex(SharedState& s, bool input, UINT_PTR index) {
    UINT_PTR n = 0;
    for (uint32_t i = 0; i < s.deviceCount; ++i) {
        if ((s.devices[i].input != 0) != input) continue;
        if (n++ == index) return &s.devices[i];
    }
    return nullptr;
}

bool takeFailure(SharedState& s, SimWinmmFailure kind) {
    if (s.failNext[kind] == 0) return false;
    --s.failNext[kind];
    return true;
}

uint64_t qpcPerSecond() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    return frequency;
}

// Returns the record's index, or kMaxSent when the capture is full.
uint32_t capture(SharedState& s, const SharedDevice& device, uint32_t kind, uint32_t shortMessage,
                 uint32_t length) {
    if (s.sentCount >= kMaxSent || s.poolUsed + length > kPoolBytes) return kMaxSent;
    const uint32_t index = s.sentCount;
    SharedSent& entry = s.sent[s.sentCount++];
    std::memset(&entry, 0, sizeof(entry));
    entry.record.kind = kind;
    entry.record.deviceId = device.id;
    entry.record.timeMs = GetTickCount();
    entry.record.acceptedQpc = qpcNow();
    entry.record.shortMessage = shortMessage;
    entry.record.length = length;
    entry.record.outcome = kind == SimWinmmSentLong ? SimWinmmOutcomeQueued : SimWinmmOutcomePlayed;
    std::memcpy(entry.record.deviceName, device.name, kSimWinmmNameSize);
    entry.offset = s.poolUsed;
    // A long message's bytes are read when they leave the port (finish).
    if (length) std::memset(s.pool + s.poolUsed, 0, length);
    s.poolUsed += length;
    return index;
}

// A long message leaves the port: its first `played` bytes are read from the caller's
// buffer now, whatever the buffer holds by then.
void finish(uint32_t sentIndex, uint32_t outcome, const void* data, uint32_t played) {
    SharedLock guard;
    if (!guard.state || sentIndex >= guard.state->sentCount) return;
    SharedSent& entry = guard.state->sent[sentIndex];
    if (played > entry.record.length) played = entry.record.length;
    if (played) std::memcpy(guard.state->pool + entry.offset, data, played);
    entry.record.playedLength = played;
    // A message whose last byte left before its device went did arrive.
    if (outcome == SimWinmmOutcomeUnplugged && played == entry.record.length) outcome = SimWinmmOutcomePlayed;
    entry.record.outcome = outcome;
    if (outcome == SimWinmmOutcomePlayed) entry.record.completedQpc = qpcNow();
}

// ---- handles of this process ----

// Times in QueryPerformanceCounter ticks: a link is timed to the byte, not to the
// millisecond, or a short message would take a whole millisecond more than its bytes do.
struct Pending {
    LPMIDIHDR header;
    uint64_t start;  // when its first byte goes out
    uint64_t due;    // when its last byte has gone out
    uint32_t bytesPerSecond;
    uint32_t sentIndex;
    uint64_t unplugAt;  // 0, or when its device is pulled out while it plays
    uint64_t resetAt;   // 0, or when a reset stopped it: it is handed back unfinished
};

// How many of a message's bytes have left the port at `now`.
uint32_t playedBy(const Pending& p, uint64_t now) {
    if (now <= p.start || p.bytesPerSecond == 0) return 0;
    const uint64_t bytes = (now - p.start) * p.bytesPerSecond / qpcPerSecond();
    return bytes < p.header->dwBufferLength ? static_cast<uint32_t>(bytes) : p.header->dwBufferLength;
}

void markDone(LPMIDIHDR header) { header->dwFlags = (header->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE; }

struct OutHandle {
    uint32_t deviceId;
    HANDLE event;  // null for CALLBACK_NULL
    std::deque<Pending> pending;
    std::set<LPMIDIHDR> prepared;  // headers prepared on this handle: a copy is not one
};

class Handles {
public:
    std::mutex mutex;
    // Set while the completion thread signals events outside `mutex` (a woken caller must
    // not find the lock taken); a close waits until it is clear, so no event is signalled
    // once its handle has gone. A flag, not a lock: a contended lock would create a kernel
    // object in the caller's process, which tests that count handles would see.
    std::atomic<bool> signalling{false};
    std::set<OutHandle*> live;
    HANDLE wake = CreateEventA(NULL, FALSE, FALSE, NULL);

    OutHandle* find(HMIDIOUT h) {
        auto* handle = reinterpret_cast<OutHandle*>(h);
        return live.count(handle) ? handle : nullptr;
    }
    void startThread() {
        std::call_once(threadStarted_, [this] {
            HANDLE thread = CreateThread(NULL, 0, &Handles::run, this, 0, NULL);
            if (thread) CloseHandle(thread);
        });
    }

private:
    static DWORD WINAPI run(void* self) {
        static_cast<Handles*>(self)->loop();
        return 0;
    }
    void loop();
    std::once_flag threadStarted_;
};

Handles& handles() {
    static Handles instance;
    return instance;
}

bool deviceExists(uint32_t id) {
    SharedLock guard;
    return guard.state && deviceById(*guard.state, id);
}

// The device is gone: the driver hands every queued header back done, each with its
// callback, having played of each what had left before the removal. Called with
// `Handles::mutex` held; returns the events to signal once it is released.
void handBackRemoved(OutHandle& h, std::vector<HANDLE>& done) {
    uint64_t when;
    {
        SharedLock guard;
        when = guard.state ? removedAt(*guard.state, h.deviceId, qpcNow()) : qpcNow();
    }
    while (!h.pending.empty()) {
        const Pending& p = h.pending.front();
        finish(p.sentIndex, SimWinmmOutcomeUnplugged, p.header->lpData, playedBy(p, when));
        markDone(p.header);
        h.pending.pop_front();
        if (h.event) done.push_back(h.event);
    }
}

// Hands back what a reset stopped: it leaves the queue's front first.
void handBackReset(OutHandle& h, std::vector<HANDLE>& done) {
    while (!h.pending.empty() && h.pending.front().resetAt) {
        const Pending& p = h.pending.front();
        finish(p.sentIndex, SimWinmmOutcomeReturned, p.header->lpData, playedBy(p, p.resetAt));
        markDone(p.header);
        h.pending.pop_front();
        if (h.event) done.push_back(h.event);
    }
}

// Pulls the device out if its message playing now is the one chosen for that.
void unplugIfDue(const OutHandle& h, uint64_t now) {
    if (h.pending.empty()) return;
    const Pending& p = h.pending.front();
    if (!p.unplugAt || p.unplugAt > now) return;
    SharedLock guard;
    if (guard.state) removeDevice(*guard.state, h.deviceId, p.unplugAt);
}

// A wait's time-out is counted in whole milliseconds and may end up to one late: the whole
// time a short message takes on a USB link. Under Wine the native delay sleeps to a few
// tens of microseconds without a trip to the server; the last stretch is yielded away, so
// a completion is signalled when its last byte has gone, as a driver's interrupt does.
typedef LONG(WINAPI* NtDelayExecutionFn)(BOOLEAN alertable, const LARGE_INTEGER* interval);

void sleepUntil(uint64_t dueQpc) {
    static const NtDelayExecutionFn delay = reinterpret_cast<NtDelayExecutionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtDelayExecution")));
    const uint64_t yieldFrom = dueQpc - qpcPerSecond() / 5000;  // 200 us before
    const uint64_t now = qpcNow();
    if (delay && yieldFrom > now) {
        LARGE_INTEGER interval;
        interval.QuadPart = -static_cast<LONGLONG>((yieldFrom - now) * 10000000 / qpcPerSecond());  // 100 ns units
        delay(FALSE, &interval);
    }
    while (qpcNow() < dueQpc) SwitchToThread();
}

// The completion thread waits for the wake event until a little before the next completion
// is due, then sleeps exactly to it.
void Handles::loop() {
    for (;;) {
        DWORD timeout = INFINITE;
        bool hold = false;
        uint64_t soon = 0;  // the next completion, when it is too close for a wait's time-out
        std::vector<HANDLE> done;
        {
            std::lock_guard<std::mutex> lock(mutex);
            // Read under the handles' lock: a hold set before a message was queued then
            // always covers it.
            {
                SharedLock guard;
                hold = guard.state && guard.state->holdCompletions;
            }
            const uint64_t now = qpcNow();
            for (OutHandle* h : live) {
                if (h->pending.empty()) continue;
                unplugIfDue(*h, now);
                // Removal is looked for while anything is queued, whoever removes the device.
                if (timeout > kPollMs) timeout = kPollMs;
                if (!deviceExists(h->deviceId)) {
                    handBackRemoved(*h, done);
                    continue;
                }
                handBackReset(*h, done);
                if (hold) continue;
                while (!h->pending.empty()) {
                    const Pending& p = h->pending.front();
                    const uint64_t next = p.unplugAt && p.unplugAt < p.due ? p.unplugAt : p.due;
                    if (p.unplugAt && p.unplugAt <= now) {  // pulled out on the next round
                        if (!soon || now < soon) soon = now;
                        break;
                    }
                    if (next > now) {
                        const uint64_t waitMs = (next - now) * 1000 / qpcPerSecond();
                        if (waitMs < 2) {
                            if (!soon || next < soon) soon = next;
                        } else if (waitMs - 1 < timeout) timeout = static_cast<DWORD>(waitMs - 1);
                        break;
                    }
                    finish(p.sentIndex, SimWinmmOutcomePlayed, p.header->lpData, p.header->dwBufferLength);
                    markDone(p.header);
                    h->pending.pop_front();
                    if (h->event) done.push_back(h->event);  // MOM_DONE
                }
            }
            if (!done.empty()) signalling.store(true);
        }
        for (HANDLE event : done) SetEvent(event);
        signalling.store(false);
        if (soon)
            sleepUntil(soon);
        else
            WaitForSingleObject(wake, timeout);
    }
}

// Looks up a handle and its device; returns an error code or MMSYSERR_NOERROR.
MMRESULT checkHandle(OutHandle* h) {
    if (!h) return MMSYSERR_INVALHANDLE;
    return deviceExists(h->deviceId) ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
}

void fillCommon(MIDIOUTCAPSA& caps) {
    caps.wMid = 0xFFFF;
    caps.wPid = 0xFFFF;
    caps.vDriverVersion = 0x0100;
    caps.wTechnology = MOD_MIDIPORT;
    caps.wVoices = 0;
    caps.wNotes = 0;
    caps.wChannelMask = 0xFFFF;
    caps.dwSupport = 0;
}

}  // namespace

// ---- WinMM MIDI output ----

extern "C" UINT WINAPI midiOutGetNumDevs() {
    SharedLock guard;
    if (!guard.state) return 0;
    changeAt(*guard.state, SimWinmmAtNumDevs);
    return countDevices(*guard.state, false);
}

extern "C" UINT WINAPI midiInGetNumDevs() {
    SharedLock guard;
    return guard.state ? countDevices(*guard.state, true) : 0;
}

namespace {

// The device's name for an index or an open handle, as midiOutGetDevCaps sees it.
MMRESULT outDeviceName(UINT_PTR id, char (&name)[kSimWinmmNameSize]) {
    uint32_t deviceId = 0;
    bool isHandle = false;
    {
        Handles& hs = handles();
        std::lock_guard<std::mutex> lock(hs.mutex);
        if (OutHandle* h = hs.find(reinterpret_cast<HMIDIOUT>(id))) {
            deviceId = h->deviceId;
            isHandle = true;
        }
    }
    SharedLock guard;
    if (!guard.state) return MMSYSERR_BADDEVICEID;
    if (!isHandle) changeAt(*guard.state, SimWinmmAtCaps);
    SharedDevice* device = isHandle ? deviceById(*guard.state, deviceId)
                                    : deviceByIndex(*guard.state, false, id);
    if (!device) return isHandle ? MMSYSERR_NODRIVER : MMSYSERR_BADDEVICEID;
    if (device->failCaps) return device->failCaps == 2 ? MMSYSERR_BADDEVICEID : MMSYSERR_ERROR;
    std::memcpy(name, device->name, kSimWinmmNameSize);
    return MMSYSERR_NOERROR;
}

MMRESULT inDeviceName(UINT_PTR id, char (&name)[kSimWinmmNameSize]) {
    SharedLock guard;
    SharedDevice* device = guard.state ? deviceByIndex(*guard.state, true, id) : nullptr;
    if (!device) return MMSYSERR_BADDEVICEID;
    std::memcpy(name, device->name, kSimWinmmNameSize);
    return MMSYSERR_NOERROR;
}

template <typename Caps>
MMRESULT copyCaps(const Caps& caps, void* to, UINT size) {
    std::memcpy(to, &caps, size < sizeof(caps) ? size : sizeof(caps));
    return MMSYSERR_NOERROR;
}

void fillOut(MIDIOUTCAPSW& w, const MIDIOUTCAPSA& a) {
    w.wMid = a.wMid;
    w.wPid = a.wPid;
    w.vDriverVersion = a.vDriverVersion;
    MultiByteToWideChar(CP_ACP, 0, a.szPname, -1, w.szPname, MAXPNAMELEN);
    w.wTechnology = a.wTechnology;
    w.wVoices = a.wVoices;
    w.wNotes = a.wNotes;
    w.wChannelMask = a.wChannelMask;
    w.dwSupport = a.dwSupport;
}

MMRESULT outCapsA(UINT_PTR id, MIDIOUTCAPSA& caps) {
    char name[kSimWinmmNameSize];
    const MMRESULT r = outDeviceName(id, name);
    if (r != MMSYSERR_NOERROR) return r;
    std::memset(&caps, 0, sizeof(caps));
    fillCommon(caps);
    std::memcpy(caps.szPname, name, MAXPNAMELEN - 1);  // WinMM cuts names to 31 characters
    return MMSYSERR_NOERROR;
}

MMRESULT inCapsA(UINT_PTR id, MIDIINCAPSA& caps) {
    char name[kSimWinmmNameSize];
    const MMRESULT r = inDeviceName(id, name);
    if (r != MMSYSERR_NOERROR) return r;
    std::memset(&caps, 0, sizeof(caps));
    caps.wMid = 0xFFFF;
    caps.wPid = 0xFFFF;
    caps.vDriverVersion = 0x0100;
    std::memcpy(caps.szPname, name, MAXPNAMELEN - 1);
    return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR id, LPMIDIOUTCAPSA caps, UINT size) {
    if (!caps) return MMSYSERR_INVALPARAM;
    MIDIOUTCAPSA full;
    const MMRESULT r = outCapsA(id, full);
    return r == MMSYSERR_NOERROR ? copyCaps(full, caps, size) : r;
}

extern "C" MMRESULT WINAPI midiOutGetDevCapsW(UINT_PTR id, LPMIDIOUTCAPSW caps, UINT size) {
    if (!caps) return MMSYSERR_INVALPARAM;
    MIDIOUTCAPSA full;
    const MMRESULT r = outCapsA(id, full);
    if (r != MMSYSERR_NOERROR) return r;
    MIDIOUTCAPSW wide = {};
    fillOut(wide, full);
    return copyCaps(wide, caps, size);
}

extern "C" MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR id, LPMIDIINCAPSA caps, UINT size) {
    if (!caps) return MMSYSERR_INVALPARAM;
    MIDIINCAPSA full;
    const MMRESULT r = inCapsA(id, full);
    return r == MMSYSERR_NOERROR ? copyCaps(full, caps, size) : r;
}

extern "C" MMRESULT WINAPI midiInGetDevCapsW(UINT_PTR id, LPMIDIINCAPSW caps, UINT size) {
    if (!caps) return MMSYSERR_INVALPARAM;
    MIDIINCAPSA full;
    const MMRESULT r = inCapsA(id, full);
    if (r != MMSYSERR_NOERROR) return r;
    MIDIINCAPSW wide = {};
    wide.wMid = full.wMid;
    wide.wPid = full.wPid;
    wide.vDriverVersion = full.vDriverVersion;
    MultiByteToWideChar(CP_ACP, 0, full.szPname, -1, wide.szPname, MAXPNAMELEN);
    return copyCaps(wide, caps, size);
}

extern "C" MMRESULT WINAPI midiOutOpen(LPHMIDIOUT out, UINT id, DWORD_PTR callback,
                                       DWORD_PTR, DWORD flags) {
    if (!out) return MMSYSERR_INVALPARAM;
    *out = NULL;
    const DWORD type = flags & CALLBACK_TYPEMASK;
    if (type != CALLBACK_NULL && type != CALLBACK_EVENT) return MMSYSERR_NOTSUPPORTED;
    if (type == CALLBACK_EVENT && !callback) return MMSYSERR_INVALPARAM;
    auto* handle = new OutHandle();
    handle->event = type == CALLBACK_EVENT ? reinterpret_cast<HANDLE>(callback) : NULL;
    {
        SharedLock guard;
        if (!guard.state) {
            delete handle;
            return MMSYSERR_NODRIVER;
        }
        changeAt(*guard.state, SimWinmmAtOpen);
        SharedDevice* device = deviceByIndex(*guard.state, false, id);
        if (!device) {
            delete handle;
            return MMSYSERR_BADDEVICEID;
        }
        // MIDI ports are exclusive; a port held elsewhere reads as allocated.
        if (takeFailure(*guard.state, SimWinmmFailOpen) || device->openCount > 0) {
            delete handle;
            return MMSYSERR_ALLOCATED;
        }
        ++device->openCount;
        ++guard.state->openHandles;
        handle->deviceId = device->id;
    }
    Handles& hs = handles();
    {
        std::lock_guard<std::mutex> lock(hs.mutex);
        hs.live.insert(handle);
    }
    hs.startThread();
    *out = reinterpret_cast<HMIDIOUT>(handle);
    if (handle->event) SetEvent(handle->event);  // MOM_OPEN
    return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI midiOutClose(HMIDIOUT h) {
    Handles& hs = handles();
    OutHandle* handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(hs.mutex);
        handle = hs.find(h);
        if (!handle) return MMSYSERR_INVALHANDLE;
        // Queued buffers must be returned first (by midiOutReset, or by the driver when
        // its device goes).
        if (!handle->pending.empty()) return MIDIERR_STILLPLAYING;
        SharedLock guard;
        if (guard.state && takeFailure(*guard.state, SimWinmmFailClose)) return MMSYSERR_NOMEM;
        hs.live.erase(handle);
    }
    while (hs.signalling.load()) SwitchToThread();  // no completion of it is still being signalled
    {
        SharedLock guard;
        if (guard.state) {
            if (guard.state->openHandles) --guard.state->openHandles;
            if (SharedDevice* device = deviceById(*guard.state, handle->deviceId))
                if (device->openCount) --device->openCount;
        }
    }
    if (handle->event) SetEvent(handle->event);  // MOM_CLOSE
    delete handle;
    return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI midiOutReset(HMIDIOUT h) {
    Handles& hs = handles();
    std::unique_lock<std::mutex> lock(hs.mutex);
    OutHandle* handle = hs.find(h);
    if (!handle) return MMSYSERR_INVALHANDLE;
    {
        SharedLock guard;
        if (!guard.state) return MMSYSERR_NODRIVER;
        if (takeFailure(*guard.state, SimWinmmFailReset)) return MMSYSERR_ERROR;
        SharedDevice* device = deviceById(*guard.state, handle->deviceId);
        if (device) capture(*guard.state, *device, SimWinmmSentReset, 0, 0);
    }
    if (!deviceExists(handle->deviceId)) {
        // Nothing to turn off on a device that is gone; what it held comes back all the same.
        std::vector<HANDLE> done;
        handBackRemoved(*handle, done);
        lock.unlock();
        for (HANDLE event : done) SetEvent(event);
        return MMSYSERR_NOERROR;
    }
    // What had left the port of the message playing stays sent; the rest never goes. The
    // headers come back through the completion thread, after the call may have returned.
    const uint64_t now = qpcNow();
    uint32_t rate = 0;
    for (Pending& p : handle->pending) {
        p.resetAt = now;
        rate = p.bytesPerSecond;
    }
    if (!rate) {
        SharedLock guard;
        if (SharedDevice* device = guard.state ? deviceById(*guard.state, handle->deviceId) : nullptr)
            rate = device->bytesPerSecond;
    }
    lock.unlock();
    SetEvent(hs.wake);
    // All notes off on each of the 16 channels: three bytes each on the link.
    if (rate) Sleep(static_cast<DWORD>(16 * 3 * 1000 / rate));
    return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT h, LPMIDIHDR header, UINT size) {
    Handles& hs = handles();
    std::lock_guard<std::mutex> lock(hs.mutex);
    OutHandle* handle = hs.find(h);
    if (!handle) return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(MIDIHDR) || !header->lpData || header->dwBufferLength == 0 ||
        header->dwBufferLength > 0x10000)
        return MMSYSERR_INVALPARAM;
    const MMRESULT r = checkHandle(handle);
    if (r != MMSYSERR_NOERROR) return r;
    {
        SharedLock guard;
        if (guard.state && takeFailure(*guard.state, SimWinmmFailPrepare)) return MMSYSERR_NOMEM;
    }
    header->dwFlags |= MHDR_PREPARED;
    handle->prepared.insert(header);
    return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT h, LPMIDIHDR header, UINT size) {
    Handles& hs = handles();
    std::lock_guard<std::mutex> lock(hs.mutex);
    OutHandle* handle = hs.find(h);
    if (!handle) return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & MHDR_PREPARED)) return MMSYSERR_NOERROR;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    if (!handle->prepared.count(header)) return MMSYSERR_INVALPARAM;  // a copy, or another handle's
    {
        SharedLock guard;
        if (guard.state && takeFailure(*guard.state, SimWinmmFailUnprepare)) return MMSYSERR_ERROR;
    }
    header->dwFlags &= ~MHDR_PREPARED;
    handle->prepared.erase(header);
    return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI midiOutLongMsg(HMIDIOUT h, LPMIDIHDR header, UINT size) {
    Handles& hs = handles();
    std::unique_lock<std::mutex> lock(hs.mutex);
    OutHandle* handle = hs.find(h);
    if (!handle) return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    // WinMM keeps its own record of a prepared header: the flag alone, on a copy or on a
    // header another handle prepared, is not enough.
    if (!(header->dwFlags & MHDR_PREPARED) || !handle->prepared.count(header)) return MIDIERR_UNPREPARED;
    if (header->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    DWORD delay = 0;
    uint32_t rate = 0;
    bool inCall = false;
    uint32_t sentIndex = kMaxSent;
    bool unplugDuring = false;
    uint32_t unplugPlayed = 0;
    {
        SharedLock guard;
        if (!guard.state) return MMSYSERR_NODRIVER;
        SharedDevice* device = deviceById(*guard.state, handle->deviceId);
        if (!device) return MMSYSERR_NODRIVER;
        if (takeFailure(*guard.state, SimWinmmFailLongMsg)) return MIDIERR_NOTREADY;
        sentIndex = capture(*guard.state, *device, SimWinmmSentLong, 0, header->dwBufferLength);
        delay = guard.state->delayMs;
        rate = device->bytesPerSecond;
        inCall = device->completeInCall && handle->pending.empty();
        device->acceptedBytes += header->dwBufferLength;
        unplugDuring = ++device->acceptedMessages == device->unplugMessage;
        unplugPlayed = device->unplugPlayed;
        if (unplugDuring) inCall = false;
        // Unplugged while this message is on its way: it comes back unplayed.
        if (device->unplugAtByte && device->acceptedBytes >= device->unplugAtByte) {
            removeDevice(*guard.state, device->id);
            inCall = false;
        }
    }
    header->dwFlags = (header->dwFlags & ~MHDR_DONE) | MHDR_INQUEUE;
    if (inCall) {
        // Done before the call returns: the caller sees MHDR_DONE and a signalled event.
        finish(sentIndex, SimWinmmOutcomePlayed, header->lpData, header->dwBufferLength);
        markDone(header);
        if (handle->event) SetEvent(handle->event);
        return MMSYSERR_NOERROR;
    }
    // The driver plays messages out in order: each starts when the one before it is done.
    uint64_t start = qpcNow();
    if (!handle->pending.empty() && handle->pending.back().due > start) start = handle->pending.back().due;
    start += static_cast<uint64_t>(delay) * qpcPerSecond() / 1000;
    uint64_t wire = 0;
    if (rate) wire = (static_cast<uint64_t>(header->dwBufferLength) * qpcPerSecond() + rate - 1) / rate;
    uint64_t unplugAt = 0;
    if (unplugDuring) {
        // Cut short of its last byte, so the message never arrives whole.
        const uint32_t played =
            unplugPlayed < header->dwBufferLength ? unplugPlayed : header->dwBufferLength - 1;
        unplugAt = start + (rate ? static_cast<uint64_t>(played) * qpcPerSecond() / rate : 0);
    }
    handle->pending.push_back(Pending{header, start, start + wire, rate, sentIndex, unplugAt, 0});
    lock.unlock();  // the completion thread wakes to a free lock
    SetEvent(hs.wake);
    return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI midiOutShortMsg(HMIDIOUT h, DWORD message) {
    Handles& hs = handles();
    std::lock_guard<std::mutex> lock(hs.mutex);
    OutHandle* handle = hs.find(h);
    if (!handle) return MMSYSERR_INVALHANDLE;
    SharedLock guard;
    if (!guard.state) return MMSYSERR_NODRIVER;
    SharedDevice* device = deviceById(*guard.state, handle->deviceId);
    if (!device) return MMSYSERR_NODRIVER;
    if (takeFailure(*guard.state, SimWinmmFailShortMsg)) return MIDIERR_NOTREADY;
    capture(*guard.state, *device, SimWinmmSentShort, message, 0);
    return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI midiOutGetID(HMIDIOUT h, LPUINT id) {
    if (!id) return MMSYSERR_INVALPARAM;
    uint32_t deviceId = 0;
    {
        Handles& hs = handles();
        std::lock_guard<std::mutex> lock(hs.mutex);
        OutHandle* handle = hs.find(h);
        if (!handle) return MMSYSERR_INVALHANDLE;
        deviceId = handle->deviceId;
    }
    SharedLock guard;
    if (!guard.state) return MMSYSERR_NODRIVER;
    UINT index = 0;
    for (uint32_t i = 0; i < guard.state->deviceCount; ++i) {
        const SharedDevice& device = guard.state->devices[i];
        if (device.input) continue;
        if (device.id == deviceId) {
            *id = index;
            return MMSYSERR_NOERROR;
        }
        ++index;
    }
    return MMSYSERR_NODRIVER;
}

// ---- timers ----

extern "C" DWORD WINAPI timeGetTime() { return GetTickCount(); }

extern "C" MMRESULT WINAPI timeGetSystemTime(LPMMTIME time, UINT size) {
    if (!time || size < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
    time->wType = TIME_MS;
    time->u.ms = GetTickCount();
    return MMSYSERR_NOERROR;
}

extern "C" MMRESULT WINAPI timeBeginPeriod(UINT period) {
    return period == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR;
}

extern "C" MMRESULT WINAPI timeEndPeriod(UINT period) {
    return period == 0 ? TIMERR_NOCANDO : TIMERR_NOERROR;
}

// ---- control interface ----

extern "C" void SimWinmm_Reset() {
    SharedLock guard;
    if (!guard.state) return;
    SharedState& s = *guard.state;
    s.holdCompletions = 0;
    s.delayMs = 0;
    std::memset(s.failNext, 0, sizeof(s.failNext));
    s.deviceCount = 0;
    s.change.active = 0;
    s.sentCount = 0;
    s.poolUsed = 0;
}

extern "C" uint32_t SimWinmm_AddDevice(int input, const char* name) {
    SharedLock guard;
    if (!guard.state || guard.state->deviceCount >= kMaxDevices) return 0;
    SharedState& s = *guard.state;
    SharedDevice& device = s.devices[s.deviceCount++];
    std::memset(&device, 0, sizeof(device));
    device.id = s.nextId++;
    device.input = input ? 1 : 0;
    device.bytesPerSecond = kUsbMidiBytesPerSecond;
    copyName(device.name, name);
    return device.id;
}

namespace {

// Changes one device under the lock; 0 when there is no device with that id.
template <typename Change>
int changeDevice(uint32_t id, Change change) {
    SharedLock guard;
    SharedDevice* device = guard.state ? deviceById(*guard.state, id) : nullptr;
    if (!device) return 0;
    change(*device);
    return 1;
}

}  // namespace

extern "C" int SimWinmm_RenameDevice(uint32_t id, const char* name) {
    return changeDevice(id, [&](SharedDevice& d) { copyName(d.name, name); });
}

extern "C" int SimWinmm_RemoveDevice(uint32_t id) {
    SharedLock guard;
    return guard.state && removeDevice(*guard.state, id) ? 1 : 0;
}

extern "C" int SimWinmm_SetWireSpeed(uint32_t id, uint32_t bytesPerSecond) {
    return changeDevice(id, [&](SharedDevice& d) { d.bytesPerSecond = bytesPerSecond; });
}

extern "C" int SimWinmm_UnplugAtByte(uint32_t id, uint32_t byte) {
    return changeDevice(id, [&](SharedDevice& d) { d.unplugAtByte = byte; });
}

extern "C" int SimWinmm_UnplugDuring(uint32_t id, uint32_t message, uint32_t played) {
    return changeDevice(id, [&](SharedDevice& d) {
        d.unplugMessage = message;
        d.unplugPlayed = played;
    });
}

extern "C" int SimWinmm_SetCompleteInCall(uint32_t id, int on) {
    return changeDevice(id, [&](SharedDevice& d) { d.completeInCall = on ? 1 : 0; });
}

extern "C" int SimWinmm_FailCaps(uint32_t id, int fail) {
    return changeDevice(id, [&](SharedDevice& d) { d.failCaps = fail == 2 ? 2 : fail ? 1 : 0; });
}

extern "C" uint32_t SimWinmm_ScheduleChange(int moment, uint32_t count, int remove, uint32_t id,
                                            const char* name) {
    SharedLock guard;
    if (!guard.state || !deviceById(*guard.state, id)) return 0;
    SharedChange& c = guard.state->change;
    c.active = 1;
    c.moment = static_cast<uint32_t>(moment == SimWinmmAtNumDevs || moment == SimWinmmAtCaps ? moment : SimWinmmAtOpen);
    c.count = count ? count : 1;
    c.remove = remove ? 1 : 0;
    c.targetId = id;
    c.newId = remove ? id : guard.state->nextId++;
    copyName(c.name, name);
    return c.newId;
}

extern "C" void SimWinmm_HoldCompletions(int hold) {
    {
        SharedLock guard;
        if (guard.state) guard.state->holdCompletions = hold ? 1 : 0;
    }
    SetEvent(handles().wake);
}

extern "C" void SimWinmm_SetCompletionDelay(uint32_t ms) {
    SharedLock guard;
    if (guard.state) guard.state->delayMs = ms;
}

extern "C" void SimWinmm_FailNext(int failure, uint32_t count) {
    if (failure < 0 || failure >= SimWinmmFailureKinds) return;
    SharedLock guard;
    if (guard.state) guard.state->failNext[failure] = count;
}

extern "C" uint32_t SimWinmm_SentCount() {
    SharedLock guard;
    return guard.state ? guard.state->sentCount : 0;
}

extern "C" int SimWinmm_GetSent(uint32_t index, SimWinmmSent* record, uint8_t* bytes,
                                uint32_t capacity) {
    SharedLock guard;
    if (!guard.state || index >= guard.state->sentCount) return 0;
    const SharedSent& entry = guard.state->sent[index];
    if (record) *record = entry.record;
    if (bytes) {
        const uint32_t n = entry.record.length < capacity ? entry.record.length : capacity;
        std::memcpy(bytes, guard.state->pool + entry.offset, n);
    }
    return 1;
}

extern "C" uint32_t SimWinmm_OpenHandleCount() {
    SharedLock guard;
    return guard.state ? guard.state->openHandles : 0;
}
