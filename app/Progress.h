#pragma once
// The progress dialog and the object behind it. Created on the main thread, which serves
// the dialog's messages; setProgress is called by the update worker and blocks until the
// main thread has handled each message.

#include <windows.h>

#include <atomic>

#include "device/UpdateProtocol.h"

class Progress : public ProgressSink {
public:
    Progress();
    long setProgress(uint32_t position, uint32_t total, uint32_t reserved1, uint32_t reserved2) override;

    HWND dialog() const { return dialog_; }
    HRESULT status() const { return status_.load(); }
    void abort() { status_.store(E_ABORT); }
    // The last position reported, and when the first and the last step past 0 were reported
    // (GetTickCount64; 0 until then): the update log's count of accepted messages and time.
    uint32_t position() const { return position_.load(); }
    ULONGLONG firstStepTick() const { return firstStepTick_.load(); }
    ULONGLONG lastStepTick() const { return lastStepTick_.load(); }

private:
    // Written by the main thread (the close box), read by the worker.
    std::atomic<HRESULT> status_;
    HWND dialog_;
    // Written by the worker, read after it ended.
    std::atomic<uint32_t> position_{0};
    std::atomic<ULONGLONG> firstStepTick_{0};
    std::atomic<ULONGLONG> lastStepTick_{0};
};

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
