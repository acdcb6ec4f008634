// The end-to-end loop: each world runs the real Carrowick.exe through its whole update
// under the rig, boxes answered like a user who wants the update, the stand-ins set up and
// disturbed from this process. Worlds run one after another here; scripts/chaos starts
// several of these at once, each on a simulated WinMM and Zeph capture of its own.
//
// Threads per world: this one drives the program (UpdateRun polls its boxes); fault
// threads act on the simulated WinMM until the program has ended.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tests/chaos/Oracle.h"
#include "tests/chaos/World.h"
#include "tests/common/TempFiles.h"
#include "tests/e2e/SimInstrument.h"
#include "tests/e2e/UpdateRun.h"

using namespace chaos;

namespace {

const char* const kArch = sizeof(void*) == 8 ? "x64" : "x86";
// The program's own pace: 5 s, 20 looks 1 s apart, a refusal offered again for 5 s.
const Pace kProgramPace = {5000, 1000, 20, 5000};
// Connect boxes answered with OK before Cancel: enough for an instrument that arrives.
const int kConnectOks = 5;
// Room for the boxes, the start of the program and its end after the result box.
const DWORD kProgramMarginMs = 15000;

// The world as the real program meets it: the registry value that names the library is
// shared by the worlds that run at once, rebinds at chosen moments need the library in
// this process, and the hidden driver and failed allocations need the loop's own
// stand-ins; all of them stay with the in-process loop.
World programWorld(uint64_t seed) {
    World w = makeWorld(seed, kProgramPace);
    w.zeph.absent = false;
    w.zeph.rebindAtMs.clear();
    w.hidden = HiddenFaults();
    w.failAllocation = 0;
    w.progressThrowsAt = 0;
    expect(w, kProgramPace);
    // Without the instrument's port: a library that offers the instrument lets the flow go
    // on to the search (1); without one, the user is asked until Cancel (-1).
    if (w.arrival == Arrival::Never || w.capsFail) w.allowed = {1, -1};
    return w;
}

std::vector<std::string> zephEnvironment(const World& w, const std::string& capture) {
    std::vector<std::string> environment = {"CARROWICK_SIMZEPH_CAPTURE=" + capture};
    for (const auto& setting : zephSettings(w)) environment.push_back(setting.first + "=" + setting.second);
    return environment;
}

uint64_t qpcNow() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

// The registry value that names the library, as this runner found it: runners side by side
// share it, so each puts back what it found.
struct ZephKeyState {
    bool present = false;
    std::string location;
};

ZephKeyState readZephKey() {
    ZephKeyState state;
    char location[MAX_PATH] = {};
    DWORD size = sizeof location - 1;
    state.present = RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\Veltro\\Zeph", "Location", RRF_RT_REG_SZ, nullptr,
                                 location, &size) == ERROR_SUCCESS;
    state.location = location;
    return state;
}

// The library's violations are the capture's lines that start with "!".
std::string violationsIn(const std::string& capture) {
    std::ifstream in(capture);
    std::string line, text;
    while (std::getline(in, line))
        if (!line.empty() && line[0] == '!') text += line.substr(1) + ";";
    return text;
}

// One result box saying the result; none for -1.
bool resultBoxRight(const UpdateRun& run, int32_t result) {
    const std::vector<BoxSeen> boxes = run.boxesCaptioned(kResultCaption);
    if (result == -1) return boxes.empty();
    const char* text = result == 0 ? "Lumetra firmware update completed." : "Error updating the Lumetra firmware.";
    return boxes.size() == 1 && boxes[0].text == text;
}

// The program's update logs: what it did, step by step, with times.
std::string updateLogs(const std::string& appData) {
    const std::string folder = appData + "\\Carrowick\\Logs\\";
    std::string text;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return text;
    do {
        std::ifstream in(folder + found.cFileName);
        text += std::string("\n  update log: ") +
                std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return text;
}

Observed runWorld(const World& w, SimWinmmControl& sim, std::string& failure, std::string& debugText) {
    Observed out;
    TempDir temp;
    const std::string capture = temp.file("zeph-capture.txt");
    const std::string appData = temp.file("appdata");
    CreateDirectoryA(appData.c_str(), nullptr);
    std::vector<std::string> environment = SimWinmm::programEnvironment();
    for (const std::string& entry : zephEnvironment(w, capture)) environment.push_back(entry);
    environment.push_back("LOCALAPPDATA=" + appData);

    const Staged staged = stageWinmm(w, sim);
    out.instrument = staged.instrument;
    UpdateRun run(temp.write("lumetra.syx", w.file), environment);
    run.setCheckResultIcon(false);
    // What had arrived when the result box appeared, read before it is answered: the port's
    // release afterwards still lets a message in flight finish.
    bool resultSeen = false;
    run.setAnswer([&](const std::string& caption, int earlier) {
        if (caption == kConnectCaption) return earlier < kConnectOks ? IDOK : IDCANCEL;
        if (caption == kConfirmCaption) return IDYES;
        if (caption == kResultCaption && !resultSeen) {
            resultSeen = true;
            out.resultQpc = qpcNow();
            out.atResult = longMessages(sim);
        }
        return IDOK;
    });
    FaultThreads faults(w, staged, sim);
    if (!run.start()) {
        failure = "the program did not start";
        return out;
    }
    const DWORD bound = boundMs(w, kProgramPace) + kProgramMarginMs;
    if (!run.runToExit(bound))
        failure = "the program did not end within " + std::to_string(bound) + " ms; progress dialog " +
                  (run.progressDialog() ? "seen" : "never seen") + "; boxes:" + run.describeBoxes();
    faults.stop();
    out.ms = GetTickCount64() - faults.started();
    out.result = run.exitCode();
    const size_t atExit = longMessages(sim).size();
    if (!resultSeen) {
        out.resultQpc = qpcNow();
        out.atResult = longMessages(sim);
    }
    out.winmmHandles = static_cast<int>(sim.openHandleCount()) - static_cast<int>(staged.openHandles);
    out.sentAfterStop = atExit - out.atResult.size();
    out.resultBoxRight = resultBoxRight(run, out.result);
    std::ifstream captured(capture);
    debugText = run.session().launcher().debugText() + updateLogs(appData) + "\n  library capture: " +
                std::string((std::istreambuf_iterator<char>(captured)), std::istreambuf_iterator<char>());
    for (const ZephWrite& write : readZephCapture(capture)) out.zephWrites.push_back(write.bytes);
    out.zephViolations = violationsIn(capture);
    sim.holdCompletions(0);
    return out;
}

int usage() {
    std::fprintf(stderr, "usage: chaos_e2e [--worlds N] [--seed S] [--step K]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t seed = 1, worlds = 4, step = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg != "--worlds" && arg != "--seed" && arg != "--step") || i + 1 >= argc) return usage();
        char* end = nullptr;
        const uint64_t value = std::strtoull(argv[++i], &end, 10);
        if (!*argv[i] || *end) return usage();
        (arg == "--worlds" ? worlds : arg == "--seed" ? seed : step) = value;
    }
    if (step == 0) return usage();
    // The program's own texts on standard output (it inherits ours) would bury the report.
    std::freopen("NUL", "w", stdout);
    SimWinmm winmm;
    const std::string loaded = winmm.load();
    if (!loaded.empty()) {
        std::fprintf(stderr, "chaos_e2e: %s\n", loaded.c_str());
        return 2;
    }
    const ZephKeyState found = readZephKey();
    const std::string keyError = writeZephKey();
    if (!keyError.empty()) {
        std::fprintf(stderr, "chaos_e2e: %s\n", keyError.c_str());
        return 2;
    }
    std::map<std::string, int> faults;
    std::map<int, int> codes;
    int violated = 0;
    const auto wall = std::chrono::steady_clock::now();
    // --step lets runners that work side by side take every K-th world of one seed range.
    for (uint64_t i = 0; i < worlds; ++i) {
        const World w = programWorld(seed + i * step);
        std::string failure, debugText;
        const Observed o = runWorld(w, winmm.control(), failure, debugText);
        for (const std::string& name : w.faultNames()) ++faults[name];
        ++codes[o.result];
        std::vector<std::string> bad = judge(w, o, boundMs(w, kProgramPace) + kProgramMarginMs);
        if (!failure.empty()) bad.insert(bad.begin(), failure);
        if (bad.empty()) continue;
        ++violated;
        std::fprintf(stderr, "chaos: e2e world %llu violated (exit %d): %s\n", static_cast<unsigned long long>(w.seed),
                     o.result, w.describe().c_str());
        for (size_t j = 0; j < bad.size() && j < 3; ++j) std::fprintf(stderr, "  %s\n", bad[j].c_str());
        // The program's own diagnostics say what it saw.
        std::fprintf(stderr, "  program's debugger output: %s\n", debugText.substr(0, 4000).c_str());
        std::fprintf(stderr, "chaos: replay: scripts/chaos --e2e --arch %s --seed %llu --worlds 1\n", kArch,
                     static_cast<unsigned long long>(w.seed));
    }
    if (found.present)
        writeZephKey(found.location);
    else
        deleteZephKey();
    const long long seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - wall).count();
    std::fprintf(stderr, "chaos: %s end to end: %llu worlds from seed %llu step %llu in %lld s: %d violated; exits",
                 kArch, static_cast<unsigned long long>(worlds), static_cast<unsigned long long>(seed),
                 static_cast<unsigned long long>(step), seconds, violated);
    for (const auto& c : codes) std::fprintf(stderr, " %d:%d", c.first, c.second);
    std::fprintf(stderr, "\n");
    for (const auto& f : faults) std::fprintf(stderr, "chaos:   %6d  %s\n", f.second, f.first.c_str());
    return violated ? 1 : 0;
}
