#pragma once
// The progress dialog and the object behind it. Created on the main thread, which serves
// the dialog's messages; setProgress is called by the update worker and blocks until the
// main thread has handled each message.

#include <windows.h>

#include "device/UpdateProtocol.h"

class Progress : public ProgressSink {
public:
    Progress();
    long setProgress(uint32_t position, uint32_t total, uint32_t reserved1, uint32_t reserved2) override;

    HWND dialog() const { return dialog_; }
    HRESULT status() const { return status_; }
    void abort() { status_ = E_ABORT; }

private:
    // Written by the main thread (the close box), read by the worker: one 32-bit value.
    volatile HRESULT status_;
    HWND dialog_;
};

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
