#include "app/CrashDump.h"

#include <windows.h>
#include <dbghelp.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <exception>

#include "app/UpdateLog.h"
#include "support/Diagnostics.h"

// The filter runs on the crashing thread, in a process whose heap may be broken: it uses
// fixed buffers only, and dbghelp is loaded from the system folder by its full path, never
// from the exe's folder (where a downloaded updater may have company).

namespace {

typedef BOOL(WINAPI* MiniDumpWriteDumpFn)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// Long enough for the crash's line on a working disk; a stalled one must not keep a
// crashed process alive.
const DWORD kLogFlushMs = 1000;

std::atomic<bool> g_crashed{false};

// An exception code of our own for a C++ exception that nothing caught: the runtime ends
// the process through std::terminate, which no exception filter sees.
const DWORD kUncaughtCppException = 0xE0435258;  // 0xE0 and "CRX"

MiniDumpWriteDumpFn loadMiniDumpWriteDump() {
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 13 >= MAX_PATH) return nullptr;
    std::wcscat(path, L"\\dbghelp.dll");
    HMODULE dbghelp = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return dbghelp ? reinterpret_cast<MiniDumpWriteDumpFn>(
                         reinterpret_cast<void (*)()>(GetProcAddress(dbghelp, "MiniDumpWriteDump")))
                   : nullptr;
}

// The oldest dumps go until kCrashDumpsKept remain, the new one never; one scan per file
// deleted, so no list is built.
void pruneDumps(const wchar_t* folder, const wchar_t* keepName) {
    wchar_t pattern[MAX_PATH];
    if (std::swprintf(pattern, MAX_PATH, L"%ls\\crash-*.dmp", folder) < 0) return;
    for (int round = 0; round < 1000; ++round) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(pattern, &found);
        if (search == INVALID_HANDLE_VALUE) return;
        int count = 0;
        FILETIME oldestTime = {0xFFFFFFFF, 0xFFFFFFFF};
        wchar_t oldest[MAX_PATH] = L"";
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            ++count;
            if (_wcsicmp(found.cFileName, keepName) != 0 && CompareFileTime(&found.ftCreationTime, &oldestTime) < 0) {
                oldestTime = found.ftCreationTime;
                std::swprintf(oldest, MAX_PATH, L"%ls", found.cFileName);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
        if (count <= kCrashDumpsKept || !oldest[0]) return;
        wchar_t path[MAX_PATH];
        if (std::swprintf(path, MAX_PATH, L"%ls\\%ls", folder, oldest) < 0 || !DeleteFileW(path)) return;
    }
}

LONG WINAPI writeCrashDump(EXCEPTION_POINTERS* exception) {
    // A second crash (in here, or on another thread meanwhile) ends as it would have.
    if (g_crashed.exchange(true)) return EXCEPTION_CONTINUE_SEARCH;
    const DWORD code = exception && exception->ExceptionRecord ? exception->ExceptionRecord->ExceptionCode : 0;
    const void* address = exception && exception->ExceptionRecord ? exception->ExceptionRecord->ExceptionAddress : nullptr;
    wchar_t folder[MAX_PATH];
    wchar_t name[80];
    wchar_t path[MAX_PATH];
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::swprintf(name, 80, L"crash-%04u%02u%02u-%02u%02u%02u-%lu.dmp", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond, static_cast<unsigned long>(GetCurrentProcessId()));
    const char* failure = nullptr;
    MiniDumpWriteDumpFn miniDumpWriteDump = loadMiniDumpWriteDump();
    if (!miniDumpWriteDump) {
        failure = "dbghelp.dll could not be loaded from the system folder";
    } else if (!updateLogsFolder(folder) || std::swprintf(path, MAX_PATH, L"%ls\\%ls", folder, name) < 0) {
        failure = "there is no folder for it";
    } else {
        HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            failure = "the file could not be made";
        } else {
            MINIDUMP_EXCEPTION_INFORMATION information = {GetCurrentThreadId(), exception, FALSE};
            const BOOL written = miniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal,
                                                   exception ? &information : nullptr, nullptr, nullptr);
            CloseHandle(file);
            if (!written) {
                DeleteFileW(path);
                failure = "MiniDumpWriteDump failed";
            } else {
                pruneDumps(folder, name);
            }
        }
    }
    if (failure)
        debugPrint("Carrowick: unhandled exception 0x%08lx at %p on thread %lu; no crash dump: %s\n",
                   static_cast<unsigned long>(code), address, static_cast<unsigned long>(GetCurrentThreadId()),
                   failure);
    else {
        // The log is UTF-8 text, whatever the user's code page.
        char shown[MAX_PATH * 3];
        if (!WideCharToMultiByte(CP_UTF8, 0, path, -1, shown, sizeof shown, nullptr, nullptr)) shown[0] = '\0';
        debugPrint("Carrowick: unhandled exception 0x%08lx at %p on thread %lu; crash dump written to %s\n",
                   static_cast<unsigned long>(code), address, static_cast<unsigned long>(GetCurrentThreadId()), shown);
    }
    flushUpdateLog(kLogFlushMs);
    return EXCEPTION_CONTINUE_SEARCH;
}

// The dump shows the thread where the exception was left uncaught; then the process ends
// as the runtime would have ended it.
[[noreturn]] void dumpUncaughtCppException() {
    CONTEXT context = {};
    RtlCaptureContext(&context);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = kUncaughtCppException;
    record.ExceptionAddress = reinterpret_cast<void*>(&dumpUncaughtCppException);
    EXCEPTION_POINTERS pointers = {&record, &context};
    writeCrashDump(&pointers);
    std::abort();
}

}  // namespace

void installCrashDump() {
    SetUnhandledExceptionFilter(writeCrashDump);
    std::set_terminate(dumpUncaughtCppException);
}
