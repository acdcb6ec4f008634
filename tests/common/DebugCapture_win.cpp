#include "tests/common/DebugCapture.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<DebugCapture*> g_active{nullptr};

LONG CALLBACK onException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
        DebugCapture* capture = g_active.load();
        if (capture) capture->record(reinterpret_cast<const char*>(record->ExceptionInformation[1]));
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

DebugCapture::DebugCapture() {
    g_active.store(this);
    handler_ = AddVectoredExceptionHandler(1, onException);
}

DebugCapture::~DebugCapture() {
    RemoveVectoredExceptionHandler(handler_);
    g_active.store(nullptr);
}
