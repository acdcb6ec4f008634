#include "app/UpdateWorker.h"

#include "app/App.h"
#include "app/Progress.h"
#include "device/FirmwareImage.h"
#include "device/UpdateProtocol.h"
#include "device/UpdaterDev.h"
#include "midi/DeviceNotification.h"
#include "midi/MidiPorts.h"
#include "midi/VeltroDeviceList.h"

namespace {

// Signalled when the worker has taken everything down; null when no worker was started.
HANDLE g_workerDone = nullptr;

}  // namespace

DWORD WINAPI UpdateWorker(LPVOID parameter) {
    UpdateContext* context = static_cast<UpdateContext*>(parameter);
    int32_t result = kUpdateIncomplete;
    MIDI::Output* port = rvoVirize(*context->image, *context->device, *context->progress, deviceManager(), &result);
    context->result = result;

    ShowWindow(context->progress->dialog(), SW_HIDE);
    PostMessageA(context->mainWindow, WM_UPDATE_RESULT, static_cast<WPARAM>(static_cast<intptr_t>(result)), 0);

    if (port) port->release();
    VeltroDeviceList* manager = deviceManager();
    setDeviceManager(nullptr);
    delete manager;
    stopDeviceNotification();
    if (g_workerDone) SetEvent(g_workerDone);
    return 0;
}

bool startUpdateWorker(UpdateContext* context) {
    g_workerDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, UpdateWorker, context, 0, nullptr);
    return thread != nullptr;
}

void waitForUpdateWorkerEnd(DWORD timeoutMs) {
    if (g_workerDone) WaitForSingleObject(g_workerDone, timeoutMs);
}
