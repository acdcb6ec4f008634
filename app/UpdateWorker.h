#pragma once
// The update worker: the one extra thread of the program.

#include <windows.h>

#include <cstdint>

class FirmwareImage;
class Progress;
class UpdaterDev;

struct UpdateContext {
    FirmwareImage* image;
    Progress* progress;
    UpdaterDev* device;
    int32_t result;  // -1 until the worker sets it
    HWND mainWindow;
};

DWORD WINAPI UpdateWorker(LPVOID context);

// Started by the check flow; WinMain waits (bounded) for the worker's last steps, so the
// process never ends in the middle of releasing the port or the device manager.
bool startUpdateWorker(UpdateContext* context);
void waitForUpdateWorkerEnd(DWORD timeoutMs);
