#pragma once
// The update log for support: one plain-text file per run that got past loading the firmware
// file, %LOCALAPPDATA%\Carrowick\Logs\update-YYYYMMDD-HHMMSS.log, the last 20 kept. It holds
// what the program knew (version, file, port, every diagnostic line with its time, the
// result). Writing it never changes the update: any failure only means a shorter log or none.

#include <windows.h>

#include <cstdint>

class FirmwareImage;

// Main thread, once the file is loaded.
void beginUpdateLog(const char* firmwarePath, const FirmwareImage& image);
// One timestamped line; safe from any thread, allocates nothing, never throws.
void updateLogLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// The worker's outcome: its result, the data messages accepted and the time they took.
void logUpdateResult(int32_t result, uint32_t accepted, ULONGLONG transferMs);
// Last, on the main thread: the exit code with its meaning; closes the log.
void endUpdateLog(int exitCode);

// What a result of the worker means, in the log's words.
const char* resultMeaning(int code);

const int kLogsKept = 20;
