// launch [--timeout MS] [--cwd DIR] [--env NAME=VALUE]... -- COMMAND LINE...
// Runs a program as its debugger, prints what it wrote to the debugger output and its
// exit code as a signed number. The arguments after "--", joined by one blank, are the
// command line as it stands: pass it as one argument to keep its quotes and blanks.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/e2e/rig/Launcher.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: launch [--timeout MS] [--cwd DIR] [--env NAME=VALUE]... -- COMMAND LINE...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    LaunchOptions options;
    DWORD timeoutMs = 60000;
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
        else
            return usage();
    }
    if (i + 1 >= argc) return usage();
    for (int part = i + 1; part < argc; ++part) {
        if (part > i + 1) options.commandLine += ' ';
        options.commandLine += argv[part];
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
    if (!ended) {
        std::printf("timed out after %lu ms: killed\n", timeoutMs);
        return 1;
    }
    std::printf("exit code: %ld\n", static_cast<long>(launcher.exitCode()));
    return 0;
}
