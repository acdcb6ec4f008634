#pragma once
// The update log for support: one plain-text file per run that got past loading the firmware
// file, %LOCALAPPDATA%\Carrowick\Logs\update-YYYYMMDD-HHMMSS.log, the 20 made last kept. It
// holds what the program knew (version, file, port, every diagnostic line with its time, the
// result). Writing it never changes the update and never holds it back: a line is only put
// in memory, and one writer thread of its own takes it to the disk. A stalled or failing
// disk only means a shorter log or none.

#include <windows.h>

#include <cstdint>

class FirmwareImage;

// First thing in WinMain: from here on every diagnostic line is kept (with its time) for
// the log, so the first bind's lines are in it too.
void startUpdateLog();
// Main thread, once the file is loaded: makes the file and starts its writer.
void beginUpdateLog(const char* firmwarePath, const FirmwareImage& image);
// One timestamped line; safe from any thread, allocates nothing, never throws, never waits
// for the disk.
void updateLogLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The worker has started the update: an end without a result is then an update cut short.
void noteUpdateStarted();
// The worker's outcome: its result, the data messages accepted and when the last was.
void logUpdateResult(int32_t result, uint32_t accepted, ULONGLONG firstAcceptedTick, ULONGLONG lastAcceptedTick);
// Last, on the ending thread: the exit code with its meaning; waits a bounded time for the
// writer to take everything to the disk.
void endUpdateLog(int exitCode);
// Waits at most timeoutMs for the lines so far to reach the disk (the crash handler).
void flushUpdateLog(DWORD timeoutMs);

// The folder of the logs (and of crash dumps), made if needed; false when there is none.
bool updateLogsFolder(wchar_t (&folder)[MAX_PATH]);
// Deletes the oldest files matching pattern (e.g. L"update-*.log") in folder by creation
// time, so that at most keep remain; never the one named keepName.
void pruneOldest(const wchar_t* folder, const wchar_t* pattern, size_t keep, const wchar_t* keepName);

// What a result of the worker means, in the log's words.
const char* resultMeaning(int code);

const int kLogsKept = 20;
