// The in-process loop: each world runs the check flow's search and the update protocol
// against the simulated WinMM and Zeph library, in this process, with the pauses
// shortened. The oracle then reads what the stand-ins captured.
//
// The update runs as the worker runs it, behind its last barrier, with the program's device
// manager over the simulated hidden driver. A world may fail one allocation of the update:
// this exe replaces the global allocator for that.
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
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "app/App.h"
#include "app/UpdateWorker.h"
#include "device/FirmwareImage.h"
#include "device/UpdateProtocol.h"
#include "device/UpdaterDev.h"
#include "devices/USBDeviceManager.h"
#include "ks/KsOsApi.h"
#include "midi/MidiPorts.h"
#include "midi/WinMM.h"
#include "sim/ksdriver/SimKsDriver.h"
#include "sim/winmm/SimWinmmControl.h"
#include "sim/zeph/SimZephControl.h"
#include "support/Diagnostics.h"
#include "tests/chaos/Oracle.h"
#include "tests/chaos/World.h"
#include "tests/devices/HiddenDevices.h"

using namespace chaos;

namespace {

// The one allocation that fails: the nth one of the armed thread after arming.
std::atomic<DWORD> g_failingThread{0};
std::atomic<uint32_t> g_allocationsLeft{0};
std::atomic<bool> g_allocationFailed{false};
// Inside the hidden driver's stand-in, which stands for the system: a system call never
// throws, so its allocations are neither failed nor counted.
thread_local int g_inSystem = 0;

void armAllocationFailure(uint32_t nth) {
    g_allocationsLeft.store(nth);
    g_allocationFailed.store(false);
    g_failingThread.store(nth ? GetCurrentThreadId() : 0);
}

}  // namespace

void* operator new(std::size_t size) {
    if (g_failingThread.load(std::memory_order_relaxed) == GetCurrentThreadId() && g_inSystem == 0 &&
        --g_allocationsLeft == 0) {
        g_failingThread.store(0);
        g_allocationFailed.store(true);
        throw std::bad_alloc();
    }
    if (void* block = HeapAlloc(GetProcessHeap(), 0, size ? size : 1)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    if (block) HeapFree(GetProcessHeap(), 0, block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

namespace {

typedef DWORD(WINAPI* KsCreatePinFn)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

// The stand-in's OS table, each call marked as a system call (see g_inSystem).
KsOsApi g_system;
KsCreatePinFn g_systemCreatePin = nullptr;

template <typename Fn, Fn KsOsApi::*Member>
struct SystemCall;
template <typename R, typename... A, R(WINAPI* KsOsApi::*Member)(A...)>
struct SystemCall<R(WINAPI*)(A...), Member> {
    static R WINAPI call(A... args) {
        ++g_inSystem;
        const R result = (g_system.*Member)(args...);
        --g_inSystem;
        return result;
    }
};

DWORD WINAPI systemCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
    ++g_inSystem;
    const DWORD result = g_systemCreatePin(filter, connect, access, pin);
    --g_inSystem;
    return result;
}

FARPROC WINAPI systemGetProcAddress(HMODULE module, LPCSTR name) {
    ++g_inSystem;
    FARPROC found = g_system.GetProcAddress(module, name);
    --g_inSystem;
    if (found && name && std::string(name) == "KsCreatePin") {
        g_systemCreatePin = reinterpret_cast<KsCreatePinFn>(reinterpret_cast<void*>(found));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&systemCreatePin));
    }
    return found;
}

#define CARROWICK_SYSTEM_CALL(name) table.name = &SystemCall<decltype(KsOsApi::name), &KsOsApi::name>::call

// Installed over the stand-in's table for as long as the stand-in is.
const KsOsApi* systemTable() {
    static KsOsApi table;
    g_system = KsOs();
    CARROWICK_SYSTEM_CALL(SetupDiGetClassDevsA);
    CARROWICK_SYSTEM_CALL(SetupDiEnumDeviceInterfaces);
    CARROWICK_SYSTEM_CALL(SetupDiGetDeviceInterfaceDetailA);
    CARROWICK_SYSTEM_CALL(SetupDiCreateDeviceInfoList);
    CARROWICK_SYSTEM_CALL(SetupDiOpenDeviceInterfaceA);
    CARROWICK_SYSTEM_CALL(SetupDiOpenDeviceInterfaceRegKey);
    CARROWICK_SYSTEM_CALL(SetupDiGetDeviceRegistryPropertyA);
    CARROWICK_SYSTEM_CALL(SetupDiDestroyDeviceInfoList);
    CARROWICK_SYSTEM_CALL(RegOpenKeyExA);
    CARROWICK_SYSTEM_CALL(RegQueryValueExA);
    CARROWICK_SYSTEM_CALL(RegCloseKey);
    CARROWICK_SYSTEM_CALL(CreateFileA);
    CARROWICK_SYSTEM_CALL(DeviceIoControl);
    CARROWICK_SYSTEM_CALL(GetOverlappedResult);
    CARROWICK_SYSTEM_CALL(CancelIo);
    CARROWICK_SYSTEM_CALL(CancelIoEx);
    CARROWICK_SYSTEM_CALL(CloseHandle);
    CARROWICK_SYSTEM_CALL(LoadKsUser);
    table.GetProcAddress = systemGetProcAddress;
    return &table;
}
#undef CARROWICK_SYSTEM_CALL

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

// Says nothing, or throws (something that is no std::exception) when told of one message.
class Silent : public ProgressSink {
public:
    explicit Silent(uint32_t throwAt) : throwAt_(throwAt) {}
    long setProgress(uint32_t position, uint32_t, uint32_t, uint32_t) override {
        if (throwAt_ && position == throwAt_) {
            threw = true;
            throw 1;
        }
        return 0;
    }
    bool threw = false;

private:
    uint32_t throwAt_;
};

SimWinmmControl sim;
Zeph zeph;
std::atomic<uint64_t> g_seed{0};
std::atomic<ULONGLONG> g_deadline{0};

// The program's last diagnostic lines, for the report of a world that hangs. The tap may
// not allocate: the lines are copied into fixed slots.
const int kTapLines = 8;
char g_tapLines[kTapLines][160];
std::atomic<unsigned> g_tapNext{0};

void tapLine(const char* line) {
    std::snprintf(g_tapLines[g_tapNext.fetch_add(1) % kTapLines], sizeof g_tapLines[0], "%s", line);
}

void printLastLines() {
    const unsigned next = g_tapNext.load();
    for (unsigned i = next > kTapLines ? next - kTapLines : 0; i < next; ++i)
        std::fprintf(stderr, "  program: %s", g_tapLines[i % kTapLines]);
}

void replayLine(uint64_t seed) {
    std::fprintf(stderr, "chaos: replay: scripts/chaos --arch %s --seed %llu --worlds 1\n", kArch,
                 static_cast<unsigned long long>(seed));
}

// A crash or a hang ends the run with the world that caused it.
LONG WINAPI onCrash(EXCEPTION_POINTERS* info) {
    std::fprintf(stderr, "chaos: world %llu crashed (%s 0x%08lx)\n", static_cast<unsigned long long>(g_seed.load()),
                 info ? "exception" : "terminate", info ? info->ExceptionRecord->ExceptionCode : 0ul);
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
            printLastLines();
            replayLine(g_seed.load());
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
}

uint64_t qpcNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

void prepareZeph(const World& w) {
    HKEY key;
    if (w.zeph.absent) {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kZephKey);
    } else if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kZephKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
               ERROR_SUCCESS) {
        RegSetValueExA(key, "Location", 0, REG_SZ, reinterpret_cast<const BYTE*>(kSimZeph), sizeof kSimZeph);
        RegCloseKey(key);
    }
    for (const auto& setting : zephSettings(w)) _putenv((setting.first + "=" + setting.second).c_str());
    zeph.reset();
}

// The maker's devices on the hidden driver, alternately a two-port and a one-port model.
std::vector<simks::SimDevice*> stageHidden(const HiddenFaults& h, simks::SimKsDriver& driver) {
    std::vector<simks::SimDevice*> devices;
    driver.setPendProperties(h.answerMs > 0, h.answerMs);
    if (h.cancelsKept) driver.setCancelDelay(10 * 60 * 1000);
    for (int i = 0; i < h.devices; ++i) {
        const bool stroma = i % 2 == 0;
        const int ports = stroma ? 2 : 1;
        simks::SimDevice& device = devtest::AddHiddenDevice(
            driver, devtest::UsbPath(stroma ? usbids::kStroma25 : usbids::kXrMkII, "chaos" + std::to_string(i)), ports,
            ports);
        for (size_t pin = 0; pin < device.pinCount() && h.writesRefused; ++pin)
            device.pin(pin).setWriteMode(simks::WriteMode::Refuse);
        devices.push_back(&device);
    }
    if (h.hangOnce && !devices.empty()) {
        simks::PropertyFault hang;
        hang.kind = simks::PropertyFault::Hang;
        hang.hangs = 1;
        devices.front()->pin(0).fault(KSPROPERTY_PIN_DATARANGES, hang);
    }
    if (!devices.empty()) {
        simks::SimPin& pin = devices.front()->pin(0);
        simks::PropertyFault fault;
        switch (h.property) {
        case HiddenProperty::Fine:
            break;
        case HiddenProperty::Refused:
            pin.refuse(KSPROPERTY_PIN_NAME, ERROR_GEN_FAILURE);
            break;
        case HiddenProperty::Oversize:
            // The reply is larger than the size its probe reported.
            fault.kind = simks::PropertyFault::Oversize;
            fault.reply.assign(300, 0x41);
            fault.probeSize = 8;
            pin.fault(KSPROPERTY_PIN_DATARANGES, fault);
            break;
        case HiddenProperty::Grows:
            fault.kind = simks::PropertyFault::Grow;
            fault.reply = {'G', 0, 'r', 0, 'o', 0, 'w', 0, 'n', 0, 0, 0};
            fault.probeSize = 4;
            pin.fault(KSPROPERTY_PIN_NAME, fault);
            break;
        }
        if (h.pinRefused) pin.setCreateError(ERROR_NO_SYSTEM_RESOURCES);
    }
    return devices;
}

std::string namesPrefix() {
    char folder[MAX_PATH] = {};
    GetTempPathA(sizeof folder, folder);
    return std::string(folder) + "carrowick-chaos-";
}

bool outputNamed(const char* name) {
    const WinMM& mm = winmm();
    for (UINT index = 0; index < mm.midiOutGetNumDevs(); ++index) {
        MIDIOUTCAPSA caps = {};
        if (mm.midiOutGetDevCapsA(index, &caps, sizeof caps) == MMSYSERR_NOERROR && std::string(caps.szPname) == name)
            return true;
    }
    return false;
}

Observed runWorld(const World& w, const Pace& pace) {
    Observed out;
    const Staged staged = stageWinmm(w, sim);
    out.instrument = staged.instrument;
    prepareZeph(w);
    std::unique_ptr<simks::SimKsDriver> driver(new simks::SimKsDriver());
    SetKsOsApi(systemTable());
    const std::vector<simks::SimDevice*> hidden = stageHidden(w.hidden, *driver);
    USBDeviceManager* manager = new USBDeviceManager(namesPrefix());
    setDeviceManager(manager);
    FirmwareImage image;
    image.assign(w.file.data(), static_cast<uint32_t>(w.file.size()));

    FaultThreads faults(w, staged, sim);
    if (!w.zeph.rebindAtMs.empty()) {
        faults.add(std::thread([&] {
            std::vector<int> moments = w.zeph.rebindAtMs;
            std::sort(moments.begin(), moments.end());
            for (int at : moments) {
                if (!faults.until([&] { return GetTickCount64() - faults.started() >= static_cast<ULONGLONG>(at); }))
                    return;
                zeph.triggerRebind(0);
            }
        }));
    }
    UpdaterDev* device = new UpdaterDev();
    findInstrumentPort(*device);  // the check flow's look: it must neither hang nor crash
    Silent progress(w.progressThrowsAt);
    ProtocolTiming timing;
    timing.startPauseMs = pace.startPauseMs;
    timing.searchPauseMs = pace.searchPauseMs;
    timing.searchTries = pace.searchTries;
    timing.refusedRetryMs = pace.refusedRetryMs;
    armAllocationFailure(w.failAllocation);
    MIDI::Output* port = guardedUpdate(image, *device, progress, manager, &out.result, timing);
    out.resultQpc = qpcNow();
    out.updateThrew = g_allocationFailed.load() || progress.threw;
    armAllocationFailure(0);
    out.atResult = longMessages(sim);
    out.portReturned = port ? 1 : 0;
    faults.stop();
    if (port) port->release();
    out.sentAfterStop = longMessages(sim).size() - out.atResult.size();
    delete device;
    setDeviceManager(nullptr);
    delete manager;
    out.ms = GetTickCount64() - faults.started();
    for (simks::SimDevice* d : hidden)
        for (size_t pin = 0; pin < d->pinCount(); ++pin) out.hiddenWrites += d->pin(pin).writes().size();
    // The library brings the second output from a thread of its own: once its start message
    // went out, that thread must be done before the next world's list is set up.
    if (w.secondArrivesNew()) {
        const ULONGLONG until = GetTickCount64() + 2000;
        while (!outputNamed(kSecondArrival) && GetTickCount64() < until) Sleep(1);
    }
    out.hiddenHandles = driver->openHandles();
    driver.reset();
    sim.holdCompletions(0);
    out.winmmHandles = static_cast<int>(sim.openHandleCount()) - static_cast<int>(staged.openHandles);

    for (int i = 0; i < zeph.writeCount(); ++i) {
        Bytes bytes(64);
        const int n = zeph.writeAt(i, bytes.data(), static_cast<int>(bytes.size()));
        bytes.resize(n > 0 ? static_cast<size_t>(std::min(n, 64)) : 0);
        out.zephWrites.push_back(bytes);
    }
    if (zeph.violationCount()) {
        char text[1024] = {};
        zeph.violations(text, sizeof text);
        out.zephViolations = text;
    }
    return out;
}

void report(const World& w, int32_t result, const std::vector<std::string>& bad) {
    std::fprintf(stderr, "chaos: world %llu violated (result %d): %s\n", static_cast<unsigned long long>(w.seed),
                 result, w.describe().c_str());
    for (size_t j = 0; j < bad.size() && j < 3; ++j) std::fprintf(stderr, "  %s\n", bad[j].c_str());
    if (bad.size() > 3) std::fprintf(stderr, "  and %zu more\n", bad.size() - 3);
    printLastLines();
    replayLine(w.seed);
}

long long secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
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
    HKEY found = nullptr;
    const bool zephKeyWasThere = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kZephKey, 0, KEY_READ, &found) == ERROR_SUCCESS;
    if (found) RegCloseKey(found);
    setDiagnosticTap(tapLine);
    std::thread(watchdog).detach();

    const Pace pace;
    std::map<std::string, int> faults;
    std::map<int, int> codes;
    int violated = 0;
    const auto wall = std::chrono::steady_clock::now();
    for (uint64_t i = 0; i < worlds; ++i) {
        const World w = makeWorld(seed + i, pace);
        g_tapNext.store(0);
        if (verbose || worlds == 1)
            std::fprintf(stderr, "chaos: world %llu: %s\n", static_cast<unsigned long long>(w.seed),
                         w.describe().c_str());
        g_seed.store(w.seed);
        g_deadline.store(GetTickCount64() + boundMs(w, pace));
        const Observed o = runWorld(w, pace);
        g_deadline.store(0);
        for (const std::string& name : w.faultNames()) ++faults[name];
        ++codes[o.result];
        const std::vector<std::string> bad = judge(w, o, boundMs(w, pace));
        if (verbose)
            std::fprintf(stderr, "chaos: world %llu: result %d in %llu ms\n", static_cast<unsigned long long>(w.seed),
                         o.result, static_cast<unsigned long long>(o.ms));
        if (!bad.empty()) {
            ++violated;
            report(w, o.result, bad);
        }
        // A long run reports as it goes, so a run cut short still has its figures.
        if ((i + 1) % 1000 == 0)
            std::fprintf(stderr, "chaos: %llu worlds, %d violated, %lld s\n", static_cast<unsigned long long>(i + 1),
                         violated, secondsSince(wall));
    }
    // The registry as found: runners side by side must not take the library from each other.
    if (zephKeyWasThere)
        prepareZeph(World());
    else
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kZephKey);
    const long long seconds = secondsSince(wall);
    std::fprintf(stderr, "chaos: %s in process: %llu worlds from seed %llu in %lld s: %d violated; results", kArch,
                 static_cast<unsigned long long>(worlds), static_cast<unsigned long long>(seed), seconds, violated);
    for (const auto& c : codes) std::fprintf(stderr, " %d:%d", c.first, c.second);
    std::fprintf(stderr, "\n");
    for (const auto& f : faults) std::fprintf(stderr, "chaos:   %6d  %s\n", f.second, f.first.c_str());
    // Every world is judged and reported. Once in several runs on a crowded machine the
    // process then never finished ending (the stand-ins' teardown, with the threads of the
    // program's last world): the loop ends itself instead of waiting for that.
    std::fflush(stderr);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), violated ? 1 : 0);
    return violated ? 1 : 0;
}
