// The in-process loop: each world runs the check flow's search and the update protocol
// against the simulated WinMM and Zeph library, in this process, with the pauses
// shortened. The oracle then reads what the stand-ins captured.
//
// Threads per world: this one runs the program's code; fault threads (stalls, a device
// leaving, rebinds) act on the stand-ins until the world is over and are joined before the
// next one; a watchdog ends the process when a world outlives its bound.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/App.h"
#include "device/FirmwareImage.h"
#include "device/UpdateProtocol.h"
#include "device/UpdaterDev.h"
#include "midi/MidiPorts.h"
#include "midi/WinMM.h"
#include "sim/winmm/SimWinmmControl.h"
#include "sim/zeph/SimZephControl.h"
#include "tests/chaos/World.h"

using namespace chaos;

namespace {

const char kZephKey[] = "Software\\Veltro\\Zeph";
const char kSimZeph[] = "C:\\windows\\system32\\carrowick_simzeph.dll";
const char* const kArch = sizeof(void*) == 8 ? "x64" : "x86";

struct Zeph {
    SimZephResetFn reset;
    SimZephWriteCountFn writeCount;
    SimZephWriteAtFn writeAt;
    SimZephTriggerRebindFn triggerRebind;
    SimZephViolationCountFn violationCount;
    SimZephViolationsFn violations;
};

class Silent : public ProgressSink {
public:
    long setProgress(uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
};

SimWinmmControl sim;
Zeph zeph;
std::atomic<uint64_t> g_seed{0};
std::atomic<ULONGLONG> g_deadline{0};

void replayLine(uint64_t seed) {
    std::fprintf(stderr, "chaos: replay: scripts/chaos --arch %s --seed %llu --worlds 1\n", kArch,
                 static_cast<unsigned long long>(seed));
}

// A crash or a hang ends the run with the world that caused it.
LONG WINAPI onCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "chaos: world %llu crashed (exception 0x%08lx)\n",
                 static_cast<unsigned long long>(g_seed.load()), info->ExceptionRecord->ExceptionCode);
    replayLine(g_seed.load());
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}

void watchdog() {
    for (;;) {
        Sleep(100);
        const ULONGLONG deadline = g_deadline.load();
        if (deadline && GetTickCount64() > deadline) {
            std::fprintf(stderr, "chaos: world %llu did not end within its bound\n",
                         static_cast<unsigned long long>(g_seed.load()));
            replayLine(g_seed.load());
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
}

uint32_t longCount() {
    uint32_t n = 0;
    for (uint32_t i = 0; i < sim.sentCount(); ++i) {
        SimWinmmSent r = {};
        if (sim.getSent(i, &r, nullptr, 0) && r.kind == SimWinmmSentLong) ++n;
    }
    return n;
}

struct Sent {
    SimWinmmSent record;
    Bytes bytes;
};

std::vector<Sent> longMessages() {
    std::vector<Sent> all;
    for (uint32_t i = 0; i < sim.sentCount(); ++i) {
        Sent s = {};
        s.bytes.resize(kPortBuffer + 0x1000);
        if (!sim.getSent(i, &s.record, s.bytes.data(), static_cast<uint32_t>(s.bytes.size()))) break;
        if (s.record.kind != SimWinmmSentLong) continue;
        s.bytes.resize(std::min<size_t>(s.record.length, s.bytes.size()));
        all.push_back(s);
    }
    return all;
}

void setEnv(const char* name, int value) {
    const std::string text = std::string(name) + "=" + std::to_string(value);
    _putenv(text.c_str());
}

void prepareZeph(const ZephFaults& z) {
    HKEY key;
    if (z.absent) {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kZephKey);
    } else if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kZephKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
               ERROR_SUCCESS) {
        RegSetValueExA(key, "Location", 0, REG_SZ, reinterpret_cast<const BYTE*>(kSimZeph), sizeof kSimZeph);
        RegCloseKey(key);
    }
    setEnv("CARROWICK_SIMZEPH_VERSION", z.version);
    setEnv("CARROWICK_SIMZEPH_NO_DEVICE", z.noDevice);
    setEnv("CARROWICK_SIMZEPH_CREATE_NULL", z.createNull);
    setEnv("CARROWICK_SIMZEPH_CALLBACK_IN_CREATE", z.callbackInCreate);
    setEnv("CARROWICK_SIMZEPH_CALLBACK_IN_DESTROY", z.callbackInDestroy);
    setEnv("CARROWICK_SIMZEPH_REBIND_ON_START", z.rebindOnStart);
    setEnv("CARROWICK_SIMZEPH_BACK_MS", z.backMs);
    setEnv("CARROWICK_SIMZEPH_WRITE_MS", z.writeMs);
    setEnv("CARROWICK_SIMZEPH_LUMETRA_DELAY_MS", -1);  // the world itself says when the port appears
    zeph.reset();
}

// Waits until cond holds or the world is over; true when it held.
template <typename Cond>
bool until(const std::atomic<bool>& over, Cond cond) {
    while (!over.load()) {
        if (cond()) return true;
        Sleep(1);
    }
    return false;
}

struct Outcome {
    int32_t result = -1;
    bool portReturned = false;
    std::vector<Sent> atReturn;  // what the instrument's link had when the result was known
    uint32_t longAfterRelease = 0;
    uint32_t instrument = 0;
    std::vector<Bytes> zephWrites;
    int zephViolations = 0;
    std::string zephViolationText;
    ULONGLONG ms = 0;
};

Outcome runWorld(const World& w, const Pace& pace) {
    Outcome out;
    sim.reset();
    sim.holdCompletions(0);
    sim.setCompletionDelay(w.completionDelayMs);
    prepareZeph(w.zeph);

    std::vector<uint32_t> others;
    uint32_t firstOther = 0;
    for (int i = 0; i <= w.otherDevices; ++i) {
        if (i == w.instrumentAt) {
            if (w.arrival == Arrival::Present) out.instrument = sim.addDevice(0, "Lumetra");
            continue;
        }
        others.push_back(sim.addDevice(0, ("Other Synth " + std::to_string(i)).c_str()));
    }
    firstOther = others.front();
    if (w.arrival == Arrival::DuringSearch) {
        // Inserted where it belongs: before the other device that follows it, else at the end.
        const uint32_t before = w.instrumentAt < static_cast<int>(others.size()) ? others[w.instrumentAt] : 0;
        if (before)
            out.instrument = sim.scheduleChange(SimWinmmAtNumDevs, w.arrivalCall, 0, before, "Lumetra");
        else
            out.instrument = sim.scheduleChange(SimWinmmAtNumDevs, w.arrivalCall, 0, others.back(), "Lumetra 2");
    }
    if (w.arrival == Arrival::Present) {
        sim.setWireSpeed(out.instrument, w.wireSpeed);
        sim.setCompleteInCall(out.instrument, w.completeInCall);
        sim.unplugAtByte(out.instrument, w.unplugAtByte);
        if (w.openChange == OpenChange::InsertBefore)
            sim.scheduleChange(SimWinmmAtOpen, 1, 0, out.instrument, "Intruder");
        else if (w.openChange == OpenChange::RemoveBefore)
            sim.scheduleChange(SimWinmmAtOpen, 1, 1, others[w.instrumentAt - 1], "");
    }
    if (w.openFailures) sim.failNext(SimWinmmFailOpen, w.openFailures);
    if (w.refusals) sim.failNext(w.refusalKind, w.refusals);
    if (w.stall == Stall::AtStartForAWhile) sim.holdCompletions(1);

    FirmwareImage image;
    image.assign(w.file.data(), static_cast<uint32_t>(w.file.size()));
    std::atomic<bool> over{false};
    const ULONGLONG started = GetTickCount64();
    std::vector<std::thread> faults;
    if (w.stall != Stall::None) {
        faults.emplace_back([&] {
            if (w.stall != Stall::AtStartForAWhile) {
                if (!until(over, [&] { return longCount() >= w.stallAfter; })) return;
                sim.holdCompletions(1);
                if (w.stall == Stall::MidTransferForever) return;
            }
            until(over, [&] { return GetTickCount64() - started >= static_cast<ULONGLONG>(w.stallMs); });
            sim.holdCompletions(0);
        });
    }
    if (w.shiftDuringTransfer) {
        faults.emplace_back([&] {
            if (until(over, [&] { return longCount() >= std::max<uint32_t>(1, w.shiftAfter); }))
                sim.removeDevice(firstOther);
        });
    }
    if (!w.zeph.rebindAtMs.empty()) {
        faults.emplace_back([&] {
            std::vector<int> moments = w.zeph.rebindAtMs;
            std::sort(moments.begin(), moments.end());
            for (int at : moments) {
                if (!until(over, [&] { return GetTickCount64() - started >= static_cast<ULONGLONG>(at); })) return;
                zeph.triggerRebind(0);
            }
        });
    }

    UpdaterDev* device = new UpdaterDev();
    findInstrumentPort(*device);  // the check flow's look: it must neither hang nor crash
    Silent progress;
    ProtocolTiming timing;
    timing.startPauseMs = pace.startPauseMs;
    timing.searchPauseMs = pace.searchPauseMs;
    timing.searchTries = pace.searchTries;
    timing.refusedRetryMs = pace.refusedRetryMs;
    MIDI::Output* port = rvoVirize(image, *device, progress, nullptr, &out.result, timing);
    out.atReturn = longMessages();
    out.portReturned = port != nullptr;
    over.store(true);
    for (std::thread& t : faults) t.join();
    if (port) port->release();
    out.longAfterRelease = longCount();
    delete device;
    out.ms = GetTickCount64() - started;
    sim.holdCompletions(0);

    for (int i = 0; i < zeph.writeCount(); ++i) {
        Bytes bytes(64);
        const int n = zeph.writeAt(i, bytes.data(), static_cast<int>(bytes.size()));
        bytes.resize(n > 0 ? static_cast<size_t>(std::min(n, 64)) : 0);
        out.zephWrites.push_back(bytes);
    }
    out.zephViolations = zeph.violationCount();
    if (out.zephViolations) {
        char text[1024] = {};
        zeph.violations(text, sizeof text);
        out.zephViolationText = text;
    }
    return out;
}

// The invariants of every world, from the program's promises.
std::vector<std::string> judge(const World& w, const Outcome& o, const Pace& pace) {
    std::vector<std::string> bad;
    auto fail = [&](const std::string& text) { bad.push_back(text); };
    if (!w.allowed.count(o.result)) fail("result " + std::to_string(o.result) + " is not one this world may give");
    if ((o.result == 1) == o.portReturned) fail("result " + std::to_string(o.result) + " and a port returned disagree");
    for (size_t i = 0; i < o.atReturn.size(); ++i) {
        const Sent& s = o.atReturn[i];
        const std::string which = "message " + std::to_string(i);
        if (s.record.deviceId != o.instrument) {
            fail(which + " went to \"" + s.record.deviceName + "\", not the instrument");
            continue;
        }
        if (i >= w.fitting) {
            fail(which + " is more than the file's sendable messages");
            break;
        }
        if (s.record.length != w.messages[i].size()) {
            fail(which + " has " + std::to_string(s.record.length) + " bytes, the file's " +
                 std::to_string(w.messages[i].size()));
        } else if (s.record.outcome == SimWinmmOutcomePlayed && s.bytes != w.messages[i]) {
            fail(which + " arrived with other bytes than the file's");
        }
    }
    if (o.result == 0) {
        if (o.atReturn.size() != w.messages.size())
            fail("completed with " + std::to_string(o.atReturn.size()) + " of " + std::to_string(w.messages.size()) +
                 " messages handed over");
        for (size_t i = 0; i < o.atReturn.size(); ++i)
            if (o.atReturn[i].record.outcome != SimWinmmOutcomePlayed) {
                fail("completed while message " + std::to_string(i) + " had not arrived");
                break;
            }
    }
    if (o.longAfterRelease != o.atReturn.size())
        fail(std::to_string(o.longAfterRelease - o.atReturn.size()) + " messages sent after the transfer stopped");
    const Bytes start(w.file.begin(), w.file.begin() + (w.hasStart ? 15 : 0));
    const bool usable = !w.zeph.absent && w.zeph.version == 1 && !w.zeph.createNull && !w.zeph.noDevice;
    for (const Bytes& write : o.zephWrites) {
        const bool statusRequest = write.size() == 14 && write[5] == 0x01;
        if (w.hasStart && write == start) {
            if (!usable) fail("the start message went to a library that is not usable");
        } else if (!statusRequest) {
            fail("the library was sent " + std::to_string(write.size()) + " bytes that are no start message");
        }
    }
    if (o.zephViolations) fail("the library saw misuse: " + o.zephViolationText);
    if (o.ms > boundMs(w, pace)) fail("took " + std::to_string(o.ms) + " ms, over its bound");
    return bad;
}

int usage() {
    std::fprintf(stderr, "usage: chaos_worlds [--worlds N] [--seed S] [--verbose]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t seed = 1;
    uint64_t worlds = 200;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        char* end = nullptr;
        if ((arg == "--worlds" || arg == "--seed") && i + 1 < argc) {
            const uint64_t value = std::strtoull(argv[++i], &end, 10);
            if (!*argv[i] || *end) return usage();
            (arg == "--worlds" ? worlds : seed) = value;
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            return usage();
        }
    }
    // The program's own texts on standard output would bury the report.
    std::freopen("NUL", "w", stdout);
    SetUnhandledExceptionFilter(onCrash);
    std::set_terminate([] {
        onCrash(nullptr);
        std::abort();
    });
    if (!winmm().module || !sim.load(winmm().module)) {
        std::fprintf(stderr, "chaos_worlds: the loaded winmm.dll is not the stand-in (WINEDLLOVERRIDES=winmm=n,b?)\n");
        return 2;
    }
    HMODULE library = LoadLibraryExA(kSimZeph, nullptr, 0);
    if (!library) {
        std::fprintf(stderr, "chaos_worlds: the simulated Zeph library is not installed at %s\n", kSimZeph);
        return 2;
    }
    zeph.reset = reinterpret_cast<SimZephResetFn>(GetProcAddress(library, "SimZeph_Reset"));
    zeph.writeCount = reinterpret_cast<SimZephWriteCountFn>(GetProcAddress(library, "SimZeph_WriteCount"));
    zeph.writeAt = reinterpret_cast<SimZephWriteAtFn>(GetProcAddress(library, "SimZeph_WriteAt"));
    zeph.triggerRebind = reinterpret_cast<SimZephTriggerRebindFn>(GetProcAddress(library, "SimZeph_TriggerRebind"));
    zeph.violationCount = reinterpret_cast<SimZephViolationCountFn>(GetProcAddress(library, "SimZeph_ViolationCount"));
    zeph.violations = reinterpret_cast<SimZephViolationsFn>(GetProcAddress(library, "SimZeph_Violations"));
    std::thread(watchdog).detach();

    const Pace pace;
    std::map<std::string, int> faults;
    std::map<int, int> codes;
    int violated = 0;
    const auto wall = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < worlds; ++i) {
        const World w = makeWorld(seed + i, pace);
        if (verbose || worlds == 1) std::fprintf(stderr, "chaos: world %llu: %s\n", static_cast<unsigned long long>(w.seed), w.describe().c_str());
        g_seed.store(w.seed);
        g_deadline.store(GetTickCount64() + boundMs(w, pace));
        const Outcome o = runWorld(w, pace);
        g_deadline.store(0);
        for (const std::string& name : w.faultNames()) ++faults[name];
        ++codes[o.result];
        const std::vector<std::string> bad = judge(w, o, pace);
        if (verbose) std::fprintf(stderr, "chaos: world %llu: result %d in %llu ms\n", static_cast<unsigned long long>(w.seed), o.result, static_cast<unsigned long long>(o.ms));
        if (bad.empty()) continue;
        ++violated;
        std::fprintf(stderr, "chaos: world %llu violated (result %d): %s\n", static_cast<unsigned long long>(w.seed),
                     o.result, w.describe().c_str());
        for (const std::string& text : bad) std::fprintf(stderr, "  %s\n", text.c_str());
        replayLine(w.seed);
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kZephKey);
    const long long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - wall).count();
    std::fprintf(stderr, "chaos: %s in process: %llu worlds from seed %llu in %lld s: %d violated; results", kArch,
                 static_cast<unsigned long long>(worlds), static_cast<unsigned long long>(seed), seconds, violated);
    for (const auto& c : codes) std::fprintf(stderr, " %d:%d", c.first, c.second);
    std::fprintf(stderr, "\n");
    for (const auto& f : faults) std::fprintf(stderr, "chaos:   %6d  %s\n", f.second, f.first.c_str());
    return violated ? 1 : 0;
}
