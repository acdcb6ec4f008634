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

const uint32_t kMessageBytes = 44;
// The protocol's fixed pauses: 5 s after the start message, 1 s before the search that
// finds the instrument.
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

bool writeFirmware(const std::string& path, uint32_t messages) {
    std::vector<uint8_t> bytes = {0xF0, 0x00, 0x7A, 0x51, 0x01, 0x71, 0x00, 0x00,
                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF7};
    for (uint32_t m = 0; m < messages; ++m) {
        const uint8_t head[] = {0xF0, 0x00, 0x7A, 0x51};
        bytes.insert(bytes.end(), head, head + sizeof head);
        for (uint32_t i = 0; i < kMessageBytes - 5; ++i) bytes.push_back(static_cast<uint8_t>((m * 3 + i) & 0x7F));
        bytes.push_back(0xF7);
    }
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

// The simulated library writes each message it takes to its capture file as a line that
// starts with the tick count of the write; false until the start message is there.
bool startMessageTick(const std::string& capture, DWORD& tick) {
    std::ifstream file(capture);
    std::string line;
    while (std::getline(file, line)) {
        if (line.find(" f0 00 7a 51 01 71") == std::string::npos) continue;
        tick = static_cast<DWORD>(std::stoul(line));
        return true;
    }
    return false;
}

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

double seconds(uint64_t from, uint64_t to) { return bench::qpcMicroseconds(to - from) / 1e6; }

}  // namespace

int benchUpdate(const char* program, uint32_t bytesPerSecond, uint32_t messages) {
    SimWinmmControl sim;
    if (!winmm().module || !sim.load(winmm().module)) return fail("the simulated winmm.dll is not loaded");
    // The instrument's port is there from the start, at the speed of its link; the
    // simulated library only takes the start message.
    sim.reset();
    const uint32_t port = sim.addDevice(0, "Lumetra");
    if (!port || !sim.setWireSpeed(port, bytesPerSecond)) return fail("cannot set up the instrument's port");

    const std::string folder = tempFolder();
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string firmware = folder + "firmware.syx";
    const std::string capture = folder + "zeph-capture.txt";
    DeleteFileA(capture.c_str());
    if (!writeFirmware(firmware, messages)) return fail("cannot write the firmware file");
    ZephKey zeph;
    if (!zeph.ok) return fail("cannot write the Zeph registry value");

    LaunchOptions options;
    options.commandLine = "\"" + windowsPathOf(program) + "\" " + firmware;
    options.environment = {"CARROWICK_SIMZEPH_CAPTURE=" + capture, "CARROWICK_SIMZEPH_LUMETRA_DELAY_MS=-1"};
    Launcher launcher(options);
    const uint64_t launched = bench::qpcNow();
    if (!launcher.start()) return fail("the program did not start");
    UiDriver ui(launcher.processId());

    HWND confirm = ui.waitForWindow(kConfirmCaption, 15000);
    const uint64_t confirmShown = bench::qpcNow();
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
    const uint64_t yes = bench::qpcNow();
    UiDriver::press(confirm, IDYES);

    uint64_t started = 0;
    HWND result = nullptr;
    double highestWorkingSetMiB = idle.workingSetMiB;
    const DWORD deadline = GetTickCount() + 300000;
    uint32_t polls = 0;
    while (!result && static_cast<LONG>(deadline - GetTickCount()) > 0 && !launcher.exited()) {
        DWORD startTick = 0;
        if (!started && startMessageTick(capture, startTick)) {
            // Back to the moment of the write, on the counter every other figure uses.
            started = bench::qpcNow() - static_cast<uint64_t>((GetTickCount() - startTick) * bench::qpcPerMs());
        }
        // Every look and every wake-up is a request to the Wine server the program's sends
        // also wait on: look every 20 ms, by the box's class, and sleep in between.
        if (started && ++polls % 2 == 0) {
            result = ui.findWindow(kResultCaption, "#32770");
            Memory now;
            if (readMemory(launcher.processId(), now) && now.workingSetMiB > highestWorkingSetMiB)
                highestWorkingSetMiB = now.workingSetMiB;
        }
        if (!result) Sleep(10);
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
    if (sim.sentCount() != messages + 1) return fail("the instrument did not receive every data message");
    if (!endRead) return fail("cannot read the program's memory at the end");

    // The link's side: from the first data message handed over to the last completion, and
    // between each completion and the next message handed over (the wire stands idle).
    std::vector<SimWinmmSent> sent(messages);
    std::vector<double> gaps;
    gaps.reserve(messages);
    for (uint32_t i = 0; i < messages; ++i) {
        sim.getSent(i, &sent[i], nullptr, 0);
        if (i > 0) {
            const SimWinmmSent& before = sent[i - 1];
            gaps.push_back(sent[i].acceptedQpc > before.completedQpc
                               ? bench::qpcMicroseconds(sent[i].acceptedQpc - before.completedQpc)
                               : 0);
        }
    }
    const uint64_t firstHanded = sent.front().acceptedQpc;
    const uint64_t lastDone = sent.back().completedQpc;
    if (!lastDone || lastDone < firstHanded) return fail("the last data message never completed");
    const double wireS = static_cast<double>(messages) * kMessageBytes / bytesPerSecond;
    const double linkS = seconds(firstHanded, lastDone);
    const double wallS = seconds(started, finished);

    const std::string rate = "_" + std::to_string(bytesPerSecond);
    const auto report = [&](const char* key, double value) { bench::report((key + rate).c_str(), value); };
    report("messages", messages);
    report("wire_s", wireS);
    report("link_s", linkS);
    report("link_utilisation", wireS / linkS);
    report("link_gap_median_us", bench::percentile(gaps, 0.5));
    report("link_gap_p99_us", bench::percentile(gaps, 0.99));
    // The fixed part, each piece on its own.
    report("launch_to_confirm_s", seconds(launched, confirmShown));
    report("yes_to_start_s", seconds(yes, started));
    report("start_to_first_data_s", seconds(started, firstHanded));
    report("last_done_to_result_s", seconds(lastDone, finished));
    // The whole update as the user waits for it, and what of it is neither link nor pauses.
    report("update_wall_s", wallS);
    report("update_beyond_wire_and_pauses_s", wallS - wireS - kPausesS);
    // The peak counter covers the whole life of the process; it speaks for the update only
    // when it rose after the idle reading, otherwise the sampled working set does.
    const double peakMiB = end.peakMiB > idle.peakMiB ? end.peakMiB : highestWorkingSetMiB;
    report("idle_working_set_mib", idle.workingSetMiB);
    report("update_peak_working_set_mib", peakMiB);
    report("update_growth_mib", peakMiB - idle.workingSetMiB);
    report("firmware_mib", static_cast<double>(15 + messages * kMessageBytes) / (1024.0 * 1024.0));

    DeleteFileA(capture.c_str());
    DeleteFileA(firmware.c_str());
    RemoveDirectoryA(folder.c_str());
    return 0;
}
