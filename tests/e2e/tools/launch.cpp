// launch [--timeout MS] [--cwd DIR] [--env NAME=VALUE]... [--winmm-capture FILE [--winmm-output NAME]]
//        -- COMMAND LINE...
// Runs a program as its debugger, prints what it wrote to the debugger output and its
// exit code as a signed number. The arguments after "--", joined by one blank, are the
// command line as it stands: pass it as one argument to keep its quotes and blanks.
// --winmm-capture: the simulated WinMM (loaded under WINEDLLOVERRIDES=winmm=n,b) is cleared
// before the start and kept alive here for the run, since its state lives only while some
// process holds it; afterwards every message sent through it goes to FILE, one line each:
// "<timeGetTime ms> <device name> <played|queued|returned> <hex bytes>".
// --winmm-output: after the clearing, an output of that name is there from the start (an
// instrument already in its update mode).

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/winmm/SimWinmmControl.h"
#include "tests/e2e/rig/Launcher.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: launch [--timeout MS] [--cwd DIR] [--env NAME=VALUE]... [--winmm-capture FILE "
                 "[--winmm-output NAME]] -- COMMAND LINE...\n");
    return 2;
}

const char* outcomeName(uint32_t outcome) {
    switch (outcome) {
    case SimWinmmOutcomePlayed: return "played";
    case SimWinmmOutcomeReturned: return "returned";
    default: return "queued";
    }
}

bool writeCapture(SimWinmmControl& sim, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    std::vector<uint8_t> bytes(0x2000);
    for (uint32_t i = 0, count = sim.sentCount(); i < count; ++i) {
        SimWinmmSent record = {};
        if (!sim.getSent(i, &record, bytes.data(), static_cast<uint32_t>(bytes.size()))) break;
        std::fprintf(file, "%lu %s %s", static_cast<unsigned long>(record.timeMs), record.deviceName,
                     record.kind == SimWinmmSentShort   ? "short"
                     : record.kind == SimWinmmSentReset ? "reset"
                                                        : outcomeName(record.outcome));
        if (record.kind == SimWinmmSentShort)
            std::fprintf(file, " %06lx", static_cast<unsigned long>(record.shortMessage));
        for (uint32_t b = 0; b < record.length && b < bytes.size(); ++b) std::fprintf(file, " %02x", bytes[b]);
        std::fprintf(file, "\n");
    }
    return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    LaunchOptions options;
    DWORD timeoutMs = 60000;
    std::string capturePath;
    std::string outputName;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") break;
        if (i + 1 >= argc) return usage();
        if (arg == "--timeout")
            timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        else if (arg == "--cwd")
            options.workingDirectory = argv[++i];
        else if (arg == "--env")
            options.environment.push_back(argv[++i]);
        else if (arg == "--winmm-capture")
            capturePath = argv[++i];
        else if (arg == "--winmm-output")
            outputName = argv[++i];
        else
            return usage();
    }
    if (i + 1 >= argc) return usage();
    for (int part = i + 1; part < argc; ++part) {
        if (part > i + 1) options.commandLine += ' ';
        options.commandLine += argv[part];
    }

    SimWinmmControl sim;
    if (!capturePath.empty()) {
        HMODULE winmm = LoadLibraryExA("winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!winmm || !sim.load(winmm)) {
            std::fprintf(stderr, "launch: winmm.dll is not the simulated one (WINEDLLOVERRIDES=winmm=n,b?)\n");
            return 2;
        }
        sim.reset();
        if (!outputName.empty() && sim.addDevice(0, outputName.c_str()) == 0) {
            std::fprintf(stderr, "launch: the simulated WinMM did not take the output \"%s\"\n", outputName.c_str());
            return 2;
        }
    }

    Launcher launcher(options);
    if (!launcher.start()) {
        std::fprintf(stderr, "launch: cannot start \"%s\" (error %lu)\n", options.commandLine.c_str(),
                     launcher.error());
        return 2;
    }
    bool ended = launcher.waitForExit(timeoutMs);
    if (!ended) launcher.kill();
    for (const std::string& text : launcher.debugStrings()) {
        std::fputs(("debug output: " + text).c_str(), stdout);
        if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
    }
    if (!capturePath.empty() && !writeCapture(sim, capturePath)) {
        std::fprintf(stderr, "launch: cannot write the WinMM capture to \"%s\"\n", capturePath.c_str());
        return 2;
    }
    if (!ended) {
        std::printf("timed out after %lu ms: killed\n", timeoutMs);
        return 1;
    }
    std::printf("exit code: %ld\n", static_cast<long>(launcher.exitCode()));
    return 0;
}
