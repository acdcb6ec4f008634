#include "app/UpdateLog.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "BuildVersion.h"
#include "CarrowickVersion.h"
#include "device/FirmwareImage.h"
#include "device/UpdateProtocol.h"
#include "support/Diagnostics.h"

// Threads: any thread (the main thread, the worker, the library's delivery thread through
// the diagnostic tap, a crashing thread) formats its line on its own stack and copies it
// into the queue under g_queueLock, which is held for that copy only and never around
// anything that waits. The writer thread, started once the file exists, copies a chunk
// out under the same lock and writes it with the lock free. A full queue drops the line
// (and counts it): the caller never waits for the disk. Lines from before the file exists
// (the first bind) wait in the queue; the end waits a bounded time for the writer.

namespace {

enum LogState { kOff, kCollecting, kWriting, kClosed };

const size_t kQueueBytes = 512 * 1024;
const size_t kLineBytes = 8300;  // a whole diagnostic line (8192) with its time and CR LF
// A log line on a working disk is written in microseconds; an end that waits longer is
// waiting on a stalled disk, and the exit must not.
const DWORD kEndWaitMs = 2000;

std::atomic<int> g_state{kOff};
CRITICAL_SECTION g_queueLock;
char g_queue[kQueueBytes];
uint64_t g_queued = 0;       // bytes ever queued, under g_queueLock
uint64_t g_taken = 0;        // bytes ever taken by the writer, under g_queueLock
uint32_t g_droppedLines = 0;  // under g_queueLock
std::atomic<uint64_t> g_written{0};  // bytes the writer is done with (written or given up)
HANDLE g_wake = nullptr;     // auto-reset: lines were queued, or the end has come
HANDLE g_writer = nullptr;
HANDLE g_file = INVALID_HANDLE_VALUE;  // the writer's alone once it runs
// Written first, before the lines that waited for the file. Never freed: a writer stalled on
// the disk at the exit may still be reading it while static objects are destroyed.
std::string& g_header = *new std::string;
std::atomic<bool> g_closing{false};
std::atomic<bool> g_updateStarted{false};
std::atomic<bool> g_resultLogged{false};
std::atomic<ULONGLONG> g_portOpenedTick{0};

#if defined(_WIN64)
const char kArchitecture[] = "x86-64";
#else
const char kArchitecture[] = "x86";
#endif

// "HH:MM:SS.mmm text\r\n" into line; the text's own line breaks are kept out. Returns the length.
size_t formatLine(char (&line)[kLineBytes], const char* text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    int stamp = std::snprintf(line, sizeof line, "%02u:%02u:%02u.%03u ", now.wHour, now.wMinute, now.wSecond,
                              now.wMilliseconds);
    if (stamp < 0) return 0;
    size_t length = static_cast<size_t>(stamp);
    for (const char* c = text; *c && length < sizeof line - 3; ++c) {
        if (*c == '\n' || *c == '\r') {
            if (c[1]) line[length++] = ' ';
            continue;
        }
        line[length++] = *c;
    }
    line[length++] = '\r';
    line[length++] = '\n';
    return length;
}

// Calls copyRun(at, done, run) for each piece of length bytes from the queue's position,
// split where the queue wraps around.
template <class CopyRun>
void forEachRun(uint64_t position, size_t length, CopyRun copyRun) {
    for (size_t done = 0; done < length;) {
        const size_t at = static_cast<size_t>((position + done) % kQueueBytes);
        const size_t run = std::min(length - done, kQueueBytes - at);
        copyRun(at, done, run);
        done += run;
    }
}

// Under g_queueLock.
bool queueBytes(const char* bytes, size_t length) {
    if (kQueueBytes - (g_queued - g_taken) < length) return false;
    forEachRun(g_queued, length,
               [&](size_t at, size_t done, size_t run) { std::memcpy(g_queue + at, bytes + done, run); });
    g_queued += length;
    return true;
}

void queueLine(const char* text) {
    const int state = g_state.load();
    if (state != kCollecting && state != kWriting) return;
    char line[kLineBytes];
    const size_t length = formatLine(line, text);
    if (length == 0) return;
    EnterCriticalSection(&g_queueLock);
    if (g_droppedLines) {
        char note[kLineBytes];
        char text2[96];
        std::snprintf(text2, sizeof text2, "(%u lines left out here: the log could not keep up)",
                      static_cast<unsigned>(g_droppedLines));
        const size_t noteLength = formatLine(note, text2);
        if (kQueueBytes - (g_queued - g_taken) >= noteLength + length) {
            queueBytes(note, noteLength);
            g_droppedLines = 0;
        }
    }
    if (g_droppedLines || !queueBytes(line, length)) ++g_droppedLines;
    LeaveCriticalSection(&g_queueLock);
    if (g_wake) SetEvent(g_wake);
}

// The diagnostic tap. The protocol tells of the port it opened only in this line; its first
// message goes out right after it, which is where the transfer's time starts.
void tapLine(const char* line) {
    if (std::strstr(line, "rvoVirize: ") && std::strstr(line, " opened (")) g_portOpenedTick = GetTickCount64();
    queueLine(line);
}

size_t takeChunk(char* chunk, size_t size) {
    EnterCriticalSection(&g_queueLock);
    const size_t length = static_cast<size_t>(std::min<uint64_t>(g_queued - g_taken, size));
    forEachRun(g_taken, length,
               [&](size_t at, size_t done, size_t run) { std::memcpy(chunk + done, g_queue + at, run); });
    g_taken += length;
    LeaveCriticalSection(&g_queueLock);
    return length;
}

#if defined(CARROWICK_TEST_HOOKS)
// Test builds only: every write first sleeps this long, as on a hung network profile; or
// the disk is full once the header is written.
DWORD testWriteStallMs() {
    char value[16];
    DWORD length = GetEnvironmentVariableA("CARROWICK_TEST_LOG_STALL_MS", value, sizeof value);
    return length > 0 && length < sizeof value ? static_cast<DWORD>(std::strtoul(value, nullptr, 10)) : 0;
}
bool testDiskFullAfterHeader() {
    static bool headerWritten = false;
    const bool full = headerWritten && GetEnvironmentVariableA("CARROWICK_TEST_LOG_DISK_FULL", nullptr, 0) != 0;
    headerWritten = true;
    return full;
}
#endif

// After a failed write nothing more is tried: the log simply ends there.
void writeOut(const char* bytes, size_t length) {
    if (g_file == INVALID_HANDLE_VALUE || length == 0) return;
    bool failed = false;
#if defined(CARROWICK_TEST_HOOKS)
    static const DWORD stallMs = testWriteStallMs();
    if (stallMs) Sleep(stallMs);
    failed = testDiskFullAfterHeader();
#endif
    DWORD written = 0;
    if (failed || !WriteFile(g_file, bytes, static_cast<DWORD>(length), &written, nullptr) || written != length) {
        CloseHandle(g_file);
        g_file = INVALID_HANDLE_VALUE;
    }
}

DWORD WINAPI writerMain(void*) {
    static char chunk[64 * 1024];
    writeOut(g_header.data(), g_header.size());
    for (;;) {
        const size_t length = takeChunk(chunk, sizeof chunk);
        if (length == 0) {
            if (g_closing.load()) break;
            WaitForSingleObject(g_wake, INFINITE);
            continue;
        }
        writeOut(chunk, length);
        g_written += length;
    }
    if (g_file != INVALID_HANDLE_VALUE) CloseHandle(g_file);
    g_file = INVALID_HANDLE_VALUE;
    return 0;
}

// No log this run: nothing more is kept.
void dropLog() {
    g_state = kClosed;
    setDiagnosticTap(nullptr);
}

bool appendPath(wchar_t (&path)[MAX_PATH], const wchar_t* part) {
    if (std::wcslen(path) + std::wcslen(part) >= MAX_PATH) return false;
    std::wcscat(path, part);
    return true;
}

// A new file named by the local time; a second run in the same second gets a suffix.
HANDLE createLogFile(const wchar_t* folder, wchar_t (&name)[64]) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    for (int attempt = 1; attempt <= 9; ++attempt) {
        std::swprintf(name, 64, attempt > 1 ? L"update-%04u%02u%02u-%02u%02u%02u_%d.log" : L"update-%04u%02u%02u-%02u%02u%02u.log",
                      now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, attempt);
        wchar_t path[MAX_PATH];
        std::wcscpy(path, folder);
        if (!appendPath(path, L"\\") || !appendPath(path, name)) return INVALID_HANDLE_VALUE;
        HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    return INVALID_HANDLE_VALUE;
}

void appendHeaderLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void appendHeaderLine(const char* format, ...) {
    char text[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    text[sizeof text - 1] = '\0';
    char line[kLineBytes];
    g_header.append(line, formatLine(line, text));
}

// What the worker will find in the file, counted without taking anything from the image.
void appendFileContents(const FirmwareImage& image) {
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
    appendHeaderLine(
        "firmware file: %u bytes, %u messages (%s start message, %u data messages), %u bytes after the last F7",
        image.size(), messages, start ? "a" : "no", start && messages ? messages - 1 : messages, image.size() - end);
}

}  // namespace

bool updateLogsFolder(wchar_t (&folder)[MAX_PATH]) {
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    if (!appendPath(folder, L"\\Carrowick")) return false;
    CreateDirectoryW(folder, nullptr);
    if (!appendPath(folder, L"\\Logs")) return false;
    CreateDirectoryW(folder, nullptr);
    DWORD attributes = GetFileAttributesW(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// By creation time, not by name: names come from the local clock, which may have been set
// back (or moved west) since older files were named.
void pruneOldest(const wchar_t* folder, const wchar_t* pattern, size_t keep, const wchar_t* keepName) {
    struct Found {
        ULONGLONG created;
        std::wstring name;
    };
    try {
        std::vector<Found> files;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((std::wstring(folder) + L"\\" + pattern).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return;
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            ULONGLONG created = (static_cast<ULONGLONG>(found.ftCreationTime.dwHighDateTime) << 32) |
                                found.ftCreationTime.dwLowDateTime;
            files.push_back(Found{created, found.cFileName});
        } while (FindNextFileW(search, &found));
        FindClose(search);
        std::sort(files.begin(), files.end(), [](const Found& a, const Found& b) {
            return a.created != b.created ? a.created < b.created : a.name < b.name;
        });
        size_t left = files.size();
        for (const Found& file : files) {
            if (left <= keep) break;
            if (keepName && _wcsicmp(file.name.c_str(), keepName) == 0) continue;
            DeleteFileW((std::wstring(folder) + L"\\" + file.name).c_str());
            --left;
        }
    } catch (const std::exception&) {
        // No memory to list them: they stay until the next run.
    }
}

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

void startUpdateLog() {
    InitializeCriticalSection(&g_queueLock);
    g_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!g_wake) return;
    g_state = kCollecting;
    setDiagnosticTap(tapLine);
}

void beginUpdateLog(const char* firmwarePath, const FirmwareImage& image) {
    if (g_state.load() != kCollecting) return;
    wchar_t folder[MAX_PATH];
    wchar_t name[64];
    if (!updateLogsFolder(folder) || (g_file = createLogFile(folder, name)) == INVALID_HANDLE_VALUE) {
        dropLog();
        return;
    }
    pruneOldest(folder, L"update-*.log", kLogsKept, name);
    try {
        appendHeaderLine("Carrowick %s (%s build), carrying Lumetra firmware %s", CARROWICK_VERSION, kArchitecture,
                         CARROWICK_FIRMWARE_VERSION);
        appendHeaderLine("firmware path: %s", firmwarePath);
        appendFileContents(image);
        appendHeaderLine("looking for an output whose name contains \"%s\"", kInstrumentName);
    } catch (const std::exception&) {
        // A header cut short; the lines still follow.
    }
    g_writer = CreateThread(nullptr, 0, writerMain, nullptr, 0, nullptr);
    if (!g_writer) {
        CloseHandle(g_file);
        g_file = INVALID_HANDLE_VALUE;
        dropLog();
        return;
    }
    g_state = kWriting;
}

void updateLogLine(const char* format, ...) {
    const int state = g_state.load();
    if (state != kCollecting && state != kWriting) return;
    char text[8192];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    text[sizeof text - 1] = '\0';
    queueLine(text);
}

void noteUpdateStarted() { g_updateStarted = true; }

void logUpdateResult(int32_t result, uint32_t accepted, ULONGLONG firstAcceptedTick, ULONGLONG lastAcceptedTick) {
    const ULONGLONG from = g_portOpenedTick.load() ? g_portOpenedTick.load() : firstAcceptedTick;
    const ULONGLONG transferMs = lastAcceptedTick && from && lastAcceptedTick > from ? lastAcceptedTick - from : 0;
    updateLogLine("data messages accepted: %u, in %llu ms from the first send", accepted,
                  static_cast<unsigned long long>(transferMs));
    updateLogLine("result: %d (%s)", static_cast<int>(result), resultMeaning(result));
    g_resultLogged = true;
}

void flushUpdateLog(DWORD timeoutMs) {
    if (g_state.load() != kWriting) return;
    EnterCriticalSection(&g_queueLock);
    const uint64_t target = g_queued;
    LeaveCriticalSection(&g_queueLock);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (g_written.load() < target && GetTickCount64() < deadline) Sleep(5);
}

void endUpdateLog(int exitCode) {
    int state = g_state.load();
    if (state == kCollecting) {
        dropLog();  // the run ended before its log was made
        return;
    }
    if (state != kWriting) return;
    if (g_resultLogged.load())
        updateLogLine("exit code: %d", exitCode);
    else if (g_updateStarted.load())
        updateLogLine("exit code: %d (the program ended during the update, before its result)", exitCode);
    else
        updateLogLine("exit code: %d (no update was made)", exitCode);
    if (!g_state.compare_exchange_strong(state, kClosed)) return;  // the other thread is ending it
    setDiagnosticTap(nullptr);
    g_closing = true;
    SetEvent(g_wake);
    WaitForSingleObject(g_writer, kEndWaitMs);
}
