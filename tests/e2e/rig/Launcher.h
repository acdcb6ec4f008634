#pragma once
// Starts a program (normally as its debugger) and collects what it writes to the debugger output.
// The debug loop must run on the thread that created the process, so each Launcher
// owns one thread that starts the program, serves its debug events and ends with it.

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct LaunchOptions {
    // The whole command line, passed to CreateProcessA as it stands (quotes included).
    std::string commandLine;
    // Empty: the caller's working directory.
    std::string workingDirectory;
    // "NAME=value" entries added to (or replacing those of) the caller's environment.
    std::vector<std::string> environment;
    // Off: started as a plain child, so that its own unhandled-exception filter runs (a
    // debugged process hands the exception to its debugger instead); no debugger output.
    bool debugged = true;
};

class Launcher {
public:
    explicit Launcher(LaunchOptions options);
    // Kills the program if it still runs and waits for the debug thread.
    ~Launcher();
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;

    // Starts the program; false (with error()) when CreateProcessA failed.
    bool start();
    // True once the program has ended within the time; false on time-out.
    bool waitForExit(DWORD timeoutMs);
    bool exited() const;
    // The exit code as GetExitCodeProcess reports it, read as signed.
    int32_t exitCode() const;
    // Terminates the program (exit code 0xDEAD) and waits until its end is seen.
    void kill();

    DWORD processId() const { return processId_; }
    DWORD error() const { return error_; }
    const std::string& commandLine() const { return options_.commandLine; }

    // Every debugger output string so far, in order, and all of them joined.
    std::vector<std::string> debugStrings() const;
    std::string debugText() const;

private:
    void debugLoop();
    std::vector<char> environmentBlock() const;
    void recordString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info);

    LaunchOptions options_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool startDone_ = false;
    bool exited_ = false;
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    DWORD error_ = 0;
    int32_t exitCode_ = 0;
    std::vector<std::string> strings_;
};

// The Windows path under which Wine shows a Unix path ("/a/b" becomes "Z:\a\b");
// a path that is already a Windows path is returned unchanged.
std::string windowsPathOf(const std::string& path);
