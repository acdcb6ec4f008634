#pragma once
// The progress dialog and the object behind it. Created on the main thread, which serves
// the dialog's messages; setProgress is called by the update worker. The bar is told at
// most once per screen frame, and only the first report waits for the main thread: a
// cross-thread SendMessageA costs about a millisecond under Wine, longer than a short
// message takes on the wire, and a busy main thread must not leave the link idle.
// The worker calls showLatest at the end, so the bar always ends at the last position.

#include <windows.h>

#include <atomic>

#include "device/UpdateProtocol.h"

class Progress : public ProgressSink {
public:
    // How often the bar is told at most: one frame of a 60 Hz screen.
    static const uint32_t kFrameMs = 16;

    Progress();
    long setProgress(uint32_t position, uint32_t total, uint32_t reserved1, uint32_t reserved2) override;
    // Tells the bar the last position and total reported, if it has not been told them yet.
    void showLatest();

    HWND dialog() const { return dialog_; }
    HRESULT status() const { return status_.load(); }
    void abort() { status_.store(E_ABORT); }
    // The last position reported, and when the first and the last step past 0 were reported
    // (GetTickCount64; 0 until then): the update log's count of accepted messages and time.
    uint32_t position() const { return position_.load(); }
    ULONGLONG firstStepTick() const { return firstStepTick_.load(); }
    ULONGLONG lastStepTick() const { return lastStepTick_.load(); }

private:
    void tellBar(uint32_t position, uint32_t total);

    // Written by the main thread (the close box), read by the worker.
    std::atomic<HRESULT> status_;
    HWND dialog_;
    // Written by the worker, read after it ended.
    std::atomic<uint32_t> position_{0};
    std::atomic<ULONGLONG> firstStepTick_{0};
    std::atomic<ULONGLONG> lastStepTick_{0};
    // The worker's own: what the bar was last told, and when (QueryPerformanceCounter).
    uint32_t total_ = 0;
    bool told_ = false;
    uint32_t toldPosition_ = 0;
    uint32_t toldTotal_ = 0;
    LONGLONG toldAt_ = 0;
    LONGLONG frameTicks_ = 0;
};

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
