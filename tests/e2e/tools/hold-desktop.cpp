// hold-desktop: keeps the prefix's desktop up for as long as it runs, and prints "ready" once
// a message-only window really gets the desktop's message-only parent.
//
// Wine closes its desktop (explorer) a moment after the last program using it ends and starts
// it again for the next one. A program that creates its first window while that desktop is
// half made gets a top-level window where it asked for a message-only one (the desktop window
// exists, its message-only parent not yet), so a test run would depend on when the previous
// program ended. The fixture starts this once, before any test.

#include <windows.h>

#include <cstdio>

namespace {

// Runs on a thread of its own each time: Wine keeps a thread's view of the desktop once seen,
// so a thread that saw it half made would never see it whole.
DWORD WINAPI desktopIsWhole(void*) {
    if (!GetDesktopWindow()) return 0;
    HWND probe = CreateWindowExA(0, "STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (!probe) return 0;
    const bool whole = GetAncestor(probe, GA_PARENT) != GetDesktopWindow();
    DestroyWindow(probe);
    return whole ? 1 : 0;
}

bool waitForWholeDesktop(DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        HANDLE thread = CreateThread(nullptr, 0, desktopIsWhole, nullptr, 0, nullptr);
        if (!thread) return false;
        DWORD whole = 0;
        WaitForSingleObject(thread, INFINITE);
        GetExitCodeThread(thread, &whole);
        CloseHandle(thread);
        if (whole) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(100);
    }
}

}  // namespace

int main() {
    if (!waitForWholeDesktop(60000)) {
        std::fprintf(stderr, "hold-desktop: the desktop's message-only parent did not appear\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
