// The progress dialog as the update worker drives it: the bar is told at most once per
// frame, however fast the messages go, and ends at the last position reported; the close
// box is noted and changes nothing else.

#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "app/App.h"
#include "app/Progress.h"
#include "app/resource.h"

namespace {

// What the bar was told, counted on the main thread as it serves the worker's sends.
struct BarLog {
    WNDPROC original = nullptr;
    int positionsTold = 0;
    WPARAM lastPosition = 0;
    LPARAM lastHigh = -1;
};
BarLog g_bar;

LRESULT CALLBACK countingBarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == PBM_SETPOS) {
        ++g_bar.positionsTold;
        g_bar.lastPosition = wParam;
    } else if (message == PBM_SETRANGE32) {
        g_bar.lastHigh = lParam;
    }
    return CallWindowProcA(g_bar.original, bar, message, wParam, lParam);
}

double nowMs() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

class ProgressTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_dialogInstance = LoadLibraryExA(CARROWICK_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }

    void SetUp() override {
        ASSERT_NE(nullptr, g_dialogInstance) << "cannot read the resources of " << CARROWICK_EXE;
        progress_.emplace();
        ASSERT_NE(nullptr, progress_->dialog());
        bar_ = GetDlgItem(progress_->dialog(), IDC_PROGRESS_BAR);
        g_bar = BarLog();
        g_bar.original = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(bar_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(countingBarProc)));
    }
    void TearDown() override {
        if (progress_) DestroyWindow(progress_->dialog());
    }

    // Runs work on a worker thread while this thread serves the dialog, as the program does.
    bool onWorker(std::function<void()> work) {
        HANDLE thread = CreateThread(nullptr, 0, runWork, &work, 0, nullptr);
        if (!thread) return false;
        const ULONGLONG deadline = GetTickCount64() + 120000;
        bool done = false;
        while (!done && GetTickCount64() < deadline) {
            DWORD wait = MsgWaitForMultipleObjects(1, &thread, FALSE, 100, QS_ALLINPUT);
            if (wait == WAIT_OBJECT_0) done = true;
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        }
        if (!done) WaitForSingleObject(thread, INFINITE);  // it must not outlive its work
        CloseHandle(thread);
        return done;
    }

    std::optional<Progress> progress_;
    HWND bar_ = nullptr;

private:
    static DWORD WINAPI runWork(LPVOID work) {
        (*static_cast<std::function<void()>*>(work))();
        return 0;
    }
};

struct Case {
    const char* name;
    uint32_t messages;
    uint32_t total;
};

class ProgressRuns : public ProgressTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ProgressRuns, BarIsToldOncePerFrameAtMostAndEndsAtTheLastPosition) {
    const Case run = GetParam();
    double loopMs = 0;
    int toldInLoop = 0;
    ASSERT_TRUE(onWorker([&] {
        const double start = nowMs();
        progress_->setProgress(0, run.total, 0, 0);
        for (uint32_t i = 1; i <= run.messages; ++i) progress_->setProgress(i, run.total, 0, 0);
        loopMs = nowMs() - start;
        // The loop's reports reach the bar without waiting; a sent message is handled after
        // them, so the count is the loop's whole.
        SendMessageA(bar_, PBM_GETPOS, 0, 0);
        toldInLoop = g_bar.positionsTold;
        progress_->showLatest();
    }));
    // The first report, then one per whole frame that passed; the worker waits for the main
    // thread only that often, however long the machine took.
    EXPECT_LE(toldInLoop, 1 + static_cast<int>(loopMs / Progress::kFrameMs) + 1)
        << run.messages << " reports in " << loopMs << " ms";
    EXPECT_LE(g_bar.positionsTold, toldInLoop + 1) << "the last position was told more than once";
    EXPECT_EQ(run.messages, g_bar.lastPosition);
    EXPECT_EQ(static_cast<LPARAM>(run.total), g_bar.lastHigh);
    EXPECT_EQ(run.messages, progress_->position());
    if (run.messages <= run.total) {
        EXPECT_EQ(static_cast<LRESULT>(run.messages), SendMessageA(bar_, PBM_GETPOS, 0, 0));
    }
}

INSTANTIATE_TEST_SUITE_P(Updates, ProgressRuns,
                         ::testing::Values(Case{"Firmware", 13000, 13000}, Case{"StoppedHalfway", 6000, 13000},
                                           Case{"PastTheTotal", 3000, 2000}, Case{"Nothing", 0, 13000}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

DWORD WINAPI reportWholeFirmware(LPVOID parameter) {
    Progress& progress = *static_cast<Progress*>(parameter);
    for (uint32_t i = 1; i <= 13000; ++i) progress.setProgress(i, 13000, 0, 0);
    progress.showLatest();
    return 0;
}

// After the first report a main thread that serves nothing (busy drawing, or waiting)
// does not hold the worker: the link would stand idle meanwhile.
TEST_F(ProgressTest, WorkerDoesNotWaitForABusyMainThread) {
    ASSERT_TRUE(onWorker([&] { progress_->setProgress(0, 13000, 0, 0); }));
    HANDLE thread = CreateThread(nullptr, 0, reportWholeFirmware, &*progress_, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    const DWORD wait = WaitForSingleObject(thread, 60000);  // this thread serves nothing meanwhile
    EXPECT_EQ(WAIT_OBJECT_0, wait) << "the worker waited for the main thread";
    while (WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        MsgWaitForMultipleObjects(1, &thread, FALSE, 100, QS_ALLINPUT);
    }
    CloseHandle(thread);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    EXPECT_EQ(13000u, g_bar.lastPosition) << "the bar did not end at the last position";
}

// The close box is noted and returned by every later report; the dialog stays and is told
// the rest of the update.
TEST_F(ProgressTest, CloseBoxIsNotedAndTheDialogStays) {
    long before = 0, after = 0;
    ASSERT_TRUE(onWorker([&] { before = progress_->setProgress(0, 100, 0, 0); }));
    SendMessageA(progress_->dialog(), WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    ASSERT_TRUE(onWorker([&] {
        for (uint32_t i = 1; i <= 100; ++i) after = progress_->setProgress(i, 100, 0, 0);
        progress_->showLatest();
    }));
    EXPECT_EQ(S_OK, before);
    EXPECT_EQ(E_ABORT, after);
    EXPECT_TRUE(IsWindowVisible(progress_->dialog()));
    EXPECT_EQ(100, SendMessageA(bar_, PBM_GETPOS, 0, 0));
}

}  // namespace
