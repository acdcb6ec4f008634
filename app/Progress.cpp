#include "app/Progress.h"

#include <commctrl.h>

#include "app/App.h"
#include "app/resource.h"

HINSTANCE g_dialogInstance = nullptr;

Progress::Progress() : status_(S_OK), dialog_(nullptr) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    frameTicks_ = frequency.QuadPart * kFrameMs / 1000;

    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    dialog_ = CreateDialogParamA(g_dialogInstance, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr, ProgressDialogProc, 0);
    SetWindowLongPtrA(dialog_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

    RECT rect = {};
    GetWindowRect(dialog_, &rect);
    int x = (GetSystemMetrics(SM_CXSCREEN) - (rect.right - rect.left)) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - (rect.bottom - rect.top)) / 2;
    SetWindowPos(dialog_, HWND_TOP, x < 0 ? 0 : x, y < 0 ? 0 : y, 0, 0, SWP_NOSIZE);
    ShowWindow(dialog_, SW_SHOWNORMAL);
    SetForegroundWindow(dialog_);
}

long Progress::setProgress(uint32_t position, uint32_t total, uint32_t, uint32_t) {
    position_.store(position);
    total_ = total;
    if (position > 0) {
        ULONGLONG now = GetTickCount64();
        if (firstStepTick_.load() == 0) firstStepTick_.store(now);
        lastStepTick_.store(now);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // The first report waits for the main thread as before; a new total is shown at once.
    if (!told_ || total != toldTotal_ || now.QuadPart - toldAt_ >= frameTicks_) tellBar(position, total);
    return status_;
}

void Progress::showLatest() {
    const uint32_t position = position_.load();
    if (!told_ || position != toldPosition_ || total_ != toldTotal_) tellBar(position, total_);
}

// After the first report the worker does not wait for the main thread: the bar's messages
// join the main thread's queue of sent messages, in order, and are handled before any
// message posted later (the result among them).
void Progress::tellBar(uint32_t position, uint32_t total) {
    HWND bar = GetDlgItem(dialog_, IDC_PROGRESS_BAR);
    if (!told_) {
        SendMessageA(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(total));
        SendMessageA(bar, PBM_SETPOS, position, 0);
    } else {
        SendNotifyMessageA(bar, PBM_SETRANGE32, 0, static_cast<LPARAM>(total));
        SendNotifyMessageA(bar, PBM_SETPOS, position, 0);
    }
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    told_ = true;
    toldPosition_ = position;
    toldTotal_ = total;
    toldAt_ = now.QuadPart;
}

// The close box gives IDCANCEL: the update cannot be stopped, so it is only noted.
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        Progress* progress = reinterpret_cast<Progress*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
        if (progress) progress->abort();
    }
    return FALSE;
}
