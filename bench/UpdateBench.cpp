#include "bench/UpdateBench.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchStats.h"
#include "midi/WinMM.h"
#include "sim/winmm/SimWinmmControl.h"
#include "tests/e2e/rig/Launcher.h"
#include "tests/e2e/rig/UiDriver.h"

namespace {

const uint32_t kMessages = 13000;
const uint32_t kMessageBytes = 44;
// The protocol's fixed pauses: 5 s after the start message, 1 s before the search that
// finds the instrument (it reappears 1 s after the start message).
const double kPausesS = 6.0;
const char kConfirmCaption[] = "Lumetra Update";
const char kResultCaption[] = "Lumetra Firmware Check";
const char kZephKey[] = "Software\\Veltro\\Zeph";
// Where the fixture installs the simulated Zeph library (syswow64 to an x86 program).
const char kSimZephPath[] = "C:\\windows\\system32\\carrowick_simzeph.dll";

std::string tempFolder() {
    char path[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, path);
    return std::string(path) + "carrowick-bench-" + std::to_string(GetCurrentProcessId()) + "\\";
}

bool writeFirmware(const std::string& path) {
    std::vector<uint8_t> bytes = {0xF0, 0x00, 0x7A, 0x51, 0x01, 0x71, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7};
    for (uint32_t m = 0; m < kMessages; ++m) {
        const uint8_t head[] = {0xF0, 0x00, 0x7A, 0x51};
        bytes.insert(bytes.end(), head, head + sizeof head);
        for (uint32_t i = 0; i < kMessageBytes - 5; ++i) bytes.push_back(static_cast<uint8_t>((m * 3 + i) & 0x7F));
        bytes.push_back(0xF7);
    }
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

bool fileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct Memory {
    double workingSetMiB = 0;
    double peakMiB = 0;
};

bool readMemory(DWORD processId, Memory& memory) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (!process) return false;
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    const bool ok = GetProcessMemoryInfo(process, &counters, sizeof counters) != FALSE;
    CloseHandle(process);
    memory.workingSetMiB = static_cast<double>(counters.WorkingSetSize) / (1024.0 * 1024.0);
    memory.peakMiB = static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
    return ok;
}

int fail(const char* what) {
    std::fprintf(stderr, "carrowick_bench update: %s\n", what);
    return 1;
}

// Leads the program to the simulated Zeph library for the run and removes the value after.
class ZephKey {
public:
    ZephKey() {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kZephKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            ok = RegSetValueExA(key, "Location", 0, REG_SZ, reinterpret_cast<const BYTE*>(kSimZephPath),
                                sizeof kSimZephPath) == ERROR_SUCCESS;
            RegCloseKey(key);
        }
    }
    ~ZephKey() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kZephKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, "Location");
            RegCloseKey(key);
        }
    }
    bool ok = false;
};

}  // namespace

int benchUpdate(const char* program) {
    SimWinmmControl sim;
    if (!winmm().module || !sim.load(winmm().module)) return fail("the simulated winmm.dll is not loaded");
    sim.reset();  // the instrument shows up as a WinMM output only after the start message

    const std::string folder = tempFolder();
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string firmware = folder + "firmware.syx";
    const std::string capture = folder + "zeph-capture.txt";
    DeleteFileA(capture.c_str());
    if (!writeFirmware(firmware)) return fail("cannot write the firmware file");
    ZephKey zeph;
    if (!zeph.ok) return fail("cannot write the Zeph registry value");

    LaunchOptions options;
    options.commandLine = "\"" + windowsPathOf(program) + "\" " + firmware;
    options.environment = {"CARROWICK_SIMZEPH_CAPTURE=" + capture, "CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=1000"};
    Launcher launcher(options);
    if (!launcher.start()) return fail("the program did not start");
    UiDriver ui(launcher.processId());

    HWND confirm = ui.waitForWindow(kConfirmCaption, 15000);
    if (!confirm) {
        for (const std::string& window : UiDriver(0).visibleWindows()) std::fprintf(stderr, "window: %s\n", window.c_str());
        if (launcher.exited()) std::fprintf(stderr, "the program ended with %d\n", launcher.exitCode());
        std::fprintf(stderr, "%s\n", launcher.debugText().c_str());
        return fail("no confirmation box");
    }
    // Idle: the program has loaded everything it needs and waits for the user.
    Sleep(300);
    Memory idle;
    if (!readMemory(launcher.processId(), idle)) return fail("cannot read the idle program's memory");
    UiDriver::press(confirm, IDYES);

    // The start message reaches the simulated library, which records it in its capture file;
    // polling every millisecond places it within about 1 ms.
    uint64_t started = 0;
    HWND result = nullptr;
    double highestWorkingSetMiB = idle.workingSetMiB;
    const DWORD deadline = GetTickCount() + 120000;
    uint32_t polls = 0;
    while (!result && static_cast<LONG>(deadline - GetTickCount()) > 0 && !launcher.exited()) {
        if (!started && fileExists(capture)) started = bench::qpcNow();
        if (started && ++polls % 20 == 0) {
            result = ui.findWindow(kResultCaption);
            Memory now;
            if (readMemory(launcher.processId(), now) && now.workingSetMiB > highestWorkingSetMiB)
                highestWorkingSetMiB = now.workingSetMiB;
        }
        if (!result) Sleep(1);
    }
    const uint64_t finished = bench::qpcNow();
    if (!started) return fail("the start message never reached the instrument");
    if (!result) return fail("no result box");
    const std::string text = UiDriver::messageBoxText(result);
    Memory end;
    const bool endRead = readMemory(launcher.processId(), end);
    UiDriver::press(result, IDOK);
    if (!launcher.waitForExit(15000)) return fail("the program did not end");
    if (launcher.exitCode() != 0) return fail(("the update failed: " + text).c_str());
    // The data messages, then the reset of the port's close.
    if (sim.sentCount() != kMessages + 1) return fail("the instrument did not receive every data message");
    if (!endRead) return fail("cannot read the program's memory at the end");

    const double wallS = bench::qpcMicroseconds(finished - started) / 1e6;
    // The data messages as the simulated WinMM took them: the transfer loop of the real program.
    SimWinmmSent first = {}, last = {};
    sim.getSent(0, &first, nullptr, 0);
    sim.getSent(kMessages - 1, &last, nullptr, 0);
    bench::report("update_transfer_s", bench::qpcMicroseconds(last.acceptedQpc - first.acceptedQpc) / 1e6);
    // The peak counter covers the whole life of the process; it speaks for the update only
    // when it rose after the idle reading, otherwise the sampled working set does.
    const double peakMiB = end.peakMiB > idle.peakMiB ? end.peakMiB : highestWorkingSetMiB;
    bench::report("update_wall_s", wallS);
    bench::report("update_beyond_pauses_s", wallS - kPausesS);
    bench::report("idle_working_set_mib", idle.workingSetMiB);
    bench::report("idle_peak_working_set_mib", idle.peakMiB);
    bench::report("update_peak_working_set_mib", peakMiB);
    bench::report("update_growth_mib", peakMiB - idle.workingSetMiB);
    bench::report("firmware_mib", static_cast<double>(15 + kMessages * kMessageBytes) / (1024.0 * 1024.0));

    DeleteFileA(capture.c_str());
    DeleteFileA(firmware.c_str());
    RemoveDirectoryA(folder.c_str());
    return 0;
}
