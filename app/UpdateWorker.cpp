#include "app/UpdateWorker.h"

#include <cstring>
#include <exception>
#include <stdexcept>

#include "app/App.h"
#include "app/Progress.h"
#include "app/UpdateLog.h"
#include "device/FirmwareImage.h"
#include "device/UpdateProtocol.h"
#include "device/UpdaterDev.h"
#include "midi/DeviceNotification.h"
#include "midi/MidiPorts.h"
#include "midi/VeltroDeviceList.h"
#include "support/Diagnostics.h"

namespace {

// Signalled when the worker has taken everything down; null when no worker was started.
HANDLE g_workerDone = nullptr;

// A full message queue refuses a post for a moment; the main window must still hear the
// result, or the process would linger without a window. Gone, it cannot hear it at all.
const int kPostTries = 500;
const DWORD kPostRetryMs = 10;

bool postResult(HWND mainWindow, int32_t result) {
    for (int attempt = 0; attempt < kPostTries; ++attempt) {
        if (PostMessageA(mainWindow, WM_UPDATE_RESULT, static_cast<WPARAM>(static_cast<intptr_t>(result)), 0))
            return true;
        if (!IsWindow(mainWindow)) return false;
        Sleep(kPostRetryMs);
    }
    return false;
}

}  // namespace

MIDI::Output* guardedUpdate(FirmwareImage& image, UpdaterDev& device, ProgressSink& progress,
                            VeltroDeviceList* manager, int32_t* result, const ProtocolTiming& timing) {
    // The last barrier: nothing may leave a thread procedure. Whatever a step throws
    // (a copy that does not fit memory among them) ends the update as not completed.
    try {
        return rvoVirize(image, device, progress, manager, result, timing);
    } catch (const std::exception& e) {
        diagnosticPrint("UpdateWorker: the update stopped: %s\n", e.what());
    } catch (...) {
        diagnosticPrint("UpdateWorker: the update stopped on an unknown exception\n");
    }
    *result = kUpdateIncomplete;
    return nullptr;
}

DWORD WINAPI UpdateWorker(LPVOID parameter) {
    UpdateContext* context = static_cast<UpdateContext*>(parameter);
    const ULONGLONG started = GetTickCount64();
    noteUpdateStarted();
#if defined(CARROWICK_TEST_HOOKS)
    // Test builds only: a crash on this thread, for the crash dump's test.
    char crash[16] = "";
    GetEnvironmentVariableA("CARROWICK_TEST_CRASH", crash, sizeof crash);
    if (std::strcmp(crash, "fault") == 0) RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    if (std::strcmp(crash, "throw") == 0) throw std::runtime_error("a test's uncaught exception");
#endif
    int32_t result = kUpdateIncomplete;
    MIDI::Output* port =
        guardedUpdate(*context->image, *context->device, *context->progress, deviceManager(), &result);
    context->result = result;
    const Progress& progress = *context->progress;
    logUpdateResult(result, progress.position(), progress.firstStepTick(), progress.lastStepTick());
    updateLogLine("the update took %llu ms", static_cast<unsigned long long>(GetTickCount64() - started));

    // The bar shows the last message handed over before the dialog goes.
    context->progress->showLatest();
    ShowWindow(context->progress->dialog(), SW_HIDE);
    const bool posted = postResult(context->mainWindow, result);

    if (port) port->release();
    VeltroDeviceList* manager = deviceManager();
    setDeviceManager(nullptr);
    delete manager;
    stopDeviceNotification();
    if (g_workerDone) SetEvent(g_workerDone);
    // The result could not be handed to a main window that is still there: it still ends
    // the process, with the result as its code.
    if (!posted && IsWindow(context->mainWindow)) {
        endUpdateLog(result);
        ExitProcess(static_cast<UINT>(result));
    }
    return 0;
}

bool startUpdateWorker(UpdateContext* context) {
    g_workerDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, UpdateWorker, context, 0, nullptr);
    if (thread) return true;
    // No worker: nothing will hide the dialog or signal the end, and the program ends at once.
    diagnosticPrint("UpdateWorker: the thread could not be started (error %lu)\n", GetLastError());
    if (g_workerDone) CloseHandle(g_workerDone);
    g_workerDone = nullptr;
    ShowWindow(context->progress->dialog(), SW_HIDE);
    return false;
}

void waitForUpdateWorkerEnd(DWORD timeoutMs) {
    if (!g_workerDone) return;
    // The worker may be in a SendMessageA to this thread (the progress bar, the hide of
    // the dialog): those keep being served while we wait, or it could never finish. Posted
    // messages stay queued: the program is ending.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return;
        DWORD wait =
            MsgWaitForMultipleObjects(1, &g_workerDone, FALSE, static_cast<DWORD>(deadline - now), QS_SENDMESSAGE);
        if (wait != WAIT_OBJECT_0 + 1) return;  // done, timed out or failed
        MSG message = {};
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}
