#include "app/UpdateLog.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "BuildVersion.h"
#include "CarrowickVersion.h"
#include "device/FirmwareImage.h"
#include "device/UpdateProtocol.h"
#include "support/Diagnostics.h"

// The file is written by the main thread, the worker and whatever thread writes a
// diagnostic line (the library's delivery thread among them), one line at a time under the
// lock; lines are formatted on the writer's stack. After a failed write nothing more is tried.

namespace {

CRITICAL_SECTION g_lock;
std::atomic<HANDLE> g_file{INVALID_HANDLE_VALUE};
std::atomic<bool> g_resultLogged{false};

#if defined(_WIN64)
const char kArchitecture[] = "x86-64";
#else
const char kArchitecture[] = "x86";
#endif

void writeLine(const char* text) {
    if (g_file.load() == INVALID_HANDLE_VALUE) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char line[8300];
    int stamp = std::snprintf(line, sizeof line, "%02u:%02u:%02u.%03u ", now.wHour, now.wMinute, now.wSecond,
                              now.wMilliseconds);
    if (stamp < 0) return;
    size_t length = static_cast<size_t>(stamp);
    for (const char* c = text; *c && length < sizeof line - 3; ++c) {
        // One log line per diagnostic: its own line breaks are kept out.
        if (*c == '\n' || *c == '\r') {
            if (c[1]) line[length++] = ' ';
            continue;
        }
        line[length++] = *c;
    }
    line[length++] = '\r';
    line[length++] = '\n';
    EnterCriticalSection(&g_lock);
    HANDLE file = g_file.load();
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE &&
        (!WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr) || written != length)) {
        CloseHandle(file);
        g_file = INVALID_HANDLE_VALUE;
    }
    LeaveCriticalSection(&g_lock);
}

std::string logsFolder() {
    char base[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("LOCALAPPDATA", base, sizeof base);
    if (length == 0 || length >= sizeof base) return std::string();
    std::string folder = std::string(base) + "\\Carrowick";
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += "\\Logs";
    CreateDirectoryA(folder.c_str(), nullptr);
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return std::string();
    return folder;
}

// A new file named by the local time; a second run in the same second gets a suffix
// that sorts after the first.
HANDLE createLogFile(const std::string& folder) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char name[64];
    std::snprintf(name, sizeof name, "update-%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    for (int attempt = 1; attempt <= 9; ++attempt) {
        std::string path = folder + "\\" + name + (attempt > 1 ? "_" + std::to_string(attempt) : "") + ".log";
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    return INVALID_HANDLE_VALUE;
}

// Keeps the newest logs: their names sort by the time they were made.
void pruneLogs(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\update-*.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i + kLogsKept < names.size(); ++i) DeleteFileA((folder + "\\" + names[i]).c_str());
}

// What the worker will find in the file, counted without taking anything from the image.
void logFileContents(const FirmwareImage& image) {
    const uint8_t* data = image.data();
    uint32_t messages = 0;
    uint32_t end = 0;  // just past the last F7
    for (uint32_t i = 0; i < image.size(); ++i) {
        if (data[i] == 0xF7) {
            ++messages;
            end = i + 1;
        }
    }
    const bool start = image.size() > 5 && data[5] == FirmwareImage::kStartMarker;
    updateLogLine("firmware file: %u bytes, %u messages (%s start message, %u data messages), %u bytes after the last F7",
                  image.size(), messages, start ? "a" : "no", start && messages ? messages - 1 : messages,
                  image.size() - end);
}

}  // namespace

const char* resultMeaning(int code) {
    switch (code) {
    case kUpdateCompleted:
        return "completed: every data message reached the instrument";
    case kUpdateNoPort:
        return "failed: no output named like the instrument appeared";
    case kUpdateIncomplete:
        return "failed: the transfer stopped before the end of the file";
    default:
        return "failed";
    }
}

void beginUpdateLog(const char* firmwarePath, const FirmwareImage& image) {
    InitializeCriticalSection(&g_lock);
    try {
        std::string folder = logsFolder();
        if (folder.empty()) return;
        g_file = createLogFile(folder);
        if (g_file.load() == INVALID_HANDLE_VALUE) return;
        pruneLogs(folder);
    } catch (const std::exception&) {
        return;  // no log; the update goes on
    }
    updateLogLine("Carrowick %s (%s build), carrying Lumetra firmware %s", CARROWICK_VERSION, kArchitecture,
                  CARROWICK_FIRMWARE_VERSION);
    updateLogLine("firmware path: %s", firmwarePath);
    logFileContents(image);
    updateLogLine("looking for an output whose name contains \"%s\"", kInstrumentName);
    setDiagnosticTap(writeLine);
}

void updateLogLine(const char* format, ...) {
    if (g_file.load() == INVALID_HANDLE_VALUE) return;
    char text[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    text[sizeof text - 1] = '\0';
    writeLine(text);
}

void logUpdateResult(int32_t result, uint32_t accepted, ULONGLONG transferMs) {
    updateLogLine("data messages accepted: %u, in %llu ms", accepted, static_cast<unsigned long long>(transferMs));
    updateLogLine("result: %d (%s)", static_cast<int>(result), resultMeaning(result));
    g_resultLogged = true;
}

void endUpdateLog(int exitCode) {
    if (g_file.load() == INVALID_HANDLE_VALUE) return;
    if (g_resultLogged.load())
        updateLogLine("exit code: %d", exitCode);
    else
        updateLogLine("exit code: %d (no update was made)", exitCode);
    setDiagnosticTap(nullptr);
    EnterCriticalSection(&g_lock);
    HANDLE file = g_file.exchange(INVALID_HANDLE_VALUE);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    LeaveCriticalSection(&g_lock);
}
