#include "tests/e2e/rig/Launcher.h"

#include <chrono>
#include <cstring>

namespace {

// The exit code a killed program gets, so a time-out never reads as a result.
const UINT kKilledExitCode = 0xDEAD;
// Wine reports the first breakpoint of a 32-bit program under a 64-bit loader with this code.
const DWORD kWx86Breakpoint = 0x4000001F;

std::string nameOf(const std::string& entry) {
    std::string::size_type equals = entry.find('=', 1);  // "=C:" style entries start with '='
    std::string name = entry.substr(0, equals);
    for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return name;
}

}  // namespace

std::string windowsPathOf(const std::string& path) {
    if (path.empty() || path[0] != '/') return path;
    std::string result = "Z:";
    for (char c : path) result += c == '/' ? '\\' : c;
    return result;
}

Launcher::Launcher(LaunchOptions options) : options_(std::move(options)) {}

Launcher::~Launcher() {
    if (thread_.joinable()) {
        kill();
        thread_.join();
    }
    if (process_) CloseHandle(process_);
}

std::vector<char> Launcher::environmentBlock() const {
    std::vector<std::string> entries;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* p = block; *p; p += std::strlen(p) + 1) entries.emplace_back(p);
        FreeEnvironmentStringsA(block);
    }
    for (const std::string& extra : options_.environment) {
        std::string name = nameOf(extra);
        for (auto it = entries.begin(); it != entries.end();) {
            if (nameOf(*it) == name)
                it = entries.erase(it);
            else
                ++it;
        }
        entries.push_back(extra);
    }
    std::vector<char> result;
    for (const std::string& entry : entries) {
        result.insert(result.end(), entry.begin(), entry.end());
        result.push_back('\0');
    }
    result.push_back('\0');
    return result;
}

bool Launcher::start() {
    thread_ = std::thread(&Launcher::debugLoop, this);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return startDone_; });
    return process_ != nullptr;
}

namespace {
const int kStartAttempts = 3;
const DWORD kStartRetryMs = 200;
}  // namespace

void Launcher::debugLoop() {
    std::vector<char> commandLine(options_.commandLine.begin(), options_.commandLine.end());
    commandLine.push_back('\0');
    std::vector<char> environment = environmentBlock();
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    BOOL created = FALSE;
    // Wine's server now and then answers a process start on a crowded machine with an internal
    // error; nothing of the program has run then, so it is started again.
    for (int attempt = 0; attempt < kStartAttempts && !created; ++attempt) {
        if (attempt) Sleep(kStartRetryMs);
        created = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                 options_.debugged ? DEBUG_ONLY_THIS_PROCESS : 0, environment.data(),
                                 options_.workingDirectory.empty() ? nullptr : options_.workingDirectory.c_str(),
                                 &startup, &info);
        if (!created && GetLastError() != ERROR_INTERNAL_ERROR) break;
    }
    const DWORD startError = created ? 0 : GetLastError();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        startDone_ = true;
        if (!created) {
            error_ = startError;
            exited_ = true;
        } else {
            process_ = info.hProcess;
            processId_ = info.dwProcessId;
        }
    }
    changed_.notify_all();
    if (!created) return;
    CloseHandle(info.hThread);

    bool firstBreakpoint = true;
    for (; options_.debugged;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, INFINITE)) break;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
            break;
        case OUTPUT_DEBUG_STRING_EVENT:
            recordString(info.hProcess, event.u.DebugString);
            break;
        case EXCEPTION_DEBUG_EVENT: {
            DWORD code = event.u.Exception.ExceptionRecord.ExceptionCode;
            // Only the loader's breakpoint is ours; everything else is the program's.
            if (firstBreakpoint && (code == EXCEPTION_BREAKPOINT || code == kWx86Breakpoint))
                firstBreakpoint = false;
            else
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        }
        default:
            break;
        }
        bool last = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (last) break;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exitCode_ = static_cast<int32_t>(code);
        exited_ = true;
    }
    changed_.notify_all();
}

void Launcher::recordString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    if (info.fUnicode || info.nDebugStringLength == 0) return;
    std::vector<char> buffer(info.nDebugStringLength);
    SIZE_T read = 0;
    if (!ReadProcessMemory(process, info.lpDebugStringData, buffer.data(), buffer.size(), &read)) return;
    std::string text(buffer.data(), read);
    std::string::size_type end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    std::lock_guard<std::mutex> lock(mutex_);
    strings_.push_back(text);
}

bool Launcher::waitForExit(DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return exited_; });
}

bool Launcher::exited() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return exited_;
}

int32_t Launcher::exitCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return exitCode_;
}

void Launcher::kill() {
    HANDLE process;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (exited_ || !process_) return;
        process = process_;
    }
    TerminateProcess(process, kKilledExitCode);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return exited_; });
}

std::vector<std::string> Launcher::debugStrings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return strings_;
}

std::string Launcher::debugText() const {
    std::string text;
    for (const std::string& s : debugStrings()) text += s;
    return text;
}
