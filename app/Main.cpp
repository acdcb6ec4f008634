// Entry, message-only main window and message loop. The main window is never seen:
// it starts the check flow while it is created and turns the worker's result into a
// box and the exit code.

#include <string>

#include "app/App.h"
#include "app/CrashDump.h"
#include "app/UpdateLog.h"
#include "app/UpdateWorker.h"
#include "app/resource.h"
#include "midi/MidiOutput.h"

namespace {

HINSTANCE g_aboutInstance = nullptr;
// Covers the worker's steps after its post: the port's release at its longest, then the
// device manager and the notification window taken down, with room for a loaded machine.
const DWORD kWorkerEndWaitMs = MidiOutput::kLongestReleaseMs + 1000;

std::string g_commandLine;
char g_title[100];
char g_className[100];

// Restricts DLL loading to the system folder before anything else is loaded: an
// updater is often started from a downloads folder where a planted DLL may lie.
void restrictDllSearch() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFn)(DWORD);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFn setDirs =
        kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(GetProcAddress(kernel, "SetDefaultDllDirectories"))
               : nullptr;
    if (!setDirs || !setDirs(LOAD_LIBRARY_SEARCH_SYSTEM32)) SetDllDirectoryA("");
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        if (!UN_FW_Check(g_commandLine.c_str(), window)) PostQuitMessage(-1);
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case 104:
            DialogBoxParamA(g_aboutInstance, MAKEINTRESOURCEA(IDD_ABOUTBOX), window, AboutDialogProc, 0);
            return 0;
        case 105:
            updateLogLine("Exit command");
            DestroyWindow(window);
            return 0;
        default:
            return DefWindowProcA(window, message, wParam, lParam);
        }
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_UPDATE_RESULT:
        if (wParam == 0)
            MessageBoxA(nullptr, "Lumetra firmware update completed.", "Lumetra Firmware Check",
                        MB_OK | MB_ICONINFORMATION);
        else
            MessageBoxA(nullptr, "Error updating the Lumetra firmware.", "Lumetra Firmware Check",
                        MB_OK | MB_ICONEXCLAMATION);
        PostQuitMessage(static_cast<int>(wParam));
        return DefWindowProcA(window, message, wParam, lParam);
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
    restrictDllSearch();
    installCrashDump();
    startUpdateLog();
    g_commandLine = commandLine ? commandLine : "";

    LoadStringA(instance, IDS_APP_TITLE, g_title, sizeof g_title);
    LoadStringA(instance, IDC_CARROWICK, g_className, sizeof g_className);

    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_CARROWICK));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEA(IDC_CARROWICK);
    windowClass.lpszClassName = g_className;
    windowClass.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_SMALL));
    RegisterClassExA(&windowClass);

    g_aboutInstance = instance;
    g_dialogInstance = instance;
    HWND window = CreateWindowExA(0, g_className, g_title, WS_OVERLAPPEDWINDOW | WS_MINIMIZE, CW_USEDEFAULT, 0,
                                  CW_USEDEFAULT, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (!window) {
        // Nothing more will run; a worker the check flow started may still be ending.
        waitForUpdateWorkerEnd(kWorkerEndWaitMs);
        endUpdateLog(0);
        return 0;
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_CARROWICK));
    MSG message = {};
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!TranslateAcceleratorA(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    // The worker may still be releasing the port and the device manager; the process
    // must not end under it.
    waitForUpdateWorkerEnd(kWorkerEndWaitMs);
    const int exitCode = static_cast<int>(message.wParam);
    endUpdateLog(exitCode);
    return exitCode;
}
