#pragma once
// The update worker: the one extra thread of the program.

#include <windows.h>

#include <cstdint>

#include "device/UpdateProtocol.h"

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

// The update as the worker runs it: an exception from any step ends it as not completed
// (result 2, no port) instead of leaving the thread.
MIDI::Output* guardedUpdate(FirmwareImage& image, UpdaterDev& device, ProgressSink& progress,
                            VeltroDeviceList* manager, int32_t* result, const ProtocolTiming& timing = ProtocolTiming());

// Started by the check flow; WinMain waits (bounded) for the worker's last steps, so the
// process never ends in the middle of releasing the port or the device manager.
bool startUpdateWorker(UpdateContext* context);
void waitForUpdateWorkerEnd(DWORD timeoutMs);
