// Windows-side benchmarks, run under Wine with the simulated WinMM:
//   carrowick_bench transfer   the update's transfer loop and the gap between messages
//   carrowick_bench ports      port counting and the instrument search on the simulated driver
//   carrowick_bench update     whole updates of the real program against the simulated Lumetra,
//                              its port at the speed of a MIDI cable and of USB MIDI
// Each prints "figure <key> <value>" lines; scripts/bench holds them against the budgets.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/App.h"
#include "app/Progress.h"
#include "bench/BenchStats.h"
#include "bench/UpdateBench.h"
#include "device/FirmwareImage.h"
#include "device/UpdateProtocol.h"
#include "device/UpdaterDev.h"
#include "devices/DeviceMatching.h"
#include "devices/USBDeviceManager.h"
#include "devices/UsbIds.h"
#include "ks/KsWin.h"
#include "midi/MidiPorts.h"
#include "midi/VeltroDeviceList.h"
#include "midi/WinMM.h"
#include "sim/ksdriver/SimKsDriver.h"
#include "sim/winmm/SimWinmmControl.h"

namespace {

const uint32_t kMessages = 13000;
const uint32_t kMessageBytes = 44;

bool loadSimWinmm(SimWinmmControl& control) {
    if (!winmm().module || !control.load(winmm().module)) {
        std::fprintf(stderr, "carrowick_bench: the simulated winmm.dll is not loaded (WINEDLLOVERRIDES=winmm=n,b)\n");
        return false;
    }
    return true;
}

// The progress dialog's template comes from the program's resources.
bool loadDialogModule() {
    g_dialogInstance = LoadLibraryExA(CARROWICK_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!g_dialogInstance) std::fprintf(stderr, "carrowick_bench: cannot read the resources of %s\n", CARROWICK_EXE);
    return g_dialogInstance != nullptr;
}

// ---- transfer ----

// CPU time of the calling thread (user and kernel), in microseconds.
double threadCpuUs() {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
    const auto us = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10.0;
    };
    return us(kernel) + us(user);
}

// Notes when each position was reported, and the worker's CPU time from the first data
// message to the last; forwards to the live dialog when there is one.
class TimedSink : public ProgressSink {
public:
    TimedSink(Progress* forward, std::vector<uint64_t>& stamps) : forward_(forward), stamps_(stamps) {}
    long setProgress(uint32_t position, uint32_t total, uint32_t, uint32_t) override {
        if (position < stamps_.size()) stamps_[position] = bench::qpcNow();
        if (position == 1) cpuFirstUs = threadCpuUs();
        if (position + 1 == stamps_.size()) cpuLastUs = threadCpuUs();
        return forward_ ? forward_->setProgress(position, total, 0, 0) : 0;
    }

    double cpuFirstUs = 0;
    double cpuLastUs = 0;

private:
    Progress* forward_;
    std::vector<uint64_t>& stamps_;
};

struct TransferFigures {
    double perMessageUs = 0;
    double cpuPerMessageUs = 0;  // the worker's own CPU time; waits for WinMM left out
    double gapMedianUs = 0;
    double gapP99Us = 0;
    bool complete = false;
};

struct TransferJob {
    SimWinmmControl* control = nullptr;
    Progress* progress = nullptr;
    DWORD mainThread = 0;
    std::vector<uint8_t> firmware;
    TransferFigures bare;          // progress reports go nowhere
    TransferFigures withProgress;  // every report reaches the dialog
    double progressCallUs = 0;     // one setProgress into the dialog, alone
};

std::vector<uint8_t> dataMessages(uint32_t count) {
    std::vector<uint8_t> bytes;
    bytes.reserve(static_cast<size_t>(count) * kMessageBytes);
    for (uint32_t m = 0; m < count; ++m) {
        const uint8_t head[] = {0xF0, 0x00, 0x7A, 0x51};
        bytes.insert(bytes.end(), head, head + sizeof head);
        for (uint32_t i = 0; i < kMessageBytes - 5; ++i) bytes.push_back(static_cast<uint8_t>((m * 7 + i) & 0x7F));
        bytes.push_back(0xF7);
    }
    return bytes;
}

// One run of the protocol with its pauses cut to nothing, against a WinMM port that
// completes every message at once.
TransferFigures runTransfer(TransferJob& job, Progress* forward) {
    SimWinmmControl& sim = *job.control;
    sim.reset();
    // A new device plays at USB MIDI speed; this one is asked to play every message at once.
    if (!sim.setWireSpeed(sim.addDevice(0, kInstrumentName), 0)) return TransferFigures();

    FirmwareImage image;
    image.assign(job.firmware.data(), static_cast<uint32_t>(job.firmware.size()));
    UpdaterDev device;
    std::vector<uint64_t> stamps(kMessages + 1, 0);
    TimedSink sink(forward, stamps);
    ProtocolTiming timing;
    timing.startPauseMs = 0;
    timing.searchPauseMs = 0;
    timing.searchTries = 1;
    int32_t result = -1;
    MIDI::Output* port = rvoVirize(image, device, sink, nullptr, &result, timing);
    const uint32_t accepted = sim.sentCount();  // releasing the port adds its reset
    if (port) port->release();

    TransferFigures figures;
    figures.complete = port && result == kUpdateCompleted && accepted == kMessages;
    if (!figures.complete) return figures;
    figures.perMessageUs = bench::qpcMicroseconds(stamps[kMessages] - stamps[1]) / (kMessages - 1);
    figures.cpuPerMessageUs = (sink.cpuLastUs - sink.cpuFirstUs) / (kMessages - 1);

    std::vector<double> gaps;
    gaps.reserve(kMessages);
    SimWinmmSent previous = {};
    for (uint32_t i = 0; i < kMessages; ++i) {
        SimWinmmSent record = {};
        sim.getSent(i, &record, nullptr, 0);
        if (i > 0 && previous.completedQpc && record.acceptedQpc >= previous.completedQpc)
            gaps.push_back(bench::qpcMicroseconds(record.acceptedQpc - previous.completedQpc));
        previous = record;
    }
    figures.gapMedianUs = bench::percentile(gaps, 0.5);
    figures.gapP99Us = bench::percentile(gaps, 0.99);
    return figures;
}

// One setProgress into the dialog, alone: a cross-thread telling of the bar at most once a frame.
double progressCallUs(Progress& progress) {
    const uint64_t start = bench::qpcNow();
    for (uint32_t i = 1; i <= kMessages; ++i) progress.setProgress(i, kMessages, 0, 0);
    return bench::qpcMicroseconds(bench::qpcNow() - start) / kMessages;
}

DWORD WINAPI transferWorker(LPVOID parameter) {
    TransferJob& job = *static_cast<TransferJob*>(parameter);
    runTransfer(job, nullptr);  // warms caches, the heap and Wine's code paths
    job.bare = runTransfer(job, nullptr);
    job.withProgress = runTransfer(job, job.progress);
    job.progressCallUs = progressCallUs(*job.progress);
    PostThreadMessageA(job.mainThread, WM_QUIT, 0, 0);
    return 0;
}

// As in the program: the dialog lives on the thread that serves the message loop, and the
// worker's reports wait for it.
bool runWithDialog(TransferJob& job) {
    job.progress = new Progress();
    job.mainThread = GetCurrentThreadId();
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before the worker posts
    HANDLE worker = CreateThread(nullptr, 0, transferWorker, &job, 0, nullptr);
    if (!worker) return false;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(job.progress->dialog(), &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    DestroyWindow(job.progress->dialog());
    return true;
}

int benchTransfer() {
    SimWinmmControl sim;
    if (!loadSimWinmm(sim) || !loadDialogModule()) return 2;
    TransferJob job;
    job.control = &sim;
    job.firmware = dataMessages(kMessages);
    if (!runWithDialog(job)) return 2;

    if (!job.bare.complete || !job.withProgress.complete) {
        std::fprintf(stderr, "carrowick_bench: a transfer did not complete\n");
        return 1;
    }
    bench::report("transfer_us", job.bare.perMessageUs);
    bench::report("transfer_msgs_per_s", 1e6 / job.bare.perMessageUs);
    bench::report("transfer_cpu_us", job.bare.cpuPerMessageUs);
    bench::report("gap_median_us", job.bare.gapMedianUs);
    bench::report("gap_p99_us", job.bare.gapP99Us);
    bench::report("transfer_progress_us", job.withProgress.perMessageUs);
    bench::report("transfer_progress_msgs_per_s", 1e6 / job.withProgress.perMessageUs);
    bench::report("transfer_progress_cpu_us", job.withProgress.cpuPerMessageUs);
    bench::report("gap_progress_median_us", job.withProgress.gapMedianUs);
    bench::report("gap_progress_p99_us", job.withProgress.gapP99Us);
    bench::report("progress_call_us", job.progressCallUs);
    return 0;
}

// ---- ports ----

std::string usbPath(uint16_t productId, int instance) {
    return "\\\\?\\usb#" + usbIdentityText(usbids::kVendor, productId) + "#bench" + std::to_string(instance) +
           "#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\midi";
}

template <typename Action>
double medianMs(int repeats, Action action) {
    std::vector<double> samples;
    for (int i = 0; i < repeats; ++i) {
        const uint64_t start = bench::qpcNow();
        action();
        samples.push_back(bench::qpcMicroseconds(bench::qpcNow() - start) / 1000.0);
    }
    return bench::percentile(samples, 0.5);
}

int benchPorts() {
    SimWinmmControl sim;
    if (!loadSimWinmm(sim)) return 2;
    sim.reset();
    // A WinMM output that is not the instrument: the search must look at every port.
    sim.addDevice(0, "Microsoft GS Wavetable Synth");
    UpdaterDev device;
    const uint16_t models[] = {usbids::kStroma25, usbids::kXrMkII, usbids::kQuarvel, usbids::kDusker};
    for (int devices : {1, 8, 32}) {
        simks::SimKsDriver driver;
        for (int i = 0; i < devices; ++i) {
            simks::SimDevice& d = driver.addDevice(usbPath(models[i % 4], i));
            d.addHiddenMidiPin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK);
            d.addHiddenMidiPin(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK);
        }
        USBDeviceManager* manager = new USBDeviceManager("");
        setDeviceManager(manager);
        uint32_t ports = 0;
        const int requestsBefore = driver.propertyRequests();
        manager->getPortCount();
        const int requests = driver.propertyRequests() - requestsBefore;
        const double countMs = medianMs(9, [&] { ports = manager->getPortCount(); });
        bool found = true;
        // One search's requests to the driver: what each costs under Wine is the figure that
        // follows the load (one wineserver call per request).
        const int findRequestsBefore = driver.propertyRequests();
        findInstrumentPort(device);
        const int findRequests = driver.propertyRequests() - findRequestsBefore;
        const double findMs = medianMs(9, [&] { found = findInstrumentPort(device); });
        setDeviceManager(nullptr);
        delete manager;
        if (ports < static_cast<uint32_t>(devices) || found) {
            std::fprintf(stderr, "carrowick_bench: %d devices gave %u ports, instrument %s\n", devices, ports,
                         found ? "found" : "not found");
            return 1;
        }
        const std::string suffix = std::to_string(devices);
        bench::report(("port_count_ms_" + suffix).c_str(), countMs);
        bench::report(("find_instrument_ms_" + suffix).c_str(), findMs);
        bench::report(("ports_" + suffix).c_str(), ports);
        bench::report(("requests_per_enumeration_" + suffix).c_str(), requests);
        bench::report(("find_requests_" + suffix).c_str(), findRequests);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "transfer") return benchTransfer();
    if (mode == "ports") return benchPorts();
    if (mode == "update") {
        // A MIDI cable, then a USB MIDI link at full speed with a whole firmware.
        const int cable = benchUpdate(CARROWICK_EXE, 3125, 300);
        return cable != 0 ? cable : benchUpdate(CARROWICK_EXE, 48000, kMessages);
    }
    std::fprintf(stderr, "usage: carrowick_bench transfer|ports|update\n");
    return 2;
}
