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

void DebugCapture::record(const char* text) {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(text ? text : "");
}

std::vector<std::string> DebugCapture::lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

std::string DebugCapture::text() const {
    std::string all;
    for (const std::string& line : lines()) all += line;
    return all;
}

bool DebugCapture::contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

void DebugCapture::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
}
